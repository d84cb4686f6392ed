#!/usr/bin/env bash
# Whether two builds write the same index of the same trees: each Saves every TREE, and the two
# indexes are compared part by part: the header's counts, the blocks, the trigram table and the
# posting lists byte for byte, the folder rows field by field but for the time each folder was read
# (each Save reads them anew, and the frames' sizes and what follows move with it), and the
# cut-short list. The list files are compared byte for byte too. Needs zstd. With --reuse the
# second build lists each tree again reusing the first build's listing of it, as a re-listing does.
#
#   bench/index_same.sh [--reuse] BUILD_BEFORE BUILD_AFTER TREE...
set -euo pipefail
reuse=()
if [ "${1:-}" = --reuse ]; then reuse=(--reuse); shift; fi
before="$1/src/quorvale"; after="$2/src/quorvale"; shift 2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for tree in "$@"; do
  "$before" --save "$tree" --list-folder "$out/before" > /dev/null
  "$after" --save "$tree" --list-folder "$out/after" ${reuse[@]:+"${reuse[@]}" "$out/before"} \
    > /dev/null
  if python3 - "$out/before" "$out/after" <<'PY'
import os, struct, subprocess, sys

def varint(b, at):
    value = shift = 0
    while True:
        byte = b[at]; at += 1
        value |= (byte & 0x7F) << shift; shift += 7
        if byte < 0x80:
            return value, at

def folder_rows(index, table_at, frames):
    """The folder rows with each one's read-at time left out: it is when that Save read it."""
    rows = []
    for f in range(frames):
        begin, = struct.unpack_from("<Q", index, table_at + 12 * f)
        end, = struct.unpack_from("<Q", index, table_at + 12 * (f + 1))
        raw = subprocess.run(["zstd", "-d", "-c"], input=index[begin:end], capture_output=True,
                             check=True).stdout
        at = 0
        while at < len(raw):
            row = []
            for _ in range(3):
                v, at = varint(raw, at); row.append(v)
            if row[2] & 1:
                for field in range(5):
                    v, at = varint(raw, at)
                    if field < 4: row.append(v)
            length, at = varint(raw, at)
            row.append(raw[at:at + length]); at += length
            rows.append(row)
    return rows

def parts(index):
    (lines, size, entries, blocks, trigrams, block_table, trigram_table, whole, folders,
     folder_table, frames, cut_sum, cut_at) = struct.unpack_from("<QQQIIQQQQQIIQ", index, 8)
    # Blocks, trigram table and posting lists end where the last list does (the table says).
    lists_end, = struct.unpack_from("<Q", index, trigram_table + 20 * trigrams)
    return {
        "counts": (lines, size, entries, blocks, trigrams, block_table, trigram_table, folders,
                   frames, cut_sum),
        "blocks, trigrams and lists": index[120:lists_end],
        "folders": folder_rows(index, folder_table, frames),
        "cut short": index[cut_at:],
    }

a, b = (parts(open(os.path.join(d, "quorvale-index.bin"), "rb").read()) for d in sys.argv[1:3])
differ = [name for name in a if a[name] != b[name]]
lists = sorted(n for n in os.listdir(sys.argv[1]) if n.startswith("ListTex"))
same_lists = lists == sorted(n for n in os.listdir(sys.argv[2]) if n.startswith("ListTex")) and all(
    open(os.path.join(sys.argv[1], n), "rb").read() == open(os.path.join(sys.argv[2], n), "rb").read()
    for n in lists)
print("index: %s; %d list files: %s" % (
    "the same" if not differ else "DIFFERENT (" + ", ".join(differ) + ")", len(lists),
    "the same" if same_lists else "DIFFERENT"), end=" ")
sys.exit(0 if not differ and same_lists else 1)
PY
  then echo "($tree)"; else echo "($tree)"; status=1; fi
  rm -rf "$out/before" "$out/after"
done
exit $status
