#!/usr/bin/env bash
# Times re-listing with --reuse as a user meets it (whole processes, interleaved rounds, medians)
# beside a full Save of the same tree and the floor under it (bench/reuse_floor.cpp: the earlier
# record, list files and index read whole, the index's checksum, one statx a folder, and the same
# list files, an index and a record written and made durable; and, as first measured, the list
# files alone), on an unchanged tree and with 1% of its folders changed, warm and (with --cold, as
# root) with the page cache dropped before each run.
#
#   bench/reuse.sh [WORK_FOLDER] [--rounds N] [--cold] [--trees mid,big,small] [--slow-medium]
#
# With --slow-medium (as root, with the bench dependencies) it times instead a tree of 2,000
# folders of 50 files seen through the benchmark's FUSE view (bench/slow_medium.cpp), which waits
# 5 ms before each folder is opened and 1 ms before each lookup and attribute read, uncached, as a
# network share does: a full Save beside one reusing the last listing with --reuse-trust, and the
# floor under it on that medium (one statx a folder from 32 threads at once).
#
# Trees, made once in WORK_FOLDER (default: a new folder under /var/tmp, removed at the end; given,
# it is kept for the next run): "mid", 200,000 files in 1,000 folders three levels deep (as
# save_bench makes); "big", 1,000,000 files in 1,000 folders; "small", 111,111 folders (ten to a
# folder, five levels) of two files each. Needs a build (QUORVALE_BUILD, default
# build-tests).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
floor="$build/bench/reuse_floor"
for program in "$quorvale" "$floor"; do
  [ -x "$program" ] || { echo "no $program: build first (tools/test.sh)" >&2; exit 2; }
done
work=""; rounds=7; cold=0; trees="mid,big,small"; slow=0
while [ $# -gt 0 ]; do
  case "$1" in
    --slow-medium) slow=1; shift ;;
    --rounds) rounds="$2"; shift 2 ;;
    --cold) cold=1; shift ;;
    --trees) trees="$2"; shift 2 ;;
    *) work="$1"; shift ;;
  esac
done
if [ -z "$work" ]; then
  work=$(mktemp -d /var/tmp/quorvale-reuse.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
if ((slow)); then
  medium="$build/bench/slow_medium"
  [ -x "$medium" ] || { echo "no $medium: tools/deps.sh bench, then build" >&2; exit 2; }
  tree="$work/medium"
  if [ ! -e "$tree.made" ]; then
    for d in $(seq -w 0 1999); do
      mkdir -p "$tree/group${d:0:2}/folder$d"
      (cd "$tree/group${d:0:2}/folder$d" && touch $(seq -f "file%02g.dat" 0 49))
    done
    touch "$tree.made"; sleep 1.1
  fi
  mountpoint=$(mktemp -d)
  trap 'fusermount3 -u "$mountpoint" 2>/dev/null || true; rmdir "$mountpoint"' EXIT
  "$medium" "$tree" "$mountpoint" 5 1
  echo "load $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds; slow medium: 5 ms an open, 1 ms a lookup"
  rm -rf "$work/slow-base"
  "$quorvale" --save "$mountpoint" --list-folder "$work/slow-base" > /dev/null
  # The medium's own floor: one statx a folder through the view, from as many threads as a Save
  # reads with, and the same list files written.
  (cd "$tree" && find . -type d) | sed "s|^\.|$mountpoint|" > "$work/medium.folders"
  python3 - "$quorvale" "$mountpoint" "$work" "$rounds" "$floor" <<'EOF'
import statistics, subprocess, sys, time
quorvale, tree, work, rounds, floor = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
runs = {
    "full Save": [quorvale, "--save", tree, "--list-folder", work + "/slow-full"],
    "--reuse --reuse-trust": [quorvale, "--save", tree, "--list-folder", work + "/slow-reuse",
                              "--reuse", work + "/slow-base", "--reuse-trust"],
    "floor": [floor, "--threads", "32", work + "/medium.folders", work + "/slow-base",
              work + "/slow-floor"],
}
times = {name: [] for name in runs}
for _ in range(rounds):
    for name, argv in runs.items():
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
        times[name].append(time.perf_counter() - start)
m = {name: statistics.median(values) for name, values in times.items()}
same = (open(work + "/slow-full/ListTex1.txt", "rb").read() ==
        open(work + "/slow-reuse/ListTex1.txt", "rb").read())
print("full Save %.3f s, --reuse --reuse-trust %.3f s: %.2f of it; list files the same: %s" % (
    m["full Save"], m["--reuse --reuse-trust"], m["--reuse --reuse-trust"] / m["full Save"],
    "yes" if same else "NO"))
print("floor (one statx a folder from 32 threads, the same list files) %.3f s: --reuse %.2f of it,"
      " the floor %.2f of the full Save" % (m["floor"], m["--reuse --reuse-trust"] / m["floor"],
                                            m["floor"] / m["full Save"]))
EOF
  exit 0
fi
echo "load $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds; $( ((cold)) && echo cold || echo warm)"
python3 - "$quorvale" "$floor" "$work" "$rounds" "$cold" "$trees" <<'EOF'
import os, shutil, statistics, subprocess, sys, time
quorvale, floor, work, rounds, cold, trees = sys.argv[1:7]
rounds, cold = int(rounds), cold == "1"

def make_big(top):
    for d in range(1000):
        folder = os.path.join(top, "folder%04d" % d)
        os.makedirs(folder, exist_ok=True)
        for f in range(1000):
            os.close(os.open(os.path.join(folder, "file-%04d-%06d.dat" % (d, f)),
                             os.O_CREAT | os.O_WRONLY, 0o644))

def make_mid(top):
    for a in range(10):
        for b in range(10):
            for c in range(10):
                folder = os.path.join(top, "level1_%d" % a, "level2_%d" % b, "level3_%d" % c)
                os.makedirs(folder, exist_ok=True)
                for f in range(200):
                    os.close(os.open(os.path.join(folder, "file_%d.dat" % f),
                                     os.O_CREAT | os.O_WRONLY, 0o644))

def make_small(top):
    def below(folder, depth):
        os.makedirs(folder, exist_ok=True)
        for f in range(2):
            os.close(os.open(os.path.join(folder, "f%d.txt" % f), os.O_CREAT | os.O_WRONLY, 0o644))
        if depth < 5:
            for i in range(10):
                below(os.path.join(folder, "d%d" % i), depth + 1)
    below(top, 0)

def folders_of(top):
    found = []
    for root, dirs, _ in os.walk(top):
        found.append(root)
    return found

def timed(argv):
    if cold:
        subprocess.run(["sync"])
        with open("/proc/sys/vm/drop_caches", "w") as drop:
            drop.write("3\n")
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    took = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("failed: %s: %s" % (" ".join(argv), done.stderr.decode(errors="replace")))
    return took

def measure(tree, base, label, extra=None):
    out = os.path.join(work, "out")
    runs = {
        "full Save": [quorvale, "--save", tree, "--list-folder", out + "-full"],
        "--reuse": [quorvale, "--save", tree, "--list-folder", out + "-reuse", "--reuse", base],
        "floor": [floor, os.path.join(work, tree_name + ".folders"), base, out + "-floor"],
        "list files' floor": [floor, "--list-files-only", os.path.join(work, tree_name + ".folders"),
                              base, out + "-floor-lists"],
    }
    if extra:
        runs.update(extra)
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, argv in runs.items():
            times[name].append(timed(argv))
    m = {name: statistics.median(values) for name, values in times.items()}
    reused = open(os.path.join(out + "-reuse", "quorvale-listing.json")).read()
    same = all(open(os.path.join(out + "-reuse", n), "rb").read() ==
               open(os.path.join(out + "-full", n), "rb").read()
               for n in os.listdir(out + "-full") if n.startswith("ListTex"))
    counts = reused[reused.index('"foldersReused"'):].split("}")[0].replace("\n", " ")
    line = "| %s, %s | %.3f s | %.3f s | %.3f s | %.3f s | %.2f | %.2f |" % (
        tree_name, label, m["full Save"], m["--reuse"], m["floor"], m["list files' floor"],
        m["--reuse"] / m["floor"], m["--reuse"] / m["full Save"])
    if "reading the changed folders" in m:
        line += " floor + reading the changed: %.3f s, ratio %.2f |" % (
            m["floor"] + m["reading the changed folders"],
            m["--reuse"] / (m["floor"] + m["reading the changed folders"]))
    print(line + " list files the same: %s; %s" % ("yes" if same else "NO", counts.strip()))

print("| tree | full Save | --reuse | floor | list files' floor | --reuse / floor | --reuse / full |")
print("|---|---|---|---|---|---|---|")
for tree_name in trees.split(","):
    tree = os.path.join(work, tree_name)
    if not os.path.exists(tree + ".made"):
        shutil.rmtree(tree, ignore_errors=True)
        {"big": make_big, "mid": make_mid, "small": make_small}[tree_name](tree)
        open(tree + ".made", "w").close()
        time.sleep(1.1)  # a listing trusts no folder changed within a second of its reading
    folders = folders_of(tree)
    with open(os.path.join(work, tree_name + ".folders"), "w") as listed:
        listed.write("\n".join(folders) + "\n")
    base = os.path.join(work, tree_name + "-base")
    shutil.rmtree(base, ignore_errors=True)
    subprocess.run([quorvale, "--save", tree, "--list-folder", base], check=True,
                   stdout=subprocess.DEVNULL)
    measure(tree, base, "unchanged")
    # 1% of the folders changed: a file added to each, older than a second by the time it is read.
    changed = folders[:: 100]
    for folder in changed:
        os.close(os.open(os.path.join(folder, "changed.txt"), os.O_CREAT | os.O_WRONLY, 0o644))
    time.sleep(1.1)
    measure(tree, base, "1% changed",
            {"reading the changed folders": ["find", *changed, "-maxdepth", "1", "-printf", ""]})
    for folder in changed:
        os.unlink(os.path.join(folder, "changed.txt"))
EOF
