#!/usr/bin/env bash
# The demo itself, run inside its own network namespace by demo.sh: starts
# traybridge on a virtual display with a tray, has it start the stand-in web UI
# through its own launch path, sends one prompt with the plug-in client, shows
# the progress and the stored PNG's path, and takes a screenshot of the tray.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/desktop.sh
source "$root/scripts/lib/desktop.sh"
bin="${TB_BIN_DIR:-$root/build/bin}"
shots="${TB_DEMO_SHOTS:-$root/build/demo}"
logs=$(mktemp -d)
pids=()
cleanup() {
    local rc=$?
    if [[ -f "$logs/webui.pid" ]]; then
        kill "$(cat "$logs/webui.pid")" 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if ((rc)); then
        echo "demo: logs of the web UI and traybridge kept in $logs" >&2
    else
        rm -rf "$logs"
    fi
}
trap cleanup EXIT

# traybridge needs a tray, its five settings and ctlrunner beside it. A copy of
# the program in a folder of its own keeps start.log out of the build. The web
# UI is not running yet: the batch-file setting names a launch script that
# starts the stand-in web UI in the background and ends, as a web UI's batch
# file hands over to its server.
app="$logs/app"
files="$logs/files"
mkdir -p "$app" "$files" "$logs/tmp"
cp "$bin/traybridge" "$bin/ctlrunner" "$app/"
{
    echo '#!/bin/sh'
    echo "setsid python3 '$root/tools/fakewebui/fakewebui.py' --quiet --step-delay 0.05 \\"
    echo "    >'$logs/webui.out' 2>'$logs/webui.err' </dev/null &"
    echo "echo \$! >'$logs/webui.pid'"
} >"$files/webui-launch.sh"
for name in webui-launch.sh progress-bar.py tcp-server.py; do
    [[ -e "$files/$name" ]] || printf '# stand-in for a file of the plug-in side\n' >"$files/$name"
    chmod +x "$files/$name"
done
"$bin/tb-settings" --root "$logs/registry" fill \
    --bat "$files/webui-launch.sh" --python "$(readlink -f "$(command -v python3)")" \
    --progress-bar "$files/progress-bar.py" --tcp-server "$files/tcp-server.py" \
    --systray "$app/traybridge" >/dev/null

start_desktop "$logs" || exit 1
QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS=disabled: TRAYBRIDGE_REGISTRY_ROOT="$logs/registry" \
    TRAYBRIDGE_BOX_LOG="$logs/boxes.log" TMPDIR="$logs/tmp" \
    "$app/traybridge" >"$logs/traybridge.log" 2>&1 &
tray=$!
pids+=("$tray")

client() { "$bin/plugin-client" "$@"; }

for _ in $(seq 100); do
    client --timeout 1 ping >/dev/null 2>&1 && break
    sleep 0.1
done
client ping >/dev/null || { echo "demo: traybridge did not come up" >&2; exit 1; }
echo "traybridge answers on port 20837; the web UI: $(client is-running)"

echo "asking traybridge to start the web UI"
client run-webui >/dev/null
state=""
for _ in $(seq 300); do
    state=$(client is-running 2>/dev/null || true)
    [[ "$state" == STABLE_DIFFUSION_WORK ]] && break
    sleep 0.2
done
[[ "$state" == STABLE_DIFFUSION_WORK ]] || { echo "demo: the web UI did not come up (last state: $state)" >&2; exit 1; }
echo "the web UI runs: $state"

prompt="weathered oak planks, seamless texture"
echo "sending prompt: $prompt"
# A progress bar on a terminal, "progress VALUE" lines otherwise; then the stored PNG's path.
status=0
client generate --prompt "$prompt" --negative-prompt blurry --width 256 --height 256 --steps 40 \
    --seed 20837 || status=$?
((status == 0)) || { echo "demo: the round trip failed (plugin-client exit code $status)" >&2; exit 1; }
png=$(ls -t "$HOME/Documents/AI_TEXTURES/FULL_RES/"*.png | head -n 1)
echo "image stored: $png"

# The tray's state: the icon of a running web UI and the status balloon a click shows.
mkdir -p "$shots"
icon=""
for id in $(xdotool search --onlyvisible --pid "$tray" 2>/dev/null); do
    geometry=$(xwininfo -id "$id")
    w=$(sed -n 's/^ *Width: *//p' <<<"$geometry")
    h=$(sed -n 's/^ *Height: *//p' <<<"$geometry")
    if ((w <= 24 && h <= 24)); then
        icon=$id
        break
    fi
done
if [[ -n "$icon" ]]; then
    xdotool mousemove --window "$icon" 11 11 click 1
    for _ in $(seq 50); do
        grep -q "QSystemTrayIcon::Trigger" "$logs/traybridge.log" && break
        sleep 0.1
    done
    sleep 1 # the balloon fades in; give it time to be drawn before the picture
fi
import -window root "$shots/tray.png"
echo "tray screenshot: $shots/tray.png"
