#!/usr/bin/env bash
# Installs what is missing, builds everything the package holds (the programs, the manual page,
# the changelog) and makes the Debian package in build-package/.
#   tools/package.sh [--no-deps]   --no-deps: install nothing (the suite's package test)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "") bash tools/deps.sh program package ;;
  --no-deps) ;;
  *) echo "tools/package.sh: unknown option '$1' (only --no-deps)" >&2; exit 2 ;;
esac
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build-package
(cd build-package && cpack -G DEB)
ls build-package/quorvale_*.deb
