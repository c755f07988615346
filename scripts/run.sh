#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the window.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
exec "$root/build/bin/institution-stamp" "$@"
