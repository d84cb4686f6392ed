#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, where they are missing; never removes any.
#   program  building and running the program (and its manual page)
#   package  making the Debian package
#   test     the test suite (GoogleTest, a virtual X server, its utilities and a window manager,
#            the validators, lintian, clang-format and clang-tidy, ncdu, Python and xxhsum,
#            which read the exports back, and jdupes, whose groups of copies the program's are
#            checked against)
#   bench    the tools the benchmark times the Save beside (bfs, fd, GNU time), the finder a
#            search is timed beside (plocate), the slow medium (libfuse3), zstd, which reads
#            two builds' indexes back to compare them, and the hashers a Save with hashes is timed
#            beside (xxhsum, b3sum, rhash), the finders of copies its groups are timed beside
#            (rmlint, jdupes), and the disk-usage tools folder totals are timed beside (duc, gdu)
# Usage: tools/deps.sh PURPOSE...
set -euo pipefail
declare -A needs=(
  [program]="g++ cmake ninja-build qt6-base-dev libzstd-dev libblkid-dev libxxhash-dev libssl-dev
             fonts-dejavu-core help2man"
  [package]="dpkg-dev file"
  [test]="libgtest-dev xvfb xauth xdotool x11-utils openbox findutils util-linux dpkg-dev file
          desktop-file-utils appstream lintian man-db clang-format clang-tidy ncdu python3
          xdg-utils xxhash jdupes"
  [bench]="bfs fd-find time bc findutils plocate libfuse3-dev fuse3 pkg-config zstd xxhash b3sum
          rhash rmlint jdupes duc gdu"
)
packages=()
for purpose in "$@"; do
  [ -n "${needs[$purpose]:-}" ] || { echo "tools/deps.sh: unknown purpose '$purpose'" >&2; exit 2; }
  read -r -a more <<<"$(echo ${needs[$purpose]})"
  packages+=("${more[@]}")
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
