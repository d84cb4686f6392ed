#!/usr/bin/env bash
# tools/test.sh runs its three halves whatever each did and ends with a summary: three fake halves,
# the first failing half-way, show that every half runs, that a failing command ends its own half
# only, and that the summary and the status say so; and tools/test.sh runs its halves that way.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
fail() { echo "FAIL: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cat >"$scratch/suite.sh" <<FAKE
. "$source_dir/tools/run_halves.sh"
first() { echo first-ran; false; echo first-went-on; }
second() { echo second-ran; }
run_halves plain first sanitizers "exit 3" threads second
FAKE
status=0
bash "$scratch/suite.sh" >"$scratch/out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "a failed half gives status $status, not 1"
grep -q first-ran "$scratch/out" || fail "the first half did not run"
grep -q first-went-on "$scratch/out" && fail "a half went on after a failed command"
grep -q second-ran "$scratch/out" || fail "the last half did not run after two failed"
summary=$(sed -n '/^=== Summary$/,$p' "$scratch/out")
grep -Eq '^plain +FAILED \(status 1\) +[0-9]+ s$' <<<"$summary" || fail "summary: $summary"
grep -Eq '^sanitizers +FAILED \(status 3\) +[0-9]+ s$' <<<"$summary" || fail "summary: $summary"
grep -Eq '^threads +passed +[0-9]+ s$' <<<"$summary" || fail "summary: $summary"
grep -Eq '^all +FAILED +[0-9]+ s$' <<<"$summary" || fail "summary: $summary"

echo '. "'"$source_dir"'/tools/run_halves.sh"; run_halves one true two true' >"$scratch/green.sh"
bash "$scratch/green.sh" | grep -Eq '^all +passed' || fail "all halves passed, but not said so"

# A half's ctest: told to fail when it finds no test, and failed when a test leaves anything in
# the temporary folder it was given (a fake ctest stands in for the real one).
mkdir "$scratch/bin"
cat >"$scratch/bin/ctest" <<'FAKE'
#!/bin/sh
echo "$@" >"$FAKE_ARGS"
[ -n "$FAKE_LEAVE" ] && touch "$TMPDIR/$FAKE_LEAVE"
exit 0
FAKE
chmod +x "$scratch/bin/ctest"
run_ctest() {
  PATH="$scratch/bin:$PATH" FAKE_ARGS="$scratch/args" FAKE_LEAVE="$1" \
    bash -c '. "$1/tools/run_halves.sh"; ctest_leaving_nothing some-build' _ "$source_dir"
}
run_ctest "" >"$scratch/clean" || fail "a clean ctest failed its half"
grep -q -- "--no-tests=error" "$scratch/args" || fail "ctest is not told to fail on no test"
status=0
run_ctest runtime-root >"$scratch/left" || status=$?
[ "$status" = 1 ] || fail "a test leaving runtime-root gives status $status, not 1"
grep -q "runtime-root" "$scratch/left" || fail "what was left is not named"
for half in plain sanitizers threads; do
  sed -n "/^$half() {/,/^}/p" "$source_dir/tools/test.sh" | grep -q ctest_leaving_nothing ||
    fail "the $half half runs ctest otherwise"
done
grep -q "halt_on_error=1" "$source_dir/tools/test.sh" || fail "a sanitizer's report may not fail"

# The README's test command runs its three halves through run_halves, as its last command.
last=$(grep -v '^\s*$' "$source_dir/tools/test.sh" | tail -n 1)
[ "$last" = "run_halves plain plain sanitizers sanitizers threads threads" ] ||
  fail "tools/test.sh ends with: $last"
echo "every half runs; the summary says how each went"
