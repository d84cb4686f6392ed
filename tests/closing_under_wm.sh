#!/usr/bin/env bash
# Starts the real program in a virtual X server, under the openbox window manager or under none,
# clicks Exit, samples the window's geometry every 20 ms while it closes, and expects it to have
# shrunk to a few dozen pixels wide, moved down by hundreds of pixels, and the program to have
# ended within the sequence's bound.
#   closing_under_wm.sh PROGRAM openbox|none
set -euo pipefail
. "$(dirname "$0")/x_window.sh"
program="$1"
manager="$2"
[ -n "${IN_XVFB:-}" ] || IN_XVFB=1 exec "$(dirname "$0")/with_xvfb.sh" "$0" "$@"

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
if [ "$manager" = openbox ]; then
  command -v openbox >/dev/null || { echo "skipped: openbox is not installed"; exit 77; }
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
fi
# The window is a program of its own beside it.
cp "$program" "$work/quorvale" && cp "$(dirname "$program")/quorvale-window" "$work/"
"$work/quorvale" >/dev/null 2>&1 &
pid=$!
pids+=($pid)

window=$(wait_for_window '^ Quorvale$')
[ -n "$window" ] || { echo "no window titled ' Quorvale' appeared"; exit 1; }
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$window")"
startY=$Y
startWidth=$WIDTH
minWidth=$WIDTH
maxY=$Y
xdotool mousemove --window "$window" 190 244 click 1
start=$(date +%s%N)
samples=0
while kill -0 "$pid" 2>/dev/null; do
  if geometry=$(xdotool getwindowgeometry --shell "$window" 2>/dev/null); then
    eval "$geometry"
    samples=$((samples + 1))
    [ "$WIDTH" -lt "$minWidth" ] && minWidth=$WIDTH
    [ "$Y" -gt "$maxY" ] && maxY=$Y
  fi
  if [ $(( ($(date +%s%N) - start) / 1000000 )) -gt 5000 ]; then
    echo "the program did not end within 5 seconds of Exit"
    exit 1
  fi
  sleep 0.02
done
wait "$pid" && status=0 || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
echo "$manager: width $startWidth -> $minWidth px, top $startY -> $maxY px, $samples samples," \
     "ended after $elapsed ms with status $status"
[ "$status" = 0 ] || { echo "the program ended with status $status"; exit 1; }
[ "$minWidth" -le 48 ] || { echo "the window did not shrink to a few dozen pixels"; exit 1; }
[ $((maxY - startY)) -ge 300 ] || { echo "the window did not slide down by hundreds of pixels"; exit 1; }
[ "$elapsed" -le 3000 ] || { echo "the sequence took longer than its bound"; exit 1; }
