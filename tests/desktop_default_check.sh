#!/usr/bin/env bash
# Quorvale is offered for folders ("Open With") but never becomes the folder handler while a file
# manager is installed: in scratch XDG folders holding a sample file manager's entry and the
# installed entries, `xdg-mime query default inode/directory` names the file manager, with and
# without Quorvale's; with no file manager at all, Quorvale's folder entry opens folders.
# Skips (77) without xdg-utils and desktop-file-utils.
set -euo pipefail
build="$1"
for tool in xdg-mime update-desktop-database; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
installed="$work/root/usr/share/applications"
default() {  # the default folder handler with the entries in $1
  update-desktop-database "$1/applications"
  env -u XDG_CURRENT_DESKTOP -u XDG_MENU_PREFIX -u DESKTOP_SESSION -u KDE_FULL_SESSION \
      -u GNOME_DESKTOP_SESSION_ID XDG_DATA_DIRS="$1" XDG_DATA_HOME="$work/home" \
      XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/config-dirs" \
      xdg-mime query default inode/directory
}
for manager in org.gnome.Nautilus thunar Thunar pcmanfm-qt org.kde.dolphin nemo caja \
               io.elementary.files spacefm xfe; do
  data="$work/$manager"
  mkdir -p "$data/applications"
  printf '[Desktop Entry]\nType=Application\nName=Files\nExec=%s %%U\nMimeType=inode/directory;\n' \
    "$manager" > "$data/applications/$manager.desktop"
  alone=$(default "$data")
  cp "$installed"/*.desktop "$data/applications/"
  beside=$(default "$data")
  grep -q "zz-quorvale-folder.desktop" "$data/applications/mimeinfo.cache" ||
    { echo "Quorvale is not offered for folders beside $manager"; exit 1; }
  [ "$alone" = "$manager.desktop" ] && [ "$beside" = "$manager.desktop" ] ||
    { echo "beside $manager the folder handler is '$beside' (alone: '$alone')"; exit 1; }
done
mkdir -p "$work/none/applications"
cp "$installed"/*.desktop "$work/none/applications/"
[ "$(default "$work/none")" = "zz-quorvale-folder.desktop" ] ||
  { echo "with no file manager, folders should open in Quorvale"; exit 1; }
echo "Quorvale is offered for folders and never the folder handler beside a file manager"
