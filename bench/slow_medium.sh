#!/usr/bin/env bash
# The whole-process comparison of bench/peers.sh on a slow medium: TREE seen through the
# benchmark's FUSE view (bench/slow_medium.cpp), which waits DELAY milliseconds (5 by default)
# before each folder is opened and serves many requests at once. First checks that it does: 16
# folders opened at once must take less than three waits.
#
#   bench/slow_medium.sh TREE [--delay MS] [--rounds N]
#
# Needs root (to mount) and the bench dependencies (tools/deps.sh bench), and the benchmark built
# in build-tests/ (tools/test.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
tree="$1"; shift
delay=5; rounds=3
while [ $# -gt 0 ]; do
  case "$1" in
    --delay) delay="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    *) echo "usage: bench/slow_medium.sh TREE [--delay MS] [--rounds N]" >&2; exit 2 ;;
  esac
done
medium="$build/bench/slow_medium"
[ -x "$medium" ] || { echo "no $medium: install libfuse3-dev (tools/deps.sh bench) and build" >&2; exit 2; }
mountpoint=$(mktemp -d)
trap 'fusermount3 -u "$mountpoint" 2>/dev/null || true; rmdir "$mountpoint"' EXIT
"$medium" "$tree" "$mountpoint" "$delay"

check=$("$medium" --check "$mountpoint")
echo "slow medium: $delay ms before each folder; $check"
took=$(echo "$check" | sed -n 's/.* in \([0-9]*\) ms/\1/p')
if [ "$took" -ge $((3 * delay + 5)) ]; then
  echo "the slow medium does not serve opens at once" >&2
  exit 1
fi
"$here/bench/peers.sh" "$mountpoint" --rounds "$rounds"
