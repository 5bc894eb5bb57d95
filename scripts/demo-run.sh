#!/usr/bin/env bash
# The demo itself, run inside its own network namespace by demo.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin="$root/build/bin"
QT_QPA_PLATFORM=offscreen "$bin/traybridge" &
tb=$!
trap 'kill $tb 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    if python3 - <<'PY' 2>/dev/null; then break; fi
import socket
s = socket.create_connection(("127.0.0.1", 20837), timeout=1)
s.sendall(b"MSG_PING_SYSTRAY_GUI")
print("traybridge answered:", s.recv(100).decode())
PY
    sleep 0.2
done
