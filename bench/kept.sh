#!/usr/bin/env bash
# Times what keeping listings costs, as whole processes in interleaved rounds (medians):
#
#   bench/kept.sh details TREE [--rounds N] [--cold]
#       `quorvale --save --details` beside `find -printf` with the same fields (TZ=UTC), the
#       floor (one lstat per entry alone: save_bench --stat-walk) and a plain Save.
#   bench/kept.sh compare [--lines N] [--rounds N] [--baseline QUORVALE]
#       `quorvale --compare` of two synthetic listings of N lines (default 1,000,000) that differ
#       in 1% of their files, beside `diff` of their concatenated list files; peak memory too.
#       --baseline times another build's --compare beside it (an earlier version, say).
#
# Needs a build with the benchmark (tools/test.sh builds it in build-tests/) and the bench
# dependencies (tools/deps.sh bench). --cold empties the page cache before every run (root).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
walker="$build/bench/save_bench"
usage() { echo "usage: bench/kept.sh details TREE [--rounds N] [--cold] | compare [--lines N] [--rounds N] [--baseline QUORVALE]" >&2; exit 2; }
[ $# -ge 1 ] || usage
mode="$1"; shift
tree=""
if [ "$mode" = details ]; then [ $# -ge 1 ] || usage; tree="$1"; shift; fi
rounds=5; cold=""; lines=1000000; baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --cold) cold=yes; shift ;;
    --lines) lines="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    *) usage ;;
  esac
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# A listing as a Save writes it, of LINES lines under ROOT (one folder line per 100 files), every
# SKIP-th file left out when SKIP is not 0, with its record.
synthetic() {
  local folder="$1" root="$2" count="$3" skip="$4"
  mkdir -p "$folder"
  awk -v root="$root" -v count="$count" -v skip="$skip" -v folder="$folder" 'BEGIN {
    n = 0; file = 1; out = folder "/ListTex1.txt"
    emit(root); emit("\t" root)
    for (i = 0; n < count; i++) {
      if (i % 100 == 0) emit("\t" root "/d" (100000 + int(i / 100)))
      if (skip == 0 || i % skip != 0) emit("\t\tfile" (1000000 + i))
    }
    printf "%d %d\n", n, (n % 32000 == 0 ? file - 1 : file) > (folder "/.count")
  }
  function emit(line) {
    printf "%s\r\n", line > out
    if (++n % 32000 == 0) { close(out); file++; out = folder "/ListTex" file ".txt" }
  }'
  read -r total last < "$folder/.count"; rm "$folder/.count"
  local bytes; bytes=$(cat "$folder"/ListTex*.txt | wc -c)
  printf '{"program": "quorvale", "root": "%s", "listFiles": {"first": 1, "last": %d, "bytes": %d}, "lines": %d, "options": {"details": false}}\n' \
    "$root" "$last" "$bytes" "$total" > "$folder/quorvale-listing.json"
}

declare -A wall cpu mem
run() {  # TOOL COMMAND
  sync
  if [ -n "$cold" ]; then echo 3 > /proc/sys/vm/drop_caches; fi
  local start end u s m
  start=$(date +%s%N)
  read -r u s m < <(/usr/bin/time -f '%U %S %M' bash -c "$2" 2>&1 >/dev/null | tail -1)
  end=$(date +%s%N)
  wall[$1]+="$(echo "scale=4; ($end - $start) / 1000000000" | bc) "
  cpu[$1]+="$(echo "$u + $s" | bc) "
  mem[$1]+="$m "
}
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
report() {  # TOOLS... (the first is ours, the second what it is measured against)
  printf '%-10s %10s %10s %12s\n' tool wall cpu "peak KiB"
  for tool in "$@"; do
    printf '%-10s %9.3fs %9.3fs %12d\n' "$tool" "$(echo "${wall[$tool]}" | median)" \
      "$(echo "${cpu[$tool]}" | median)" "$(echo "${mem[$tool]}" | median)"
  done
  echo "$1 / $2: $(echo "scale=2; $(echo "${wall[$1]}" | median) / $(echo "${wall[$2]}" | median)" | bc)"
}

echo "load $(cut -d' ' -f1-3 /proc/loadavg); $(find --version | head -1)"
if [ "$mode" = details ]; then
  echo "tree $tree, $rounds rounds${cold:+, cold}"
  for round in $(seq "$rounds"); do
    rm -rf "$out/list"; mkdir -p "$out/list"
    run details "'$quorvale' --save '$tree' --list-folder '$out/list' --details > /dev/null"
    run find-fields "TZ=UTC find '$tree' -printf '%y\t%s\t%TY-%Tm-%TdT%TT\t%p\n' > '$out/find.tsv'"
    run floor "'$walker' --stat-walk '$tree'"
    rm -rf "$out/list"; mkdir -p "$out/list"
    run plain "'$quorvale' --save '$tree' --list-folder '$out/list' > /dev/null"
  done
  report details find-fields floor plain
elif [ "$mode" = compare ]; then
  echo "two listings of $lines lines, 1% of the files differ; $rounds rounds"
  synthetic "$out/old" /old "$lines" 0
  synthetic "$out/new" /new "$lines" 100
  for round in $(seq "$rounds"); do
    run compare "'$quorvale' --compare '$out/old' '$out/new' > '$out/compare.txt' || [ \$? = 1 ]"
    run diff "cat '$out'/old/ListTex*.txt > '$out/old.txt'; cat '$out'/new/ListTex*.txt > '$out/new.txt'; diff '$out/old.txt' '$out/new.txt' > '$out/diff.txt' || [ \$? = 1 ]"
    if [ -n "$baseline" ]; then
      run baseline "'$baseline' --compare '$out/old' '$out/new' > '$out/baseline.txt' || [ \$? = 1 ]"
    fi
  done
  echo "differences reported: $(wc -l < "$out/compare.txt")"
  report compare diff
  if [ -n "$baseline" ]; then
    echo "baseline reported: $(wc -l < "$out/baseline.txt")"
    report compare baseline
  fi
else
  usage
fi
