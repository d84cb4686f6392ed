#!/usr/bin/env bash
# Starts the real program in a virtual X server, under the openbox window manager or under none,
# clicks Exit, records every move and resize the X server reports while it closes, and expects it to have
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
  # openbox manages the screen once it names itself on the root window.
  wait_until 60 bash -c 'xprop -root -notype _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
    { echo "openbox did not start"; exit 1; }
fi
# The window is a program of its own beside it.
cp "$program" "$work/quorvale" && cp "$(dirname "$program")/quorvale-window" "$work/"
"$work/quorvale" >/dev/null 2>&1 &
pid=$!
pids+=($pid)

window=$(wait_for_window '^ Quorvale$')
[ -n "$window" ] || { echo "no window titled ' Quorvale' appeared"; exit 1; }
# Every move and resize of a top-level window (the frame under openbox, the window itself under
# none) as the X server reports it, in order: nothing is missed however busy the machine is. A
# property set on the root window marks where the watching starts and where it ends.
xev -root -event substructure -event property >"$work/events" 2>/dev/null &
pids+=($!)
marks() { grep -c PropertyNotify "$work/events" || true; }
# The first mark may come before xev listens: mark until it is seen.
wait_until 60 bash -c "xprop -root -format _QUORVALE_TEST_MARK 8s -set _QUORVALE_TEST_MARK start &&
  grep -q PropertyNotify '$work/events'" || { echo "xev did not start"; exit 1; }
xdotool mousemove --window "$window" 190 244 click 1
start=$(date +%s%N)
wait_until 60 bash -c "! kill -0 $pid 2>/dev/null" ||
  { echo "the program did not end within a minute of Exit"; exit 1; }
wait "$pid" && status=0 || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
# The program's last requests reached the server before it ended: the end mark comes after them.
seen=$(marks)
xprop -root -format _QUORVALE_TEST_MARK 8s -set _QUORVALE_TEST_MARK end
wait_until 60 bash -c "[ \$(grep -c PropertyNotify '$work/events') -gt $seen ]" ||
  { echo "xev did not see the end mark"; exit 1; }
# For each window: its first place and width, its narrowest width and lowest top.
read -r samples startWidth minWidth startY maxY < <(awk '
  /^ConfigureNotify event/ { getline; if (match($0, /window 0x[0-9a-f]+, \(-?[0-9]+,-?[0-9]+\), width [0-9]+/)) {
      split(substr($0, RSTART, RLENGTH), f, /[ ,()]+/)
      id = f[2]; y = f[4] + 0; w = f[6] + 0
      if (!(id in first)) { first[id] = w; top[id] = y; narrow[id] = w; low[id] = y; n[id] = 0 }
      n[id]++; if (w < narrow[id]) narrow[id] = w; if (y > low[id]) low[id] = y
  } }
  END { best = ""; for (id in n) if (best == "" || low[id] - top[id] > low[best] - top[best]) best = id
        if (best == "") print 0, 0, 0, 0, 0
        else print n[best], first[best], narrow[best], top[best], low[best] }' "$work/events")
echo "$manager: width $startWidth -> $minWidth px, top $startY -> $maxY px, $samples moves," \
     "ended after $elapsed ms with status $status"
[ "$status" = 0 ] || { echo "the program ended with status $status"; exit 1; }
[ "$minWidth" -le 48 ] || { echo "the window did not shrink to a few dozen pixels"; exit 1; }
[ $((maxY - startY)) -ge 300 ] || { echo "the window did not slide down by hundreds of pixels"; exit 1; }
[ "$elapsed" -le 3000 ] || { echo "the sequence took longer than its bound"; exit 1; }
