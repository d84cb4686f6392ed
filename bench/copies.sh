#!/usr/bin/env bash
# Times the questions of copies as a user meets them (whole processes, interleaved rounds,
# medians, the load noted), and checks the answers against what was planted:
#   - "made": --duplicates over ten listings of a million hashed files each, made by
#     bench/listing_maker.cpp with the program's own writers (990,000 files each: no ten million
#     real files): its time,
#     its peak memory, and the groups (5,001: one group of ten folders, the rest of files);
#   - "live": a tree of 100,000 files, 5% of them copies, and two copies of a 256 MiB file:
#     --duplicates (once the tree was saved with --hash) beside `jdupes -r` and `rmlint`, and the
#     first run (--save --hash, then --duplicates) beside them;
#   - "moves": --compare of a made drive of 1,000,101 entries with itself after 10,000 files moved,
#     1,000 renamed and 100 folders moved: every move told, as one line each, its time beside the
#     same comparison by an earlier build (QUORVALE_BEFORE, a `quorvale` built before moves were
#     told; skipped when not given), and its peak memory.
#
#   bench/copies.sh [WORK_FOLDER] [--rounds N] [--parts made,live,moves]
#
# WORK_FOLDER (default: a new folder under /var/tmp, removed at the end) keeps what was made for
# the next run when given. Needs a build (QUORVALE_BUILD, default build-tests) and the bench's
# tools (tools/deps.sh bench).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
maker="$build/bench/listing_maker"
before="${QUORVALE_BEFORE:-}"
for program in "$quorvale" "$maker"; do
  [ -x "$program" ] || { echo "no $program: build first (tools/test.sh)" >&2; exit 2; }
done
for tool in jdupes rmlint; do
  command -v "$tool" >/dev/null || { echo "no $tool: tools/deps.sh bench" >&2; exit 2; }
done
work=""; rounds=5; parts="made,live,moves"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --parts) parts="$2"; shift 2 ;;
    *) work="$1"; shift ;;
  esac
done
if [ -z "$work" ]; then
  work=$(mktemp -d /var/tmp/quorvale-copies.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
echo "load $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds"
python3 - "$quorvale" "$maker" "$before" "$work" "$rounds" "$parts" <<'EOF'
import os, random, shutil, statistics, subprocess, sys, time
quorvale, maker, before, work, rounds, parts = sys.argv[1:7]
rounds, parts = int(rounds), parts.split(",")

def run(argv, **more):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **more)

def timed(argv, cwd=None):
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=cwd)
    if done.returncode not in (0, 1):
        sys.exit("%s: exit %d" % (" ".join(argv), done.returncode))
    return time.perf_counter() - start

def peak_mib(argv):
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True).stderr
    return int(out.strip().splitlines()[-1]) / 1024

def interleaved(runs, cwd=None):
    times = {label: [] for label in runs}
    for _ in range(rounds):
        for label, argv in runs.items():
            times[label].append(timed(argv, cwd))
    return {label: statistics.median(values) for label, values in times.items()}

def made(name, *more):
    folder = os.path.join(work, name)
    if not os.path.exists(folder + ".made"):
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([maker, folder] + list(more), check=True)
        open(folder + ".made", "w").close()
    return folder

if "made" in parts:
    ten = os.path.join(work, "ten")
    os.makedirs(ten, exist_ok=True)
    for drive in range(10):
        made(os.path.join("ten", "d%d" % drive), "--drive", str(drive))
    out = run([quorvale, "--duplicates", ten]).stdout.split(b"\n")
    headers = [line for line in out if line[:1].isdigit()]
    folders = [line for line in headers
               if b"\tfolders of " in line and line.split(b"\t")[2] == b"10"]
    copies = sum(int(line.split(b"\t")[2]) for line in headers)
    planted = len(headers) == 5001 and len(folders) == 1 and copies == 99010
    m = interleaved({"--duplicates": [quorvale, "--duplicates", ten]})
    peak = statistics.median(peak_mib([quorvale, "--duplicates", ten]) for _ in range(3))
    print("made: ten listings of 990,000 hashed files")
    print("  --duplicates %.2f s (target 2), peak %.0f MiB (target 128)" % (
        m["--duplicates"], peak))
    print("  groups %d (%d of folders), copies %d: %s" % (
        len(headers), len(folders), copies, "as planted" if planted else "NOT AS PLANTED"))

def make_live(top):
    rng = random.Random(45)
    blob = os.urandom(1 << 20)
    files = []
    for d in range(100):
        folder = os.path.join(top, "g%02d" % (d // 10), "folder%03d" % d)
        os.makedirs(folder, exist_ok=True)
        for f in range(1000):
            path = os.path.join(folder, "file%04d.dat" % f)
            if files and rng.random() < 0.05:
                shutil.copyfile(rng.choice(files), path)
            else:
                size = rng.randrange(1, 20 * 1024)
                at = rng.randrange(0, len(blob) - size)
                with open(path, "wb") as out:
                    out.write(blob[at:at + size])
                    out.write(os.urandom(16))  # content of its own
                files.append(path)
    with open(os.path.join(top, "large.bin"), "wb") as out:
        for _ in range(256):
            out.write(os.urandom(1 << 20))
    shutil.copyfile(os.path.join(top, "large.bin"), os.path.join(top, "g00", "large copy.bin"))

if "live" in parts:
    tree = os.path.join(work, "live")
    if not os.path.exists(tree + ".made"):
        shutil.rmtree(tree, ignore_errors=True)
        make_live(tree)
        open(tree + ".made", "w").close()
    listing = os.path.join(work, "live-listing")
    first = os.path.join(work, "live-first")
    shutil.rmtree(listing, ignore_errors=True)
    subprocess.run([quorvale, "--save", tree, "--hash", "--list-folder", listing], check=True,
                   stdout=subprocess.DEVNULL)
    out = run([quorvale, "--duplicates", listing]).stdout
    groups = out.count(b"\n\n")
    jd = run(["jdupes", "-r", "-q", tree]).stdout
    jgroups = jd.count(b"\n\n")
    first_run = "rm -rf '%s' && '%s' --save '%s' --hash --list-folder '%s' >/dev/null && " \
                "'%s' --duplicates '%s'" % (first, quorvale, tree, first, quorvale, first)
    m = interleaved({
        "--duplicates (saved)": [quorvale, "--duplicates", listing],
        "--save --hash, --duplicates": ["sh", "-c", first_run],
        "jdupes -r": ["jdupes", "-r", "-q", tree],
        "rmlint": ["rmlint", "-o", "fdupes:" + os.path.join(work, "rmlint.out"), tree],
    }, cwd=work)
    peer = min(m["jdupes -r"], m["rmlint"])
    print("live: 100,001 files (5%% copies, a 256 MiB file copied), %d groups (jdupes: %d)" % (
        groups, jgroups))
    for label, value in m.items():
        print("  %-28s %7.3f s" % (label, value))
    print("  --duplicates / faster peer = %.3f (target 0.1)" % (m["--duplicates (saved)"] / peer))
    print("  first run / faster peer = %.2f" % (m["--save --hash, --duplicates"] / peer))

if "moves" in parts:
    old = made("moves-old", "--drive", "42")
    new = made("moves-new", "--drive", "42", "--moved")
    out = run([quorvale, "--compare", old, new]).stdout.split(b"\n")
    moved = [line for line in out if line.startswith(b">")]
    other = [line for line in out if line[:1] in (b"-", b"+")]
    folders = [line for line in moved if line.endswith(b"/")]
    runs = {"--compare": [quorvale, "--compare", old, new]}
    if before:
        runs["--compare (before)"] = [before, "--compare", old, new]
    m = interleaved(runs)
    print("moves: listings of 1,000,101 entries, 10,000 files moved, 1,000 renamed, 100 folders "
          "moved")
    print("  told: %d moves (%d of folders), %d lines removed or added" % (
        len(moved), len(folders), len(other)))
    for label, value in m.items():
        print("  %-28s %7.3f s" % (label, value))
    if before:
        print("  --compare / before = %.2f (target 1.5)" % (
            m["--compare"] / m["--compare (before)"]))
    print("  peak %.0f MiB" % statistics.median(
        peak_mib([quorvale, "--compare", old, new]) for _ in range(3)))
EOF
