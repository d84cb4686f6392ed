#!/usr/bin/env bash
# Installs the Debian packages the build, the program and its tests need, where they are missing.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev qt6-base-dev
          fonts-dejavu-core xvfb xauth xdotool openbox findutils util-linux
          dpkg-dev file desktop-file-utils appstream)
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
