#!/usr/bin/env bash
# Sets up what is missing, builds the program (only the program: scripts/test.sh builds the
# tests, tools and benchmark), and starts the window.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The window needs a desktop session; without one Qt would abort with a core dump.
if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "scripts/run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "institution-stamp is a desktop program: run this from a terminal inside a desktop session" >&2
  echo "(or over ssh -X), or set QT_QPA_PLATFORM (for example offscreen) to run it without one." >&2
  exit 1
fi
BUILD_TARGET=institution-stamp "$root/scripts/setup.sh"
exec "$root/build/bin/institution-stamp" "$@"
