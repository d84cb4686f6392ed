#!/usr/bin/env bash
# Runs a command in an X server of its own: Xvfb picks a free display itself (-displayfd) and
# tells it back, so tests that start at once never race for the same display. The command gets a
# runtime folder of its own (XDG_RUNTIME_DIR), removed at the end with the rest.
#   with_xvfb.sh COMMAND [ARG...]
set -euo pipefail
scratch=$(mktemp -d)
fifo="$scratch/display"
mkfifo "$fifo"
mkdir -m 0700 "$scratch/runtime"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -rf "$scratch"' EXIT
display=""
read -r -t 120 display <"$fifo" || true
if [ -z "$display" ]; then
  echo "Xvfb did not start"
  exit 1
fi
export DISPLAY=":$display" XDG_RUNTIME_DIR="$scratch/runtime"
unset QT_QPA_PLATFORM
"$@"
