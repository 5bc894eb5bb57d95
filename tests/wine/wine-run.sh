#!/usr/bin/env bash
# Runs one Windows program under Wine as the tray program's tests need it and
# exits with its exit code:
#
#   wine-run.sh [--webui] [--keep-alive] PROGRAM.exe [ARGS...]
#
# - a fresh Wine prefix with a Linux home of its own, whose user folders
#   (Documents, Desktop, ...) are real folders inside the prefix;
# - a virtual display (Xvfb) for Wine's own X11 driver and system tray;
# - with --webui, the stand-in web UI on 127.0.0.1:7860 (a Linux program that
#   the Windows program reaches over loopback); TB_FAKEWEBUI_EXTERNAL tells the
#   tests' FakeWebUi to use it;
# - with --keep-alive, a Windows program that keeps the prefix's services up.
# QtTest programs (tst_*.exe) have their log printed. WINE_RUN_KEEP=1 keeps
# the prefix for a look afterwards.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=${TB_SOURCE_DIR:-$(cd "$here/../.." && pwd)}
wine=${TB_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver

webui=0
keep_alive=0
while [[ $# -gt 0 ]]; do
    case $1 in
        --webui) webui=1; shift ;;
        --keep-alive) keep_alive=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $# -ge 1 ]] || { echo "usage: $0 [--webui] [--keep-alive] PROGRAM.exe [ARGS...]" >&2; exit 2; }

root=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
pids=()
cleanup() {
    WINEPREFIX=$root/prefix "$wineserver" -k 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [[ "${WINE_RUN_KEEP:-0}" == 1 ]]; then
        echo "wine-run: kept $root" >&2
    else
        rm -rf "$root"
    fi
}
trap cleanup EXIT

# Waits up to $2 seconds until the command $1 succeeds.
wait_for() {
    local deadline=$((SECONDS + $2))
    until eval "$1"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

export HOME=$root/home WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QT_FORCE_STDERR_LOGGING=1
unset DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME"
"$wine" wineboot -i >/dev/null 2>&1 || { echo "wine-run: wineboot failed" >&2; exit 1; }
"$wineserver" -w
for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [[ -L "$link" ]]; then
        rm "$link"
        mkdir "$link"
    fi
done

Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x800x24 5>"$root/display" 2>/dev/null &
pids+=($!)
wait_for '[[ -s "$root/display" ]]' 30 || { echo "wine-run: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$root/display")

if ((webui)); then
    python3 "$source_dir/tools/fakewebui/fakewebui.py" --quiet >"$root/webui.out" 2>"$root/webui.err" &
    pids+=($!)
    wait_for 'grep -q "serving on" "$root/webui.out"' 30 || {
        echo "wine-run: the stand-in web UI did not come up:" >&2
        cat "$root/webui.err" >&2
        exit 1
    }
    export TB_FAKEWEBUI_EXTERNAL=1
fi

if ((keep_alive)); then
    "$wine" cmd /c "ping -n 3600 127.0.0.1 >NUL" >/dev/null 2>&1 &
    pids+=($!)
fi

# QtTest writes its log with OutputDebugString when no console is attached,
# which a Wine run never has: a QtTest program writes it to a file instead.
log=()
if [[ $(basename "$1") == tst_*.exe ]]; then
    log=(-o "$root/qtest.log,txt")
fi
set +e
"$wine" "$@" "${log[@]}"
rc=$?
set -e
if ((${#log[@]})); then
    cat "$root/qtest.log" 2>/dev/null || echo "wine-run: $1 wrote no test log" >&2
fi
exit "$rc"
