#!/usr/bin/env bash
# Times whole processes as a user meets them: `quorvale --save` beside the tools people would use
# instead (bfs, fd, find, find | sort) and the benchmark's own minimal walk, on one tree, in
# interleaved rounds. Every tool writes its output to a file on the same file system. Reports the
# median wall time, CPU time (user + system) and peak memory of each, and the Save's ratio to the
# fastest peer.
#
#   bench/peers.sh TREE [--rounds N] [--cold] [--without-index BUILD]
#
# Needs the bench dependencies (tools/deps.sh bench) and a build with the benchmark
# (tools/test.sh builds it in build-tests/). --cold empties the page cache before every run (root).
# --without-index BUILD adds the program of BUILD, a build folder configured with
# -DQUORVALE_BENCH_INDEX_NO_OP=ON, whose Saves write an empty index: what the index adds to a
# Save is the ratio of the two.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
tree="$1"; shift
rounds=5; cold=""; withoutIndex=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --cold) cold=yes; shift ;;
    --without-index) withoutIndex="$2/src/quorvale"; shift 2 ;;
    *) echo "usage: bench/peers.sh TREE [--rounds N] [--cold] [--without-index BUILD]" >&2
       exit 2 ;;
  esac
done
quorvale="$build/src/quorvale"
walker="$build/bench/save_bench"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

declare -A commands=(
  [quorvale]="'$quorvale' --save '$tree' --list-folder '$out/list' > /dev/null"
  [find]="find '$tree' -printf '%p\n' > '$out/find.txt'"
  [find-sort]="find '$tree' -printf '%p\n' | LC_ALL=C sort > '$out/find-sort.txt'"
  [bfs]="bfs '$tree' > '$out/bfs.txt'"
  [bfs-null]="bfs '$tree' > /dev/null"
  [fd]="fdfind -uu . '$tree' > '$out/fd.txt'"
  [minimal]="'$walker' --minimal-walk '$tree' '$out/minimal.txt'"
)
tools=(quorvale find find-sort bfs bfs-null fd minimal)
if [ -n "$withoutIndex" ]; then
  commands[no-index]="'$withoutIndex' --save '$tree' --list-folder '$out/list' > /dev/null"
  tools=(quorvale no-index find find-sort bfs bfs-null fd minimal)
fi
peers=(find find-sort bfs fd)

echo "tree $tree, $rounds rounds${cold:+, cold}; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "versions: $(find --version | head -1); $(bfs --version | head -1); $(fdfind --version)"
declare -A wall cpu mem
for round in $(seq "$rounds"); do
  for tool in "${tools[@]}"; do
    rm -rf "$out/list"; mkdir -p "$out/list"
    # Written out before each run, so that no tool pays for the previous one's output.
    sync
    if [ -n "$cold" ]; then echo 3 > /proc/sys/vm/drop_caches; fi
    start=$(date +%s%N)
    read -r u s m < <(/usr/bin/time -f '%U %S %M' bash -c "${commands[$tool]}" 2>&1 >/dev/null | tail -1)
    end=$(date +%s%N)
    wall[$tool]+="$(echo "scale=4; ($end - $start) / 1000000000" | bc) "
    cpu[$tool]+="$(echo "$u + $s" | bc) "
    mem[$tool]+="$m "
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-10s %10s %10s %12s\n' tool wall cpu "peak KiB"
fastest=""
for tool in "${tools[@]}"; do
  w=$(echo "${wall[$tool]}" | median); c=$(echo "${cpu[$tool]}" | median)
  m=$(echo "${mem[$tool]}" | median)
  printf '%-10s %9.3fs %9.3fs %12d\n' "$tool" "$w" "$c" "$m"
  for peer in "${peers[@]}"; do
    [ "$peer" = "$tool" ] || continue
    if [ -z "$fastest" ] || (( $(echo "$w < $fastestWall" | bc) )); then
      fastest=$tool; fastestWall=$w
    fi
  done
done
save=$(echo "${wall[quorvale]}" | median)
echo "quorvale / fastest peer ($fastest): $(echo "scale=2; $save / $fastestWall" | bc)"
for other in bfs bfs-null no-index; do
  [ -n "${wall[$other]:-}" ] || continue
  echo "quorvale / $other: $(echo "scale=2; $save / $(echo "${wall[$other]}" | median)" | bc)"
done
