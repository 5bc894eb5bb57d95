#!/usr/bin/env bash
# Builds the Debian package, installs it, starts traybridge and procwarden from
# the installed paths, removes the package and checks that nothing of it stays.
# Installs into this machine's /usr (through sudo when not root).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ "${1:-}" != "--inside" ]]; then
    "$root/scripts/deps.sh"
    cmake -S "$root" -B "$root/build-pkg" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DTB_BUILD_TESTS=OFF >/dev/null
    cmake --build "$root/build-pkg"
    (cd "$root/build-pkg" && cpack -G DEB >/dev/null)
    exec "$root/scripts/isolated" "$0" --inside
fi

# shellcheck source=lib/desktop.sh
source "$root/scripts/lib/desktop.sh"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
deb=$(ls -t "$root"/build-pkg/traybridge_*.deb | head -n 1)
work=$(mktemp -d)
pids=()
cleanup() {
    local rc=$?
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if dpkg-query -W traybridge >/dev/null 2>&1; then $sudo dpkg --purge traybridge >/dev/null || true; fi
    ((rc)) && echo "package test: logs kept in $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package test: $*" >&2
    exit 1
}

echo "installing $(basename "$deb")"
$sudo dpkg -i "$deb" >/dev/null
dpkg-query -L traybridge | sort >"$work/files"
for f in /usr/bin/traybridge /usr/bin/ctlrunner /usr/bin/plugin-client /usr/bin/tb-settings /usr/sbin/procwarden \
    /usr/lib/systemd/system/procwarden.service /etc/xdg/autostart/traybridge.desktop \
    /usr/share/applications/traybridge.desktop /usr/share/pixmaps/traybridge.png \
    /usr/share/polkit-1/actions/org.traybridge.ctlrunner.policy; do
    grep -qx "$f" "$work/files" || fail "the package does not hold $f"
    [[ -e "$f" ]] || fail "$f is not installed"
done
grep -q '^ExecStart=/usr/sbin/procwarden$' /usr/lib/systemd/system/procwarden.service ||
    fail "the service unit does not name /usr/sbin/procwarden"
python3 - /usr/share/polkit-1/actions/org.traybridge.ctlrunner.policy <<'PY' || fail "the polkit policy is not what pkexec needs"
import sys, xml.etree.ElementTree as tree
action = tree.parse(sys.argv[1]).getroot().find("action")
assert action.get("id") == "org.traybridge.ctlrunner"
assert action.find("defaults/allow_active").text == "auth_admin_keep"
assert action.find("message").text
paths = [a.text for a in action.findall("annotate") if a.get("key") == "org.freedesktop.policykit.exec.path"]
assert paths == ["/usr/bin/ctlrunner"], paths
PY

# procwarden from its installed path: a control through the installed ctlrunner, then the stop.
mkdir -p "$work/service"
export PROCWARDEN_CONTROL_SOCKET="$work/service/control.sock"
(cd "$work/service" && exec /usr/sbin/procwarden) 2>"$work/service/stderr" &
warden=$!
pids+=("$warden")
for _ in $(seq 100); do
    [[ -S "$PROCWARDEN_CONTROL_SOCKET" ]] && break
    sleep 0.1
done
/usr/bin/ctlrunner SIGNAL_STOP || fail "ctlrunner could not reach the installed service"
kill -TERM "$warden"
wait "$warden" || fail "procwarden ended with exit code $?"
grep -q "MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION" "$work/service/log.txt" || fail "control 145 is not in log.txt"
grep -q "My Sample Service: Main: Exit" "$work/service/log.txt" || fail "procwarden did not log its exit"
echo "procwarden ran from /usr/sbin and took a control from /usr/bin/ctlrunner"

# traybridge from its installed path, with a tray, its settings and a plug-in ping.
files="$work/files.d"
mkdir -p "$files" "$work/tmp" "$work/home"
for name in webui.sh progress-bar.py tcp-server.py; do
    printf '#!/bin/sh\nexit 0\n' >"$files/$name"
    chmod +x "$files/$name"
done
/usr/bin/tb-settings --root "$work/registry" fill --bat "$files/webui.sh" \
    --python "$(readlink -f "$(command -v python3)")" --progress-bar "$files/progress-bar.py" \
    --tcp-server "$files/tcp-server.py" --systray /usr/bin/traybridge >/dev/null
start_desktop "$work" || fail "no virtual desktop"
QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS=disabled: TRAYBRIDGE_REGISTRY_ROOT="$work/registry" \
    TRAYBRIDGE_BOX_LOG="$work/boxes.log" TMPDIR="$work/tmp" HOME="$work/home" \
    XDG_STATE_HOME="$work/home/.local/state" XDG_CONFIG_HOME="$work/home/.config" \
    /usr/bin/traybridge >"$work/traybridge.log" 2>&1 &
tray=$!
pids+=("$tray")
answer=""
for _ in $(seq 100); do
    answer=$(/usr/bin/plugin-client --timeout 1 ping 2>/dev/null) && break
    kill -0 "$tray" 2>/dev/null || fail "traybridge ended: $(tail -n 3 "$work/traybridge.log")"
    sleep 0.1
done
[[ -n "$answer" ]] || fail "traybridge did not answer the plug-in"
echo "traybridge ran from /usr/bin and answered: $answer"
kill "$tray"
wait "$tray" 2>/dev/null || true
# Nothing is written into the system's program folder: the start log and the
# log file lie in the user's state folder.
[[ -e /usr/bin/start.log ]] && fail "traybridge wrote /usr/bin/start.log"
[[ -f "$work/home/.local/state/traybridge/start.log" ]] || fail "no start log in the user's state folder"
grep -q "Файл успешно создан" "$work/home/.local/state/traybridge/traybridge.log" ||
    fail "no log file in the user's state folder"
echo "start log and log file in $work/home/.local/state/traybridge"

# The default settings store, as tb-settings fills it.
/usr/bin/tb-settings set path_python "$(readlink -f "$(command -v python3)")" >/dev/null
[[ -d /etc/traybridge/registry ]] || fail "tb-settings did not fill /etc/traybridge/registry"

$sudo dpkg -r traybridge >/dev/null
while read -r f; do
    [[ -f "$f" || -L "$f" ]] && fail "$f stayed after removal"
done <"$work/files"
[[ -e /var/lib/procwarden || -e /etc/xdg/autostart/traybridge.desktop ]] && fail "files of the package stayed"
# Removal keeps the settings; purge takes them too.
[[ -d /etc/traybridge/registry ]] || fail "removal did not keep the settings in /etc/traybridge"
$sudo dpkg --purge traybridge >/dev/null
dpkg-query -W traybridge >/dev/null 2>&1 && fail "dpkg still lists the package after purge"
for f in /etc/traybridge /var/lib/procwarden /usr/share/polkit-1/actions/org.traybridge.ctlrunner.policy; do
    [[ -e "$f" ]] && fail "$f stayed after purge"
done
echo "removed and purged; nothing of the package stays"
