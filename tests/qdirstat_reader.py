#!/usr/bin/env python3
"""The tests' own reader of a QDirStat cache file, as its format is documented (a header line;
lines of type, path or name, size, mtime and optional fields, separated by whitespace; folders by
their absolute paths, other entries by name relative to the folder before; names URL-encoded;
sizes in bytes, or with K, M or G). Prints each folder's total of its own size and those of every
entry below it, as `du -l -b` counts them: "SIZE\tPATH" records ended by NUL, paths as bytes.
Exits 1 on a line that does not follow the format.
"""
import re
import sys

UNITS = {'': 1, 'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}


def decoded(text):
    return re.sub(rb'%([0-9A-Fa-f]{2})', lambda m: bytes([int(m.group(1), 16)]), text)


def main(path):
    lines = open(path, 'rb').read().split(b'\n')
    if lines[0] != b'[qdirstat 1.0 cache file]':
        print('no header', file=sys.stderr)
        return 1
    totals = {}
    folder = None
    for number, line in enumerate(lines[1:], 2):
        if not line.strip() or line.strip().startswith(b'#'):
            continue
        fields = line.split()
        if len(fields) < 4 or fields[0].upper() not in (b'D', b'F', b'L', b'BLOCKDEV', b'CHARDEV',
                                                           b'FIFO', b'SOCKET'):
            print('line %d: %r' % (number, line), file=sys.stderr)
            return 1
        size = re.fullmatch(rb'(\d+)([KMG]?)', fields[2])
        if not size or not re.fullmatch(rb'0x[0-9a-f]+|\d+', fields[3]):
            print('line %d: %r' % (number, line), file=sys.stderr)
            return 1
        size = int(size.group(1)) * UNITS[size.group(2).decode()]
        name = decoded(fields[1])
        if fields[0].upper() == b'D':
            if not name.startswith(b'/'):
                print('line %d: a folder without its path' % number, file=sys.stderr)
                return 1
            folder = name
            totals[folder] = totals.get(folder, 0)
        elif folder is None or name.startswith(b'/'):
            print('line %d: a name with no folder before' % number, file=sys.stderr)
            return 1
        # The entry's size counts in its folder and in every folder above it.
        for above in totals:
            if folder == above or folder.startswith(above.rstrip(b'/') + b'/'):
                totals[above] += size
    for folder, total in totals.items():
        sys.stdout.buffer.write(b'%d\t%s\0' % (total, folder))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
