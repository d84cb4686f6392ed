#!/usr/bin/env bash
# Peak memory of whole `quorvale` processes, as the README states it (maximum resident set size,
# `/usr/bin/time -f %M`, three runs each):
#
#   bench/memory.sh [WORK_FOLDER]
#       a Save of 100,000 files (100 folders of 1,000) beside 3,000,000 (3,000 folders of 1,000),
#       of one folder of 80,000 names of 200 bytes beside twenty such folders, and `--compare` of
#       two listings of 1,000,000 lines and of a listing whose record is 15 MB of keys.
#
# The trees are made once in WORK_FOLDER (default: a new folder under /var/tmp, removed at the
# end) and kept there when it is given, for the next run. Needs a build (tools/test.sh builds one
# in build-tests/; QUORVALE_BUILD names another).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVALE_BUILD:-$here/build-tests}"
quorvale="$build/src/quorvale"
[ -x "$quorvale" ] || { echo "no $quorvale: build first (tools/test.sh)" >&2; exit 2; }
if [ $# -ge 1 ]; then
  work="$1"; mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/quorvale-memory.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi

# make_tree FOLDER FOLDERS FILES NAME_BYTES: FOLDERS folders of FILES empty files each.
make_tree() {
  [ -e "$1/.made" ] && return
  python3 - "$@" <<'EOF'
import os, sys
root, folders, files, name_bytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for d in range(folders):
    folder = os.path.join(root, "d%05d" % d)
    os.makedirs(folder, exist_ok=True)
    for f in range(files):
        name = ("f%07d" % f).ljust(name_bytes, "x")
        os.close(os.open(os.path.join(folder, name), os.O_CREAT | os.O_WRONLY, 0o644))
EOF
  touch "$1/.made"
}

peaks() {  # peaks WHAT COMMAND...: three runs' peak memory in MiB
  local what="$1"; shift
  local all=""
  for _ in 1 2 3; do
    /usr/bin/time -o "$work/peak" -f '%M' "$@" >/dev/null 2>&1 || [ $? -le 1 ]
    all+="$(awk '{ printf "%.1f ", $1 / 1024 }' "$work/peak")"
  done
  echo "$what: ${all}MiB"
}

echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
make_tree "$work/small" 100 1000 8
make_tree "$work/large" 3000 1000 8
make_tree "$work/long1" 1 80000 200
make_tree "$work/long20" 20 80000 200
for tree in small large long1 long20; do
  peaks "Save of $tree" "$quorvale" --save "$work/$tree" --list-folder "$work/list-$tree"
done
peaks "--compare of two listings of 3,000,000 files" \
  "$quorvale" --compare "$work/list-large" "$work/list-large"
# The small listing again, its record grown to 15 MB by an object of 1,300,000 keys.
rm -rf "$work/list-keys"; cp -r "$work/list-small" "$work/list-keys"
python3 - "$work/list-keys/quorvale-listing.json" <<'EOF'
import sys
path = sys.argv[1]
text = open(path).read().rstrip()[:-1]
keys = ",".join('"k%d":0' % i for i in range(1300000))
open(path, "w").write(text + ', "later": {' + keys + "}}\n")
EOF
peaks "--compare of a listing whose record holds 1,300,000 keys (15 MB)" \
  "$quorvale" --compare "$work/list-keys" "$work/list-keys"
