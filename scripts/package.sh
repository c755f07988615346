#!/usr/bin/env bash
# Builds the Debian package from this checkout: build/institution-stamp_<version>_amd64.deb
# (the same as `cmake --build build --target package` once the tools are there).
#   scripts/package.sh [extra packages for setup.sh...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# rsvg-convert draws the bitmap icons; dpkg-shlibdeps (dpkg-dev) and file compute the
# dependencies.
"$root/scripts/setup.sh" librsvg2-bin dpkg-dev file "$@"
rm -f "$root"/build/institution-stamp_*.deb
cmake --build "$root/build" --target package
ls "$root"/build/institution-stamp_*_amd64.deb
