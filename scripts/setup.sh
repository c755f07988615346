#!/usr/bin/env bash
# Installs the Debian packages that are missing, then configures and builds into build/.
# Usage: scripts/setup.sh [extra packages...]   (BUILD_TYPE=Debug to change the build type;
# BUILD_TARGET=name builds only that target)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(cmake g++ make pkgconf zlib1g-dev qt6-base-dev qt6-svg-dev qt6-qpa-plugins qt6-translations-l10n
  libdcmtk-dev libdcmtk17 libsystemd-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" >/dev/null
cmake --build "$root/build" -j"$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
