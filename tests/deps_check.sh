#!/usr/bin/env bash
# "Starting the program never installs test tools, and no step removes a package": runs
# tools/deps.sh for the program's purpose with a package manager that records what it is asked
# (every package reported missing), and checks what tools/run.sh asks for.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
cat > "$scratch/bin/dpkg-query" <<'FAKE'
#!/bin/sh
exit 1
FAKE
cat > "$scratch/bin/apt-get" <<FAKE
#!/bin/sh
echo "\$@" >> "$scratch/asked"
FAKE
chmod +x "$scratch/bin/dpkg-query" "$scratch/bin/apt-get"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Starting the program asks for the program's purpose alone.
purposes=$(grep -o 'deps\.sh [a-z ]*' "$source_dir/tools/run.sh" | sed 's/deps\.sh //' | sort -u)
[ "$purposes" = "program" ] || fail "tools/run.sh asks tools/deps.sh for: $purposes"

PATH="$scratch/bin:$PATH" bash "$source_dir/tools/deps.sh" program > /dev/null
asked=$(cat "$scratch/asked")
grep -q 'install' <<<"$asked" || fail "nothing was installed for the program: $asked"
for tool in libgtest-dev xvfb xdotool openbox lintian appstream desktop-file-utils bfs fd-find; do
  grep -qw -- "$tool" <<<"$asked" && fail "starting the program installs $tool"
done
for purpose in program package test bench; do
  : > "$scratch/asked"
  PATH="$scratch/bin:$PATH" bash "$source_dir/tools/deps.sh" "$purpose" > /dev/null
  grep -Eqw 'remove|purge|autoremove' "$scratch/asked" && fail "tools/deps.sh $purpose removes a package"
done
echo "deps: the program's purpose installs no test tool; no purpose removes a package"
