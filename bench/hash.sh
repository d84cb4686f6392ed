#!/usr/bin/env bash
# Times a Save with hashes as a user meets it (whole processes, interleaved rounds, medians) beside
# the floor under it (bench/hash_floor.cpp: every byte of the files read with 1 MiB reads from two
# threads, from a list made before the timing), a Save with details and no hashes, and the tools
# people hash a tree with: xxhsum -H2 and b3sum through `find -print0 | xargs -0 -P2`, and
# `rhash --sha256 -r`. Then a re-listing of the unchanged tree with --hash --reuse beside the same
# re-listing with --details alone, and the peak memory of a Save with and without --hash.
#
#   bench/hash.sh [WORK_FOLDER] [--rounds N] [--cold] [--trees mixed,large]
#
# Trees, made once in WORK_FOLDER (default: a new folder under /var/tmp, removed at the end;
# given, it is kept for the next run): "mixed", 200,000 files of 0 to 20 KB in 1,000 folders and
# four of 256 MiB; "large", 1,000 files of 2 MiB. With --cold (as root) each tree is copied once
# into an ext4 image mounted through a loop device, and the page cache is dropped before each run.
# Needs a build (QUORVALE_BUILD, default build-tests) and the bench's tools (tools/deps.sh bench).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
floor="$build/bench/hash_floor"
for program in "$quorvale" "$floor"; do
  [ -x "$program" ] || { echo "no $program: build first (tools/test.sh)" >&2; exit 2; }
done
for tool in xxhsum b3sum rhash; do
  command -v "$tool" >/dev/null || { echo "no $tool: tools/deps.sh bench" >&2; exit 2; }
done
work=""; rounds=7; cold=0; trees="mixed,large"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --cold) cold=1; shift ;;
    --trees) trees="$2"; shift 2 ;;
    *) work="$1"; shift ;;
  esac
done
if [ -z "$work" ]; then
  work=$(mktemp -d /var/tmp/quorvale-hash.XXXXXX)
  trap 'umount "$work"/cold-* 2>/dev/null || true; rm -rf "$work"' EXIT
fi
mkdir -p "$work"
echo "load $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds; $( ((cold)) && echo cold || echo warm)"
python3 - "$quorvale" "$floor" "$work" "$rounds" "$cold" "$trees" <<'EOF'
import os, random, resource, shutil, statistics, subprocess, sys, time
quorvale, floor, work, rounds, cold, trees = sys.argv[1:7]
rounds, cold = int(rounds), cold == "1"
blob = os.urandom(1 << 20)

def make_mixed(top):
    rng = random.Random(44)
    for d in range(1000):
        folder = os.path.join(top, "g%02d" % (d // 100), "folder%04d" % d)
        os.makedirs(folder, exist_ok=True)
        for f in range(200):
            size = rng.randrange(0, 20 * 1024 + 1)
            at = rng.randrange(0, len(blob) - size)
            with open(os.path.join(folder, "file%03d.dat" % f), "wb") as out:
                out.write(blob[at:at + size])
    for n in range(4):
        with open(os.path.join(top, "large%d.bin" % n), "wb") as out:
            for _ in range(256):
                out.write(os.urandom(1 << 20))

def make_large(top):
    for n in range(1000):
        folder = os.path.join(top, "d%02d" % (n // 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%04d.bin" % n), "wb") as out:
            out.write(os.urandom(2 << 20))

def tree_bytes(top):
    return sum(os.lstat(os.path.join(d, f)).st_size for d, _, fs in os.walk(top) for f in fs)

def cold_copy(name, top):
    """The tree copied once into an ext4 image mounted through a loop device."""
    image, mount = os.path.join(work, name + ".img"), os.path.join(work, "cold-" + name)
    if not os.path.ismount(mount):
        os.makedirs(mount, exist_ok=True)
        if not os.path.exists(image + ".made"):
            size = int(tree_bytes(top) * 1.3) + (512 << 20)
            subprocess.run(["truncate", "-s", str(size), image], check=True)
            subprocess.run(["mkfs.ext4", "-q", "-F", "-i", "8192", image], check=True)
            subprocess.run(["mount", "-o", "loop", image, mount], check=True)
            subprocess.run(["cp", "-a", top + "/.", mount], check=True)
            open(image + ".made", "w").close()
        else:
            subprocess.run(["mount", "-o", "loop", image, mount], check=True)
    return mount

def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as caches:
        caches.write("3\n")

def timed(argv, shell=False):
    if cold:
        drop_caches()
    start = time.perf_counter()
    # The peers' pipelines keep their stderr to themselves: xxhsum clears a line of progress there
    # with a run of spaces even when it is no terminal. A failure still stops the bench.
    subprocess.run(argv, shell=shell, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL if shell else None, check=True)
    return time.perf_counter() - start

def peak_kib(argv):
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, check=True, text=True).stderr
    return int(out.strip().splitlines()[-1])

for name in trees.split(","):
    top = os.path.join(work, name)
    if not os.path.exists(top + ".made"):
        shutil.rmtree(top, ignore_errors=True)
        {"mixed": make_mixed, "large": make_large}[name](top)
        open(top + ".made", "w").close()
        time.sleep(1.1)  # older than a tick, so that a re-listing may carry its hashes over
    tree = cold_copy(name, top) if cold else top
    files = os.path.join(work, name + ".files")
    with open(files, "wb") as out:
        out.write(subprocess.run(["find", tree, "-type", "f", "-print0"], check=True,
                                 stdout=subprocess.PIPE).stdout)
    out = lambda label: os.path.join(work, "out-" + name + "-" + label)
    save = lambda label, *more: [quorvale, "--save", tree, "--list-folder", out(label)] + list(more)
    runs = {
        "floor": [floor, files],
        "Save --details": save("details", "--details"),
        "Save --hash": save("hash", "--hash"),
        "Save --hash --read-order=disk": save("order", "--hash", "--read-order=disk"),
        "Save --hash --read-order=listing": save("listing", "--hash", "--read-order=listing"),
        "Save --hash=sha256": save("sha", "--hash=sha256"),
        "xxhsum -H2 (xargs -P2)": "find '%s' -type f -print0 | xargs -0 -P2 xxhsum -H2" % tree,
        "b3sum (xargs -P2)": "find '%s' -type f -print0 | xargs -0 -P2 b3sum" % tree,
        "rhash --sha256 -r": "rhash --sha256 -r '%s'" % tree,
    }
    if cold:
        for skip in ("b3sum (xargs -P2)", "rhash --sha256 -r", "Save --hash=sha256"):
            del runs[skip]
    times = {label: [] for label in runs}
    for _ in range(rounds):
        for label, argv in runs.items():
            for leftover in (out("details"), out("hash"), out("order"), out("listing"), out("sha")):
                shutil.rmtree(leftover, ignore_errors=True)
            times[label].append(timed(argv, shell=isinstance(argv, str)))
    m = {label: statistics.median(values) for label, values in times.items()}
    gib = tree_bytes(tree) / (1 << 30)
    print("%s: %d files, %.2f GiB" % (name, len(open(files, "rb").read().split(b"\0")) - 1, gib))
    for label, value in m.items():
        print("  %-26s %7.3f s" % (label, value))
    under = m["Save --details"] + m["floor"]
    fastest = min(m["xxhsum -H2 (xargs -P2)"], m.get("b3sum (xargs -P2)", 1e9))
    print("  Save --hash / (Save --details + floor) = %.2f (target 1.15)" % (m["Save --hash"] / under))
    print("  Save --hash / fastest peer = %.2f (target 0.8)" % (m["Save --hash"] / fastest))
    if "rhash --sha256 -r" in m:
        print("  Save --hash=sha256 / rhash --sha256 = %.2f (target 0.8)" % (
            m["Save --hash=sha256"] / m["rhash --sha256 -r"]))
    if cold:
        continue
    # Re-listing the unchanged tree: with --hash --reuse beside --details --reuse, and the bytes
    # of file content read (the process's rchar, less the earlier listing's own files).
    base_plain, base_hash = out("base-details"), out("base-hash")
    for base, more in ((base_plain, ["--details"]), (base_hash, ["--hash"])):
        shutil.rmtree(base, ignore_errors=True)
        subprocess.run([quorvale, "--save", tree, "--list-folder", base] + more, check=True,
                       stdout=subprocess.DEVNULL)
    again = {
        "--details --reuse": save("again-details", "--details", "--reuse", base_plain),
        "--hash --reuse": save("again-hash", "--hash", "--reuse", base_hash),
    }
    times = {label: [] for label in again}
    for _ in range(rounds):
        for label, argv in again.items():
            shutil.rmtree(out("again-details"), ignore_errors=True)
            shutil.rmtree(out("again-hash"), ignore_errors=True)
            times[label].append(timed(argv))
    m = {label: statistics.median(values) for label, values in times.items()}
    print("  re-listing: --details --reuse %.3f s, --hash --reuse %.3f s: %.2f (target 1.2)" % (
        m["--details --reuse"], m["--hash --reuse"], m["--hash --reuse"] / m["--details --reuse"]))
    record = open(os.path.join(out("again-hash"), "quorvale-listing.json")).read()
    print("  re-listing with --hash: %s" % " ".join(
        line.strip() for line in record.splitlines() if '"carried"' in line or '"bytesRead"' in line))
    peaks = {label: [] for label in ("Save --details", "Save --hash")}
    for _ in range(3):
        for label in peaks:
            shutil.rmtree(out("details"), ignore_errors=True)
            shutil.rmtree(out("hash"), ignore_errors=True)
            peaks[label].append(peak_kib(runs[label]))
    p = {label: statistics.median(values) for label, values in peaks.items()}
    print("  peak memory: Save --details %.1f MiB, Save --hash %.1f MiB: +%.1f MiB (target 16)" % (
        p["Save --details"] / 1024, p["Save --hash"] / 1024,
        (p["Save --hash"] - p["Save --details"]) / 1024))
EOF
