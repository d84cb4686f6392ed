# Shell helpers for the tests that drive the real program in an X server (sourced, not run).
# They wait on what they look for, with bounds generous enough for a machine busy with other builds.

# Runs COMMAND... every 50 ms until it succeeds (status 0) or SECONDS have passed (status 1).
wait_until() {
  local seconds="$1"
  shift
  local deadline=$(( $(date +%s%N) + seconds * 1000000000 ))
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s%N)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# Prints the id of the first shown window whose title matches REGEX, waiting up to a minute;
# prints nothing if none appears.
wait_for_window() {
  local regex="$1" window="" deadline=$(( $(date +%s%N) + 60 * 1000000000 ))
  while [ "$(date +%s%N)" -lt "$deadline" ]; do
    window=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n 1) &&
      [ -n "$window" ] && break
    sleep 0.1
  done
  echo "$window"
}
