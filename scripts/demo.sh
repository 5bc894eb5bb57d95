#!/usr/bin/env bash
# Installs what is missing, builds, starts traybridge and talks to it as the plug-in would.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
exec "$root/scripts/isolated" "$root/scripts/demo-run.sh"
