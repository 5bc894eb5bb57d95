#!/usr/bin/env bash
# The demo itself, run inside its own network namespace by demo.sh: starts the
# stand-in web UI and traybridge, sends one prompt as the plug-in would, shows
# the progress and the stored PNG's path.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin="${TB_BIN_DIR:-$root/build/bin}"
logs=$(mktemp -d)
pids=()
cleanup() {
    local rc=$?
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if ((rc)); then
        echo "demo: logs of the web UI and traybridge kept in $logs" >&2
    else
        rm -rf "$logs"
    fi
}
trap cleanup EXIT

python3 "$root/tools/fakewebui/fakewebui.py" --quiet >"$logs/webui.out" 2>"$logs/webui.err" &
pids+=($!)

# traybridge needs a tray, its settings and ctlrunner beside it. A virtual
# display with a tray host, a settings store naming stand-in files, and a copy
# of the program in a folder of its own (start.log lands there).
app="$logs/app"
store="$logs/registry/SOFTWARE/Cinema4DPluginSettings"
mkdir -p "$app" "$store" "$logs/files" "$logs/tmp"
cp "$bin/traybridge" "$bin/ctlrunner" "$app/"
for name in path_python_progress_bar path_python_tcp_server path_qt_systray_gui path_stable_difusson_bat path_python; do
    printf '#!/bin/sh\nexit 0\n' >"$logs/files/$name"
    chmod +x "$logs/files/$name"
    printf '%s' "$logs/files/$name" >"$store/$name"
done
# A display number from a wide range whose socket file is free: the files in
# /tmp/.X11-unix are shared with other network namespaces.
display=""
for _ in $(seq 40); do
    n=$((100 + RANDOM % 5000))
    [[ -e /tmp/.X11-unix/X$n ]] && continue
    Xvfb ":$n" -screen 0 640x240x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
    xvfb=$!
    for _ in $(seq 150); do
        [[ -e /tmp/.X11-unix/X$n ]] && break
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -e /tmp/.X11-unix/X$n ]] && kill -0 "$xvfb" 2>/dev/null; then
        pids+=("$xvfb")
        display=":$n"
        break
    fi
    kill "$xvfb" 2>/dev/null || true
done
[[ -n "$display" ]] || { echo "demo: Xvfb did not start" >&2; exit 1; }
export DISPLAY="$display"
trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetDockType true >"$logs/trayer.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    xwininfo -name panel >/dev/null 2>&1 && break
    sleep 0.1
done
QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS=disabled: TRAYBRIDGE_REGISTRY_ROOT="$logs/registry" \
    TRAYBRIDGE_BOX_LOG="$logs/boxes.log" TMPDIR="$logs/tmp" \
    "$app/traybridge" >"$logs/traybridge.log" 2>&1 &
pids+=($!)

python3 - "$logs" <<'PY'
import base64, json, re, socket, sys, time

logs = sys.argv[1]

def wait_for(what, check, seconds=30):
    end = time.time() + seconds
    while time.time() < end:
        try:
            if check():
                return
        except OSError:
            pass
        time.sleep(0.1)
    sys.exit(f"demo: {what} did not come up")

def webui_up():
    with socket.create_connection(("127.0.0.1", 7860), timeout=2):
        return True

def traybridge_up():
    with socket.create_connection(("127.0.0.1", 20837), timeout=2) as s:
        s.sendall(b"MSG_PING_SYSTRAY_GUI")
        return s.recv(100) == b"MSG_PING_SYSTRAY_GUI"

wait_for("the stand-in web UI", webui_up)
print("stand-in web UI is up on http://127.0.0.1:7860")
wait_for("traybridge", traybridge_up)
print("traybridge answers on port 20837")
PY

prompt="weathered oak planks, seamless texture"
echo "sending prompt: $prompt"
if [[ -x "$bin/plugin-client" ]]; then
    # The plug-in client prints "progress VALUE" lines, then the stored PNG's path.
    out="$logs/client.out"
    if ! "$bin/plugin-client" generate --prompt "$prompt" --negative-prompt blurry \
        --width 256 --height 256 --steps 40 --seed 20837 | tee "$out"; then
        echo "demo: the round trip failed" >&2
        exit 1
    fi
    png=$(tail -n 1 "$out")
    [[ "$png" == *.png && -f "$png" ]] || { echo "demo: no stored image" >&2; exit 1; }
    echo "image stored: $png"
    exit 0
fi

python3 - "$prompt" <<'PY'
import base64, json, re, socket, sys, time

params = {"prompt": sys.argv[1], "negative_prompt": "blurry",
          "width": 256, "height": 256, "steps": 40, "seed": 20837}
request = b"prompt:" + base64.b64encode(json.dumps(params).encode("utf-8"))

NUMBER = re.compile(rb"[0-9.]+(?:e[-+][0-9]+)?")
MARKS = (b"IMAGE_GENERATION_PROCESS_STARTED", b"PROGRESS_TXT2IMG:", b"IMAGE_SAVED_SUCCESSFULLY: ")

def next_item(data, pos, final):
    """One notification at pos: (kind, value, new pos), or None while incomplete.
    Nothing separates notifications, so each ends where the next mark begins."""
    rest = data[pos:]
    if rest.startswith(MARKS[0]):
        return "started", None, pos + len(MARKS[0])
    if rest.startswith(MARKS[1]):
        m = NUMBER.match(rest, len(MARKS[1]))
        if not m or (m.end() == len(rest) and not final):
            return None
        return "progress", float(m.group()), pos + m.end()
    if rest.startswith(MARKS[2]):
        end = rest.find(b".png")
        if end < 0:
            return None
        return "saved", rest[len(MARKS[2]):end + 4].decode(), pos + end + 4
    if any(mark.startswith(rest) for mark in MARKS) and not final:
        return None
    # Anything else is an error text, sent alone.
    cut = min([i for i in (rest.find(m) for m in MARKS) if i > 0] or [len(rest)])
    if cut == len(rest) and not final:
        return None
    return "error", rest[:cut].decode("utf-8", "replace"), pos + cut

with socket.create_connection(("127.0.0.1", 20837), timeout=60) as s:
    s.sendall(request)
    data, pos, quiet = b"", 0, False
    deadline = time.time() + 120
    while time.time() < deadline:
        s.settimeout(0.5)
        try:
            chunk = s.recv(65536)
            if not chunk:
                sys.exit("demo: traybridge closed the connection")
            data += chunk
            quiet = False
        except socket.timeout:
            quiet = True
        while pos < len(data):
            item = next_item(data, pos, quiet)
            if item is None:
                break
            kind, value, pos = item
            if kind == "started":
                print("traybridge: generation started")
            elif kind == "progress":
                print(f"progress: {value * 100:5.1f} %")
            elif kind == "saved":
                print("image stored:", value)
                sys.exit(0)
            else:
                sys.exit(f"demo: the generation failed: {value}")
    sys.exit(f"demo: no stored image within 120 s; got {data[-300:]!r}")
PY
