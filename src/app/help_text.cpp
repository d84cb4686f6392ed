#include "app/help_text.h"

namespace quorvale::app {

std::string HelpText() {
    return R"(Usage: quorvale [FOLDER] [--list-folder DIR]
  or:  quorvale --save FOLDER [--list-folder DIR] [SAVE OPTION]...
  or:  quorvale --compare OLD NEW
  or:  quorvale --find PATTERN [FOLDER]... [FIND OPTION]...
  or:  quorvale --export FORMAT LISTING [-0]
  or:  quorvale --verify LISTING [--root DIR]
  or:  quorvale --duplicates [FOLDER]... [COPIES OPTION]...
  or:  quorvale --only-in|--also-in LISTING [FOLDER]... [COPIES OPTION]...
  or:  quorvale --sizes LISTING [PATH] [SIZES OPTION]...
  or:  quorvale --listings [FOLDER]...
  or:  quorvale --note LISTING TEXT
  or:  quorvale --forget LISTING
  or:  quorvale -h | --help | -V | --version
List every folder and file below FOLDER into the plain-text list files
ListTex1.txt, ListTex2.txt, ... : each folder by its full path, each file by
its name, a new list file every 32000 lines.

Without --save the window opens, with FOLDER chosen when it is given. With
--save the listing runs without a window (no display is needed) and, without
--list-folder, is kept in the catalogue: one place per drive and folder, so
that every drive saved is found by --find, plugged in or not.

Options:
  --save FOLDER        list FOLDER without a window, then end
  --list-folder DIR    write the list files into DIR (created when missing)
  --details            with --save: beside each ListTex<n>.txt write
                       ListTex<n>.tsv, line for line: type (d folder, f file,
                       l link, o other), size in bytes, time modified (UTC),
                       full path, separated by tabs; and the sizes --sizes
                       and the browse window (Ctrl+L) read
  -x, --one-file-system
                       with --save: list a folder on another drive by its
                       folder line, without entering it
  --exclude PATTERN    with --save: leave out every entry whose name matches
                       the shell pattern (case-sensitive, * also matches a
                       leading dot; may be given more than once)
  --reuse [OLD]        with --save: take each folder that has not changed
                       since the listing kept in the list folder OLD was made
                       (same device, inode, modification and change time, and
                       those older than OLD's reading of it by a second) from
                       OLD instead of reading it; the list files are the same
                       as without it. OLD must be a listing of the same FOLDER
                       by the same user and groups with the same options,
                       complete and indexed, on a file system whose folder
                       times are trusted (ext2, ext3, ext4, xfs, btrfs, tmpfs,
                       f2fs); otherwise every folder is read, said once on
                       stderr. OLD cannot be the list folder being written
  --reuse-trust        with --reuse: trust the folder times of any file system
                       (network and FUSE file systems among them)
  --hash[=ALGORITHM]   with --save (implies --details): keep a hash of each
                       regular file's content, xxh3 (XXH3-128, the default)
                       or sha256; with --reuse, a file whose device, inode,
                       size and times are those OLD hashed (and older than
                       that by a second) keeps OLD's hash unread. A file
                       that cannot be read, or that changed while it was
                       read, gets none and is named on stderr and in the
                       record. A file none of whose pages were cached leaves
                       none there once hashed
  --read-order=disk|listing
                       with --hash: read the files with one reader in the
                       order the disk holds them, those the page cache holds
                       whole with the others (as on a rotational disk, which
                       sysfs names), or with several in listing order (as
                       elsewhere), whatever the disk says of itself
  --compare OLD NEW    print what changed from the listing in the list folder
                       OLD to the one in NEW: "-", a tab and the path of each
                       entry only OLD holds, "+" for each only NEW holds
                       (folders end with /), and "~" with a letter for each
                       of type, size and time that differs (t, s, m; a
                       folder's size is never a change; c, the content,
                       where both hashed the file with one algorithm) for
                       each both hold (where both have details), in listing
                       order; ">", a tab, the path in OLD, a tab and the path
                       in NEW for an entry that moved: the same inode on the
                       same drive, of the same type, size and time (without
                       --hash a file is known by its name, size and time
                       alone), or for listings hashed alike a file of the
                       same size and content; a folder that moved is one ">"
                       line, what moved with it shown only where it changed;
                       a copy is no move. A warning on stderr when their
                       options differ
  --find PATTERN       print the full path (folders end with /) of each entry
                       whose full path holds PATTERN in the kept listings
                       (list folders with a record) in each FOLDER and two
                       levels below it (default: the catalogue, and where
                       the window's Saves write); a FOLDER may also be a
                       drive's name ("PHOTOS"). With *, ? or [ PATTERN is a
                       shell pattern on the whole path. The newest listing
                       of each drive and root answers, newest first. Options
                       go before or after PATTERN; after -- a PATTERN that
                       begins with - is plain
  --export FORMAT LISTING
                       print the listing kept in the list folder LISTING (or
                       the latest of the drive it names) in a format other
                       programs read: "paths", each entry's full path a
                       line, folders ending with / (with -0 ended by NUL, a
                       CR or LF in a name as itself);
                       "csv" (RFC 4180), type, size, time (where the listing
                       has details) and path; "ncdu", the JSON export that
                       ncdu -f and gdu -f read (disk usage: the blocks kept
                       with --details, else the size rounded up to 4 KiB);
                       "qdirstat", the cache file QDirStat and K4DirStat read
                       (qdirstat --cache; a listing saved with --details),
                       a D line per folder, then its files; "sums" (a listing
                       saved with --hash),
                       "HASH  PATH" lines, the path under the root, that
                       xxhsum -c or sha256sum -c verify there (for xxh3 a
                       name holding a CR, LF or backslash is left out, named
                       on stderr; sha256sum's escapes otherwise)
  --verify LISTING     read again each file LISTING hashed, where its drive
                       is mounted now (or below --root DIR), and print in
                       listing order "!" for a file whose content differs
                       while its size and time are as listed (damaged), "~"
                       with s and m for one whose size or time changed, "~t"
                       for one no longer a regular file, "-" for one gone,
                       each with a tab and its path
  --root DIR           with --verify: the folder the listing's root is now
  --duplicates [FOLDER]...
                       print the files held more than once in the kept
                       listings saved with --hash (found as --find finds
                       them), from their hashes, no drive read: groups of
                       files of the same size and hash, the largest waste
                       first, each a line "SIZE<tab>HASH<tab>COPIES<tab>
                       WASTE" (the bytes the copies after the first take),
                       then a line per copy, its list folder, a tab and its
                       path, the copy to keep first (the newest listing's),
                       and an empty line. A hard link of a copy is one copy,
                       its other names on lines of their own beginning
                       "=<tab>". A folder all of whose names, files and
                       subfolders are another's is one group of folders
                       (paths ending with /; "folders of N files" in place of
                       the hash), not a group for each file below it. The
                       groups, copies and bytes that could be freed are said
                       on stderr; a listing without hashes, or hashed with
                       the other algorithm, is named there and left out
  --only-in LISTING [FOLDER]...
                       print the regular files of LISTING whose content is in
                       no other kept listing (of another drive or folder):
                       what is not backed up anywhere, "SIZE<tab>PATH" in
                       listing order and "SIZE<tab>total" last, as du -c
  --also-in LISTING [FOLDER]...
                       the same for the files whose content is elsewhere too
  --min-size SIZE      with --duplicates, --only-in, --also-in: files smaller
                       than SIZE (4096, 100k, 10M, 1G) are left out (default
                       1: empty files free nothing; 0 takes them)
  --sizes LISTING [PATH]
                       print the disk usage of each folder of the listing
                       LISTING (saved with --details) below PATH (as the
                       listing writes it; default its root) as du prints it,
                       from the listing alone (the drive may be unplugged):
                       "SIZE<tab>PATH", each folder after the folders below
                       it, PATH last; SIZE in KiB of the blocks allocated. A
                       folder counts each hard link it holds (as du -l), the
                       listing's root each file once (as du)
  -d, --max-depth N    with --sizes: print the folders N levels below PATH at
                       most (0: PATH alone)
  --apparent-size      with --sizes: sizes, not blocks (in KiB)
  -b, --bytes          with --sizes: sizes in bytes (--apparent-size)
  --sort=size|name     with --sizes: the largest first, or by path
  --listings [FOLDER]...
                       one line per kept listing in each FOLDER (default as
                       for --find), newest first, tab-separated: the drive
                       (label, else model, else device), the root, when it
                       was saved (UTC), its lines, complete or not (and
                       why), the drive's size and free space then, the
                       listing's size on disk, details or not, the drive's
                       note, and the list folder
  --note LISTING TEXT  keep TEXT ("shelf 3, blue box") as the note of the
                       drive LISTING is of, shown by --listings, --find
                       --where and the windows
  --forget LISTING     remove the kept listing LISTING whole (its record
                       first, under its lock); a catalogue's place goes with
                       its last listing
  -b, --basename       with --find: match the entry's name only
  -i, --ignore-case    with --find: the letters A-Z and a-z match each other
  -0, --null           with --find, --duplicates, --only-in, --also-in,
                       --sizes or --export paths: end each line with NUL,
                       not a newline, and give a CR or LF in a name back as
                       itself (ready for xargs -0)
  -c, --count          with --find: print only how many entries match (with
                       --duplicates how many groups, with --only-in how many
                       files)
  -l, --limit N        with --find: stop after N matches (0: no limit)
  --all                with --find (or --duplicates, --only-in, --also-in):
                       search every listing, not only the newest of each
                       drive and root
  --where              with --find: the list folder, when its Save ended
                       (UTC) and the drive's note (see --note), each with a
                       tab, before each path
  --long               with --find: as --where, then type, size and time
                       (from listings saved with --details), each with a tab
  -h, --human-readable with --find --long, --duplicates, --only-in, --also-in,
                       --sizes: sizes as 1.5K, 23M, 4.0G
  --size [+|-]N[k|M|G|T]
                       with --find: files of more (+), less (-) or about N
                       bytes (k, M, G, T: 1024, 1024^2, ...), rounded up to
                       the unit (from listings saved with --details)
  --newer DATE, --older DATE
                       with --find: entries modified after or before DATE
                       (2026-12-09, 2026-12-09 14:30: local time; a final Z:
                       UTC), from listings saved with --details
  --type f|d|l         with --find: files, folders or links only (likewise)
  -h, --help           show this help and end (-h with --find, --sizes and
                       the questions of copies: see above)
  -V, --version        show the version and end
  --                   end the options: what follows is the folder
The window also takes the toolkit's own options, such as -style NAME and
-platform NAME. Without a display to open it on (none named by -platform,
QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY, or one that does not answer) it
says so on stderr and exits 2.

Where the list files go: DIR when --list-folder is given. Otherwise --save
keeps them in the catalogue, ~/.local/share/quorvale/catalogue (in
$XDG_DATA_HOME when it is set): a place per drive (by its UUID, else its file
system's id) and folder, named by the drive's label, holding the last two
Saves and "latest". The window writes into the folder that holds the
program, when it is a copy of its own (not installed under /usr, /bin, /sbin
or /opt) and may be written; otherwise into Quorvale in your documents folder
(usually ~/Documents/Quorvale), created when needed.

Files:
  ListTex<n>.txt       the list files, 32000 lines each (CR LF)
  ListTex<n>.tsv       with --details: type, size, time and path, line for line
  quorvale-listing.json
                       the record a Save writes after its last list file: its
                       root, times, host and drive, which list files are its
                       own, its line count, whether it is complete, the
                       folders denied or left out, the options and the user.
                       An earlier record is renamed
                       quorvale-listing.previous.json first. Names that are
                       not UTF-8 keep their bytes: each stray byte XX is
                       written \udcXX
  quorvale-index.bin   the index --find and --reuse read, written before the
                       record (an earlier one is renamed
                       quorvale-index.previous.bin)
  quorvale-hashes.bin, quorvale-hashes-by-size.bin
                       with --hash: each hashed file's entry, size, identity,
                       times and hash, in listing order and by size and hash
  quorvale-sizes.bin   with --details: each entry's size, blocks, links and
                       time, and each folder's totals, for --sizes

Exit status:
  --save: 0 the listing is complete; 1 it was written, but some folders were
  denied or left incomplete, or with --hash some files got no hash (each
  named on stderr with its reason); 2 the Save or its output failed, or the
  command line is wrong; 130 stopped by SIGINT,
  143 by SIGTERM, 129 by SIGHUP, 141 when the reader of the output went away.
  --compare: 0 the listings are equal, 1 they differ, 2 a folder holds no
  record or its list files are not the ones it describes.
  --find: 0 something matched, 1 nothing did, 2 a FOLDER given could not be
  read or no listing could (each folder or listing that cannot be read is
  named on stderr).
  --listings, --note, --forget: 0 done, 2 a listing or folder could not be
  read or changed.
  --export: 0 written, 2 the listing could not be read or the format is not
  one of these.
  --verify: 0 every hashed file is intact, 1 something was found, 2 something
  could not be verified (said on stderr: a file unreadable, the drive not
  mounted, a listing without hashes).
  --sizes: 0 printed, 2 the listing has no sizes or could not be read, or
  holds no folder PATH.
  --duplicates, --only-in, --also-in: 0 something was found, 1 nothing was, 2
  a FOLDER given or a listing could not be read, or no listing has hashes.

Examples:
  A catalogue of three drives, and where a file is, plugged in or not:
    quorvale --save /media/alice/PHOTOS
    quorvale --save /media/alice/BACKUP
    quorvale --save ~/odd
    quorvale --find -i holiday

  quorvale --save /srv/share --list-folder /var/backups/listing

  A nightly catalogue of a share, reusing yesterday's listing, and what
  changed since:
    today=/var/backups/listing/$(date +%F)
    yesterday=/var/backups/listing/$(date -d yesterday +%F)
    quorvale --save /srv/share --list-folder "$today" -x --reuse "$yesterday"
    quorvale --compare "$yesterday" "$today"

  Prove that a backup drive still holds the bytes it held:
    quorvale --save /media/alice/BACKUP --hash
    quorvale --verify BACKUP

  What is held twice across the drives, and what only one holds:
    quorvale --duplicates --min-size 10M -h
    quorvale --only-in PHOTOS

  Where the space went on a drive in a drawer:
    quorvale --save /media/alice/BACKUP --details
    quorvale --sizes BACKUP -d 1 -h --sort=size

  Where is that file, on every drive listed:
    quorvale -i -b --find 'holiday*.jpg' ~/catalogue

See also:
  find(1), locate(1), plocate(1), du(1), ncdu(1), jdupes(1)
)";
}

}  // namespace quorvale::app
