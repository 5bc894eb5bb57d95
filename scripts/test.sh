#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$@"
cd "$root/build"
"$root/scripts/isolated" ctest --output-on-failure -j "$(nproc)"
