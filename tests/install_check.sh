#!/usr/bin/env bash
# Installs the build into a folder of its own and validates the desktop entry and the AppStream
# metadata there, with the freedesktop and AppStream validators. Skips (77) without them.
set -euo pipefail
build="$1"
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
for file in usr/bin/quorvale usr/libexec/quorvale/quorvale-window \
            usr/share/applications/quorvale.desktop usr/share/applications/zz-quorvale-folder.desktop \
            usr/share/metainfo/io.github.quorvale.Quorvale.metainfo.xml \
            usr/share/icons/hicolor/24x24/apps/quorvale.png \
            usr/share/icons/hicolor/256x256/apps/quorvale.png; do
  [ -f "$root/$file" ] || { echo "not installed: /$file"; exit 1; }
done
desktop-file-validate "$root/usr/share/applications/quorvale.desktop"
desktop-file-validate "$root/usr/share/applications/zz-quorvale-folder.desktop"
grep -qx 'Exec=quorvale %f' "$root/usr/share/applications/quorvale.desktop"
grep -qx 'MimeType=inode/directory;' "$root/usr/share/applications/zz-quorvale-folder.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.quorvale.Quorvale.metainfo.xml"
# The manual page, made from --help, has the sections people look for, and every form of the
# command under SYNOPSIS.
manual=$(MANWIDTH=100 man -l "$root/usr/share/man/man1/quorvale.1.gz" 2>/dev/null | col -b)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
  grep -qx "$section" <<<"$manual" || { echo "the manual page has no $section section"; exit 1; }
done
synopsis=$(sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p' <<<"$manual")
for form in "quorvale --save FOLDER" "quorvale --compare OLD NEW" "quorvale --find PATTERN" \
            "quorvale -h | --help | -V | --version"; do
  grep -qF -- "$form" <<<"$synopsis" || { echo "SYNOPSIS lacks: $form"; exit 1; }
done
echo "installed files valid"
