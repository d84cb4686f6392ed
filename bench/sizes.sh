#!/usr/bin/env bash
# Times folder totals as a user meets them (whole processes, interleaved rounds, medians, the load
# noted), and checks the figures against du's:
#   - "totals": `quorvale --sizes LISTING -d 1` of a listing of a real tree of about 3,000,000
#     entries beside `du -d 1` of the same tree (warm) and `duc ls` after `duc index` of it; the
#     figures of --sizes -b and of --sizes (KiB) against `du -l -b` and `du -l -k` (the root
#     against du -s);
#   - "save": a Save with --details of the 1,000,000-entry part of that tree beside the same Save
#     by an earlier build that kept no totals (QUORVALE_BEFORE; skipped when not given);
#   - "browse": the browse window (bench/browse_bench.cpp, offscreen) on the listing of a part of
#     1,300,000 entries: from opening it to the root shown sorted by size, then a folder of
#     300,000 names and a folder of 100 folders opened, until their first rows and their last,
#     with the input latency throughout and the memory it took.
#
#   bench/sizes.sh [WORK_FOLDER] [--rounds N] [--parts totals,save,browse]
#
# WORK_FOLDER (default: a new folder under /var/tmp, removed at the end) keeps the tree for the
# next run when given. Needs a build (QUORVALE_BUILD, default build-tests) and the bench's tools
# (tools/deps.sh bench).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
before="${QUORVALE_BEFORE:-}"
[ -x "$quorvale" ] || { echo "no $quorvale: build first (tools/test.sh)" >&2; exit 2; }
for tool in duc du python3; do
  command -v "$tool" >/dev/null || { echo "no $tool: tools/deps.sh bench" >&2; exit 2; }
done
work=""; rounds=7; parts="totals,save,browse"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --parts) parts="$2"; shift 2 ;;
    *) work="$1"; shift ;;
  esac
done
keep=1
if [ -z "$work" ]; then
  work="$(mktemp -d /var/tmp/quorvale-sizes.XXXXXX)"; keep=0
fi
trap '[ "$keep" = 1 ] || rm -rf "$work"' EXIT
mkdir -p "$work"

# The tree: 30 top folders of 100 folders of 1,000 entries (990 files, 10 hard links to files of
# the folder before), most files empty, some of 100 or 3,000 bytes, one in 200 of 70,000, one in
# twenty sparse (1 MiB, no block), and a folder of 300,000 empty files in the second part:
# 3,303,035 entries. Its first ten top folders (1,001,011 entries) are the Save's tree.
tree="$work/tree"
if [ ! -e "$tree/.made" ]; then
  echo "making the tree in $tree (a few minutes)..." >&2
  python3 - "$tree" <<'EOF'
import os, random, sys
root = sys.argv[1]
random.seed(46)
for top in range(30):
    for sub in range(100):
        folder = os.path.join(root, "part%d" % (top // 10), "t%02d" % top, "s%03d" % sub)
        os.makedirs(folder, exist_ok=True)
        for n in range(990):
            path = os.path.join(folder, "f%03d" % n)
            fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
            size = 70000 if n % 200 == 1 else random.choice((0, 0, 0, 100, 3000))
            if n % 20 == 0:
                os.ftruncate(fd, 1 << 20)  # sparse
            elif size:
                os.write(fd, b"x" * size)
            os.close(fd)
        if sub > 0:
            for n in range(10):
                os.link(os.path.join(os.path.dirname(folder), "s%03d" % (sub - 1), "f%03d" % n),
                        os.path.join(folder, "h%03d" % n))
huge = os.path.join(root, "part1", "huge")
os.makedirs(huge, exist_ok=True)
for n in range(300000):
    os.close(os.open(os.path.join(huge, "name%06d" % n), os.O_WRONLY | os.O_CREAT, 0o644))
open(os.path.join(root, ".made"), "w").close()
EOF
fi

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" > /dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }
note_load() { echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"; }

if [[ ",$parts," == *",totals,"* ]]; then
  listing="$work/listing"
  if [ ! -e "$listing/quorvale-sizes.bin" ]; then
    "$quorvale" --save "$tree" --list-folder "$listing" --details > /dev/null
  fi
  duc="$work/duc.db"
  [ -e "$duc" ] || duc index -q -d "$duc" "$tree"
  echo "== figures against du" >&2
  for unit in "-b:-b" ":-k"; do
    ours="${unit%%:*}"; theirs="${unit##*:}"
    diff <("$quorvale" --sizes "$listing" $ours -d 2 | grep -v -P "\t$tree\$" | sort -k2) \
         <(du -l $theirs -d 2 "$tree" | grep -v -P "\t$tree\$" | sort -k2) > /dev/null \
      && echo "  --sizes $ours -d 2 equals du -l $theirs -d 2 below the root" \
      || echo "  --sizes $ours DIFFERS from du -l $theirs"
    [ "$("$quorvale" --sizes "$listing" $ours -d 0 | cut -f1)" = "$(du -s $theirs "$tree" | cut -f1)" ] \
      && echo "  the root's equals du -s $theirs" || echo "  the root's DIFFERS from du -s $theirs"
  done
  du -d 1 "$tree" > /dev/null  # warm
  note_load
  for ((r = 0; r < rounds; r++)); do
    echo "ours $(seconds "$quorvale" --sizes "$listing" -d 1)"
    echo "du $(seconds du -d 1 "$tree")"
    echo "duc $(seconds duc ls -d "$duc" "$tree")"
  done > "$work/totals.times"
  note_load
  for who in ours du duc; do
    echo "$who: $(grep "^$who " "$work/totals.times" | cut -d' ' -f2 | median) s (median of $rounds)"
  done
  ours=$(grep "^ours " "$work/totals.times" | cut -d' ' -f2 | median)
  du=$(grep "^du " "$work/totals.times" | cut -d' ' -f2 | median)
  ducs=$(grep "^duc " "$work/totals.times" | cut -d' ' -f2 | median)
  echo "--sizes -d 1: $(echo "scale=3; $ours / $du" | bc)x du -d 1, $(echo "scale=2; $ours / $ducs" | bc)x duc ls"
fi

if [[ ",$parts," == *",browse,"* ]]; then
  browse="$work/browse-listing"
  [ -e "$browse/quorvale-sizes.bin" ] ||
    "$quorvale" --save "$tree/part1" --list-folder "$browse" --details > /dev/null
  note_load
  for ((r = 0; r < 3; r++)); do
    QT_QPA_PLATFORM=offscreen "$build/bench/browse_bench" "$browse" huge t10 || true
  done
  note_load
fi

if [[ ",$parts," == *",save,"* ]] && [ -n "$before" ]; then
  part="$tree/part0"
  note_load
  for ((r = 0; r < rounds; r++)); do
    rm -rf "$work/save-now" "$work/save-before"
    echo "now $(seconds "$quorvale" --save "$part" --details --list-folder "$work/save-now")"
    echo "before $(seconds "$before" --save "$part" --details --list-folder "$work/save-before")"
  done > "$work/save.times"
  note_load
  now=$(grep "^now " "$work/save.times" | cut -d' ' -f2 | median)
  then_=$(grep "^before " "$work/save.times" | cut -d' ' -f2 | median)
  echo "Save --details of $(find "$part" | wc -l) entries: $now s with totals, $then_ s without" \
       "($(echo "scale=3; ($now / $then_ - 1) * 100" | bc)%)"
fi
