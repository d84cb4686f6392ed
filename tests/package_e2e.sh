#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks its files and dependencies, runs lintian
# on it (any error or warning fails), and reads the manual page it holds. As root it then starts
# the packaged `quorvale DIR`, unpacked into a scratch folder (never installed: an installed
# Quorvale, if any, is left as it was), under a virtual X server as the unprivileged user "nobody",
# clicks Save, and expects whole list files in that user's documents folder. Skips (77) without
# dpkg.
set -euo pipefail
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null ||
  { echo "skipped: dpkg-dev is not installed"; exit 77; }
work=$(mktemp -d)
chmod 755 "$work"
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

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/quorvale_*.deb)
dpkg-deb -x "$deb" "$work/root"
for file in usr/bin/quorvale usr/libexec/quorvale/quorvale-window \
            usr/share/applications/quorvale.desktop \
            usr/share/metainfo/io.github.quorvale.Quorvale.metainfo.xml \
            usr/share/icons/hicolor/48x48/apps/quorvale.png \
            usr/share/man/man1/quorvale.1.gz usr/share/doc/quorvale/copyright \
            usr/share/doc/quorvale/changelog.gz; do
  [ -f "$work/root/$file" ] || { echo "not in the package: /$file"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libqt6widgets6' || { echo "Qt is missing from Depends"; exit 1; }

# The manual page says what --help says, exit statuses included.
manual=$(man -l "$work/root/usr/share/man/man1/quorvale.1.gz" 2>/dev/null | col -b)
for part in "--save" "--list-folder" "32000" "Exit status" "Example"; do
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
chmod -R go-w "$work/root"
mkdir -p "$work/home" "$work/tree/sub"
echo x >"$work/tree/a"
echo y >"$work/tree/sub/b"
chown -R nobody "$work/home"
IN_XVFB=1 "$here/with_xvfb.sh" bash -c '
  set -euo pipefail
  work="$1"
  setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/home" \
    XDG_RUNTIME_DIR= "$work/root/usr/bin/quorvale" "$work/tree" >/dev/null 2>&1 &
  pid=$!
  . "$2/x_window.sh"
  window=$(wait_for_window "Quorvale In")
  [ -n "$window" ] || { echo "no window with the folder chosen"; kill $pid; exit 1; }
  sleep 0.3
  xdotool mousemove --window "$window" 296 244 click 1   # Save
  list="$work/home/Documents/Quorvale/ListTex1.txt"
  for _ in $(seq 100); do [ -f "$list" ] && break; sleep 0.1; done
  xdotool mousemove --window "$window" 190 244 click 1   # Exit
  for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  kill $pid 2>/dev/null || true
  [ -f "$list" ] || { echo "no list file in the documents folder"; exit 1; }
  printf "%s\r\n\t%s\r\n\t\ta\r\n\t%s/sub\r\n\t\tb\r\n" "$work/tree" "$work/tree" "$work/tree" |
    cmp - "$list"
  echo "packaged program saved $list"
' _ "$work" "$here"
