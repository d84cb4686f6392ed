#!/usr/bin/env bash
# Times `quorvale --find` as a user meets it (whole processes, warm, interleaved rounds, medians)
# beside plocate over the same entries, and the floor of reading the list files themselves
# (`grep -F` over them); then the index's size per entry beside plocate's database, and what
# writing the index adds to a Save.
#
#   bench/find.sh [WORK_FOLDER] [--rounds N] [--baseline QUORVALE]
#
# Ten trees of 200,000 files (200 folders of 1,000, names of a few kinds) are made once in
# WORK_FOLDER (default: a new folder under /var/tmp, removed at the end; given, it is kept for the
# next run), each listed into a list folder of its own under WORK_FOLDER/catalogue, and indexed
# together by plocate's updatedb (its defaults leave /tmp and bind mounts out, so none apply).
# --baseline names a quorvale built without the index, to time the Save's cost against it.
# Needs a build (QUORVALE_BUILD, default build-tests) and tools/deps.sh bench.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
[ -x "$quorvale" ] || { echo "no $quorvale: build first (tools/test.sh)" >&2; exit 2; }
command -v plocate >/dev/null || { echo "plocate is missing: tools/deps.sh bench" >&2; exit 2; }
work=""; rounds=9; baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    *) work="$1"; shift ;;
  esac
done
if [ -z "$work" ]; then
  work=$(mktemp -d /var/tmp/quorvale-find.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/trees" "$work/catalogue"

if [ ! -e "$work/trees/.made" ]; then
  python3 - "$work/trees" <<'EOF'
import os, sys
top = sys.argv[1]
kinds = ["report-%06d.txt", "IMG_%06d.jpg", "notes%06d.md", "data_%06d.csv", "Backup-%06d.tar"]
for root in range(10):
    for d in range(200):
        folder = os.path.join(top, "root%d" % root, "project%03d" % d)
        os.makedirs(folder, exist_ok=True)
        for f in range(1000):
            n = (root * 200 + d) * 1000 + f
            name = kinds[f % len(kinds)] % n
            os.close(os.open(os.path.join(folder, name), os.O_CREAT | os.O_WRONLY, 0o644))
EOF
  touch "$work/trees/.made"
fi
for root in "$work"/trees/root*; do
  name=$(basename "$root")
  [ -e "$work/catalogue/$name/quorvale-listing.json" ] ||
    "$quorvale" --save "$root" --list-folder "$work/catalogue/$name" > /dev/null
done
[ -e "$work/plocate.db" ] ||
  updatedb -l 0 --prunepaths '' --prunefs '' --prunenames '' --prune-bind-mounts no \
    -U "$work/trees" -o "$work/plocate.db"

entries=$(cat "$work"/catalogue/root*/quorvale-listing.json | grep -o '"lines": [0-9]*' |
          awk '{ s += $2 - 1 } END { print s }')
echo "load $(cut -d' ' -f1-3 /proc/loadavg); $entries entries in 10 listings; $rounds rounds, warm"
python3 - "$quorvale" "$work" "$rounds" <<'EOF'
import glob, os, statistics, subprocess, sys, time
quorvale, work, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
db = work + "/plocate.db"
lists = sorted(glob.glob(work + "/catalogue/root*/ListTex*.txt"))
queries = [
    ("rare substring", [], "report-1234567"[:13]),
    ("common substring", [], "IMG_"),
    ("-b pattern", ["-b"], "*7.md"),
    ("-i", ["-i"], "BACKUP-0012"),
]
# The output is read through a pipe and only its lines counted, into one buffer reused, so that
# what the reader spends does not grow with the bytes a tool prints (a search prints the list
# folder and the date before each path; plocate the path alone).
def run(argv):
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    buffer, lines = bytearray(1 << 20), 0
    while True:
        n = os.readv(child.stdout.fileno(), [buffer])
        if n == 0:
            break
        lines += buffer.count(b"\n", 0, n)
    child.stdout.close()
    child.wait()
    return time.perf_counter() - start, lines
print("| query | quorvale --find | plocate | grep -F floor | find / plocate | matches (quorvale, plocate) |")
print("|---|---|---|---|---|---|")
for name, flags, pattern in queries:
    tools = {
        "quorvale": [quorvale, *flags, "--find", pattern, work + "/catalogue"],
        "plocate": ["plocate", "-d", db, *flags, pattern],
        "grep": ["grep", "-F", "-h", *(["-i"] if "-i" in flags else []), pattern.strip("*"), *lists],
    }
    times = {tool: [] for tool in tools}
    outputs = {}
    for _ in range(rounds):
        for tool, argv in tools.items():
            took, lines = run(argv)
            times[tool].append(took)
            outputs[tool] = lines
    median = {tool: statistics.median(values) for tool, values in times.items()}
    found = outputs["quorvale"]
    located = outputs["plocate"]
    print("| %s `%s` | %.1f ms | %.1f ms | %.1f ms | %.2f | %d, %d |" % (
        name, pattern, median["quorvale"] * 1000, median["plocate"] * 1000,
        median["grep"] * 1000, median["quorvale"] / median["plocate"], found, located))
EOF
index_bytes=$(cat "$work"/catalogue/root*/quorvale-index.bin | wc -c)
db_bytes=$(stat -c %s "$work/plocate.db")
awk -v i="$index_bytes" -v d="$db_bytes" -v e="$entries" 'BEGIN {
  printf "index: %d bytes, %.2f per entry; plocate database: %d bytes, %.2f per entry\n", i, i / e, d, d / e }'
if [ -n "$baseline" ]; then
  python3 - "$quorvale" "$baseline" "$work/trees/root0" "$work/save" "$rounds" <<'EOF'
import shutil, statistics, subprocess, sys, time
now, before, tree, out, rounds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
times = {"with index": [], "without": []}
for _ in range(rounds):
    for name, program in (("with index", now), ("without", before)):
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run(["sync"])
        start = time.perf_counter()
        subprocess.run([program, "--save", tree, "--list-folder", out], stdout=subprocess.DEVNULL)
        times[name].append(time.perf_counter() - start)
m = {name: statistics.median(values) for name, values in times.items()}
print("Save of 200,000 files: %.3f s with the index, %.3f s without: +%.0f%%" % (
    m["with index"], m["without"], 100 * (m["with index"] / m["without"] - 1)))
EOF
fi
