#!/usr/bin/env bash
# Installs what is missing, builds the program and makes its Debian package in build-package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh program package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build-package --target quorvale
(cd build-package && cpack -G DEB)
ls build-package/quorvale_*.deb
