#!/usr/bin/env bash
# Makes the Debian package as the README says, with tools/package.sh (--no-deps: the suite never
# installs), in a scratch copy of the source tree in a 0700 folder, as a fresh clone holds it; checks
# its files and dependencies, runs lintian on it (any error or warning fails), and reads the manual
# page it holds. As root it then starts
# the packaged `quorvale DIR`, unpacked into a scratch folder (never installed: an installed
# Quorvale, if any, is left as it was), under a virtual X server as the unprivileged user "nobody",
# clicks Save, and expects whole list files in that user's documents folder. Skips (77) without
# dpkg.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null ||
  { echo "skipped: dpkg-dev is not installed"; exit 77; }
work=$(mktemp -d)
# What the tools below leave in their temporary folder (lintian does) goes with the rest.
mkdir "$work/tmp"
export TMPDIR="$work/tmp"
# An installed Quorvale, or none, is as it was when the test ends.
installed() { dpkg-query -W -f='${Status} ${Version}' quorvale 2>/dev/null || true; }
before=$(installed)
finish() {
  local status=$?
  rm -rf "$work"
  if [ "$(installed)" != "$before" ]; then
    echo "the installed Quorvale changed: was '$before', is '$(installed)'"; exit 1
  fi
  exit $status
}
trap finish EXIT

# The tree as a clone holds it: the files git knows, with the changes not yet committed, and no
# build folder.
mkdir -m 0700 "$work/clone"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _ |
    tar --null -T - -c) | tar -x -C "$work/clone"
else
  tar -C "$source_dir" --exclude='./build*' -c . | tar -x -C "$work/clone"
fi
log="$work/package.log"
bash "$work/clone/tools/package.sh" --no-deps >"$log" 2>&1 ||
  { tail -n 30 "$log"; echo "tools/package.sh --no-deps failed"; exit 1; }
deb=$(ls "$work"/clone/build-package/quorvale_*.deb)
echo "tools/package.sh made $(basename "$deb")"
# The packaged run below is another user's: the unpacked package must be reachable.
mkdir -m 0755 "$work/run"
dpkg-deb -x "$deb" "$work/run/root"
for file in usr/bin/quorvale usr/libexec/quorvale/quorvale-window \
            usr/share/applications/quorvale.desktop \
            usr/share/metainfo/io.github.quorvale.Quorvale.metainfo.xml \
            usr/share/icons/hicolor/48x48/apps/quorvale.png \
            usr/share/man/man1/quorvale.1.gz usr/share/doc/quorvale/copyright \
            usr/share/doc/quorvale/changelog.gz; do
  [ -f "$work/run/root/$file" ] || { echo "not in the package: /$file"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libqt6widgets6' || { echo "Qt is missing from Depends"; exit 1; }
# The program loads libcrypto only when it hashes with SHA-256, and libblkid only when it probes a
# drive, so no linked library brings them into Depends: the package names them itself.
for library in libssl3 libblkid1; do
  echo "$depends" | grep -q "$library" || { echo "$library is missing from Depends"; exit 1; }
done

# The manual page says what --help says, exit statuses included.
manual=$(man -l "$work/run/root/usr/share/man/man1/quorvale.1.gz" 2>/dev/null | col -b)
for part in "--save" "--list-folder" "32000" "EXIT STATUS" "EXAMPLES" "--reuse"; do
  grep -qF -- "$part" <<<"$manual" || { echo "the manual page lacks: $part"; exit 1; }
done
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" ||
    { echo "lintian reports errors or warnings"; exit 1; }
else
  echo "lintian is not installed"; exit 1
fi

[ "$(id -u)" = 0 ] || { echo "package checked; the packaged run needs root"; exit 0; }
# Only "nobody" may run the unpacked program: a copy outside /usr writes beside itself when it
# may, so its folder stays root's.
chmod -R go-w "$work/run/root"
chmod 0755 "$work"
mkdir -p "$work/run/home" "$work/run/tree/sub" "$work/run/xdg"
echo x >"$work/run/tree/a"
echo y >"$work/run/tree/sub/b"
chown -R nobody "$work/run/home" "$work/run/xdg"
chmod 0700 "$work/run/xdg"
IN_XVFB=1 "$here/with_xvfb.sh" bash -c '
  set -euo pipefail
  run="$1"
  setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$run/home" \
    XDG_RUNTIME_DIR="$run/xdg" "$run/root/usr/bin/quorvale" "$run/tree" >/dev/null 2>&1 &
  pid=$!
  . "$2/x_window.sh"
  window=$(wait_for_window "Quorvale In")
  [ -n "$window" ] || { echo "no window with the folder chosen"; kill $pid; exit 1; }
  xdotool mousemove --window "$window" 296 244 click 1   # Save
  list="$run/home/Documents/Quorvale/ListTex1.txt"
  wait_until 60 test -f "$list" || true
  xdotool mousemove --window "$window" 190 244 click 1   # Exit
  wait_until 60 bash -c "! kill -0 $pid 2>/dev/null" || true
  kill $pid 2>/dev/null || true
  [ -f "$list" ] || { echo "no list file in the documents folder"; exit 1; }
  printf "%s\r\n\t%s\r\n\t\ta\r\n\t%s/sub\r\n\t\tb\r\n" "$run/tree" "$run/tree" "$run/tree" |
    cmp - "$list"
  echo "packaged program saved $list"
' _ "$work/run" "$here"
