#!/usr/bin/env bash
# Sets up what is missing (DCMTK's command-line peers included), builds, and runs every test:
# a bounded fuzzing run, the tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# Debian package check, and last the whole suite on the release build (robustness group
# included).
#   scripts/test.sh [ctest arguments...]     (QUICK=1 skips fuzzing, sanitizers and the package)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" dcmtk python3 python3-pydicom iproute2 util-linux procps
if [ -z "${QUICK:-}" ]; then
  "$root/scripts/fuzz.sh" 60
  "$root/scripts/sanitize.sh" asan -E robustness
  # Installs the package, uses it as an ordinary user and purges it again.
  timeout -k 30 1200 "$root/scripts/package-check.sh"
fi
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@"
