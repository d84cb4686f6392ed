#!/usr/bin/env bash
# The commit-msg hook takes a good message and refuses a long subject, a missing blank line and an
# empty subject.
set -euo pipefail
hook="$(cd "$(dirname "$0")/.." && pwd)/tools/hooks/commit-msg"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
check() {  # check WANTED MESSAGE
  printf '%b' "$2" > "$work/message"
  if bash "$hook" "$work/message" 2>/dev/null; then got=ok; else got=refused; fi
  [ "$got" = "$1" ] || { echo "expected $1, got $got: $2"; exit 1; }
}
check ok 'Split the index by job\n\nWhy it was split.\n'
check ok 'Fix a typo\n'
check ok "$(printf 'x%.0s' $(seq 72))\n"
check refused "$(printf 'x%.0s' $(seq 73))\n"
check refused 'Split the index\nWhy, on the second line.\n'
check refused '\n\nA body without a subject\n'
check ok '# a comment git drops\nÉcrire les noms tels quels, octets et accents, sans rien couper ici\n'
echo "the commit-msg hook keeps subjects of 72 characters and a blank line before the why"
