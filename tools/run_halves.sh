#!/usr/bin/env bash
# Runs each half of a suite in turn, every one of them whatever the others did, and ends with a
# summary: each half passed or failed (with its status) and how long it took, and the whole. Exits
# 0 when every half passed, 1 otherwise. Each half is a shell function or command, with its name.
# ctest_leaving_nothing runs ctest as a half does: no test found fails it, and so does anything a
# test leaves in the temporary folder it was given.
#   run_halves.sh NAME COMMAND [NAME COMMAND]...   (sourced by tools/test.sh, or run)
run_halves() {
  local names=() results=() times=() failed=0 start status
  local all_start=$SECONDS
  while [ $# -ge 2 ]; do
    local name="$1" command="$2"
    shift 2
    echo "=== $name"
    start=$SECONDS
    # In the background, so that `set -e` holds inside the half (never in a `||` list).
    status=0
    ( set -euo pipefail; eval "$command" ) &
    wait $! || status=$?
    names+=("$name")
    times+=("$((SECONDS - start))")
    if [ "$status" = 0 ]; then
      results+=("passed")
    else
      results+=("FAILED (status $status)")
      failed=1
    fi
  done
  echo
  echo "=== Summary"
  local i
  for i in "${!names[@]}"; do
    printf '%-28s %-20s %4d s\n' "${names[$i]}" "${results[$i]}" "${times[$i]}"
  done
  printf '%-28s %-20s %4d s\n' "all" "$([ $failed = 0 ] && echo passed || echo FAILED)" \
    "$((SECONDS - all_start))"
  return $failed
}

# Runs ctest in BUILD with a temporary folder of its own, and fails when a test left anything in it.
ctest_leaving_nothing() {
  local build="$1" scratch status=0
  shift
  scratch=$(mktemp -d)
  chmod 0755 "$scratch"  # the tests that run as another user reach their folders in it
  TMPDIR="$scratch" ctest --test-dir "$build" --output-on-failure --no-tests=error \
    -j "${jobs:-$(nproc)}" "$@" || status=$?
  if [ -n "$(ls -A "$scratch")" ]; then
    echo "tests left in their temporary folder:"
    ls -A "$scratch" | sed 's/^/  /'
    status=1
  fi
  rm -rf "$scratch"
  return $status
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  run_halves "$@"
fi
