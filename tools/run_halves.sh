#!/usr/bin/env bash
# Runs each half of a suite in turn, every one of them whatever the others did, and ends with a
# summary: each half passed or failed (with its status) and how long it took, and the whole. Exits
# 0 when every half passed, 1 otherwise. Each half is a shell function or command, with its name.
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

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  run_halves "$@"
fi
