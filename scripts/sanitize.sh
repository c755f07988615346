#!/usr/bin/env bash
# Builds with sanitizers and runs the tests under them.
#   scripts/sanitize.sh [asan|tsan] [ctest arguments...]      (default: asan)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
preset="${1:-asan}"
shift || true
"$root/scripts/setup.sh" dcmtk python3 python3-pydicom procps util-linux >/dev/null
cmake --preset "$preset" -S "$root" >/dev/null
cmake --build "$root/build-$preset" -j"$(nproc)"
cd "$root/build-$preset"
# A small quarantine of freed blocks (still catching use after a recent free): the robustness
# checks measure the receiver's own memory returning to idle, which a large one would hide.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:quarantine_size_mb=8" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
# The tests start DCMTK's command-line peers (fork after threads): tolerated here.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$root/tests/sanitizers/tsan.supp"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@"
