#!/usr/bin/env bash
# Sets up what is missing (DCMTK's command-line peers included), builds, runs every test.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" dcmtk
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@"
