#!/usr/bin/env python3
"""The tests' own answer to which files hold the same content, from the trees themselves, to check
the program's --duplicates and --only-in (and jdupes's groups) against.

  copies_oracle.py groups MIN_SIZE OURS JDUPES ROOT...
      OURS: what `quorvale --duplicates -0` printed; JDUPES: what `jdupes -0 -r -q` printed, or -.
  copies_oracle.py only MIN_SIZE OURS ROOT OTHER_ROOT...
      OURS: what `quorvale --only-in -0` printed of the listing of ROOT.

Paths are bytes. A group is the set of paths of regular files of MIN_SIZE bytes or more with the
same size and SHA-256, that is more than one file (hard links, the same file, count once). Prints
what differs and exits 1, or exits 0.
"""
import hashlib
import os
import stat
import sys


def regular(path, min_size):
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(st.st_mode) or st.st_size < min_size:
        return None
    return st


def tree_files(roots, min_size):
    for root in roots:
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if regular(path, min_size):
                    yield path


def content(path):
    with open(path, 'rb') as f:
        return os.path.getsize(path), hashlib.sha256(f.read()).digest()


def inode(path, min_size):
    st = regular(path, min_size)
    return (st.st_dev, st.st_ino) if st else None


def real_groups(classes, min_size):
    """The classes as sets of files (hard links are one file, by device and inode), those of more
    than one file. A file with several names in several classes joins them: its names are one."""
    union = Union()
    for paths in classes:
        files = [f for f in (inode(p, min_size) for p in paths) if f]
        for f in files:
            union.find(f)
        for f in files[1:]:
            union.join(files[0], f)
    return {frozenset(files) for files in union.classes() if len(files) > 1}


def oracle_groups(roots, min_size):
    by_content = {}
    for path in tree_files(roots, min_size):
        by_content.setdefault(content(path), []).append(path)
    return real_groups(by_content.values(), min_size)


def records(path):
    with open(path, 'rb') as f:
        data = f.read()
    parts = data.split(b'\0')
    if parts and parts[-1] == b'':
        parts.pop()
    return parts


class Union:
    def __init__(self):
        self.parent = {}

    def find(self, x):
        self.parent.setdefault(x, x)
        while self.parent[x] != x:
            self.parent[x] = self.parent[self.parent[x]]
            x = self.parent[x]
        return x

    def join(self, a, b):
        self.parent[self.find(a)] = self.find(b)

    def classes(self):
        out = {}
        for x in list(self.parent):
            out.setdefault(self.find(x), []).append(x)
        return out.values()


def our_groups(path, min_size):
    """The program's groups, a folder group spread over the files below its copies."""
    union = Union()
    group = []
    for record in records(path) + [b'']:
        if record == b'':
            if group and group[0].endswith(b'/'):
                first = group[0]
                for path_in in tree_files([first], 0):
                    relative = os.path.relpath(path_in, first)
                    for other in group[1:]:
                        union.join(path_in, os.path.join(other, relative))
            else:
                for other in group[1:]:
                    union.join(group[0], other)
            group = []
            continue
        if record[:1].isdigit():
            continue  # a group's first line
        fields = record.split(b'\t', 2 if record.startswith(b'=\t') else 1)
        group.append(fields[-1])
    return real_groups(union.classes(), min_size)


def jdupes_groups(path, min_size):
    union = Union()
    group = []
    for record in records(path) + [b'']:
        if record == b'':
            for other in group[1:]:
                union.join(group[0], other)
            group = []
        else:
            group.append(record)
    return real_groups(union.classes(), min_size)


NAMES = {}


def show(name, groups):
    for g in sorted(sorted(x) for x in groups):
        print(name, sorted(os.fsdecode(p) for f in g for p in NAMES.get(f, [b'?'])))


def compare(name, ours, theirs):
    if ours == theirs:
        return True
    print('groups differ from', name)
    show('  only the program:', ours - theirs)
    show('  only ' + name + ':', theirs - ours)
    return False


def main(argv):
    mode, min_size, ours = argv[1], int(argv[2]), os.fsencode(argv[3])
    if mode == 'groups':
        jdupes, roots = argv[4], [os.fsencode(r) for r in argv[5:]]
        for path in tree_files(roots, 0):
            NAMES.setdefault(inode(path, 0), []).append(path)
        mine = our_groups(ours, min_size)
        same = compare('the trees', mine, oracle_groups(roots, min_size))
        if jdupes != '-':
            same = compare('jdupes', mine, jdupes_groups(os.fsencode(jdupes), min_size)) and same
        return 0 if same else 1
    root, others = os.fsencode(argv[4]), [os.fsencode(r) for r in argv[5:]]
    elsewhere = {content(p) for p in tree_files(others, 0)}
    wanted = {p: content(p)[0] for p in tree_files([root], min_size)
              if content(p) not in elsewhere}
    told = {}
    lines = records(ours)
    for record in lines[:-1]:
        size, path = record.split(b'\t', 1)
        told[path] = int(size)
    total = lines[-1].split(b'\t')
    same = told == wanted and total == [str(sum(wanted.values())).encode(), b'total']
    if not same:
        print('only the program:', sorted(set(told) - set(wanted)))
        print('only the trees:', sorted(set(wanted) - set(told)))
        print('total:', total, sum(wanted.values()))
    return 0 if same else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
