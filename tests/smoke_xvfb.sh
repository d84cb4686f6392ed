#!/usr/bin/env bash
# Starts the real program in a virtual X server, waits for a window titled " Quorvale", clicks its
# Exit button and expects the program to end by itself, within a few seconds, with status 0.
set -euo pipefail
. "$(dirname "$0")/x_window.sh"
program="$1"
[ -n "${IN_XVFB:-}" ] || IN_XVFB=1 exec "$(dirname "$0")/with_xvfb.sh" "$0" "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The program writes its list files next to itself: run a copy in a folder of its own.
# The window is a program of its own beside it.
cp "$program" "$work/quorvale" && cp "$(dirname "$program")/quorvale-window" "$work/"
unset QT_QPA_PLATFORM
"$work/quorvale" &
pid=$!

window=$(wait_for_window '^ Quorvale$')
if [ -z "$window" ]; then
  echo "no window titled ' Quorvale' appeared"
  kill "$pid" 2>/dev/null || true
  exit 1
fi
echo "window $window: $(xdotool getwindowname "$window" | sed 's/^/"/; s/$/"/')"

# Exit sits at 152,232 (81 x 25 pixels) in the window.
sleep 0.5
xdotool mousemove --window "$window" 190 244 click 1

for _ in $(seq 50); do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    status=$?
    echo "the program ended with status $status"
    exit "$status"
  fi
  sleep 0.1
done
echo "the program did not end within 5 seconds of Exit"
kill "$pid" 2>/dev/null || true
exit 1
