# Shell helpers for the tests that drive the real program in an X server (sourced, not run).

# Prints the id of the first window whose title matches REGEX, waiting up to ten seconds;
# prints nothing if none appears.
wait_for_window() {
  local regex="$1" window=""
  for _ in $(seq 100); do
    window=$(xdotool search --name "$regex" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
  done
  echo "$window"
}
