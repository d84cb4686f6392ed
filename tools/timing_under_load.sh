#!/usr/bin/env bash
# Runs the suite as a busy machine would: two busy loops per core beside it, the tests that measure
# time (label "timing") ROUNDS times, then the whole plain suite with `ctest -j2` twice; prints the
# load and each run's outcome. Uses an existing build folder (default build-tests/, as tools/test.sh
# leaves it).
#   tools/timing_under_load.sh [BUILD] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-tests}"
rounds="${2:-10}"
[ -f "$build/CTestTestfile.cmake" ] || { echo "no test build in $build (run tools/test.sh)" >&2; exit 2; }
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
busy=()
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
for _ in $(seq $(( $(nproc) * 2 ))); do
  bash -c 'while :; do :; done' &
  busy+=($!)
done
failed=0
run() {
  local what="$1"
  shift
  local start=$SECONDS
  if ctest --test-dir "$build" --no-tests=error "$@" >"$build/under_load.log" 2>&1; then
    echo "$what: passed in $((SECONDS - start)) s, load $(cut -d' ' -f1 /proc/loadavg)"
  else
    echo "$what: FAILED in $((SECONDS - start)) s, load $(cut -d' ' -f1 /proc/loadavg)"
    grep -E '\*\*\*Failed|Timeout|Not Run' "$build/under_load.log" | sed 's/^/  /'
    failed=1
  fi
}
for round in $(seq "$rounds"); do run "timing round $round" -L timing --output-on-failure; done
for round in 1 2; do run "plain suite round $round (-j2)" -j2 --output-on-failure; done
exit $failed
