# Sourced by the scripts that run traybridge: a virtual display with a tray host.
#
#   start_desktop LOGDIR   starts Xvfb and trayer, exports DISPLAY and appends
#                          their pids to the array "pids" of the caller.

start_desktop() {
    local logs=$1 n xvfb display=""
    # A display number from a wide range whose socket file is free: the files
    # in /tmp/.X11-unix are shared with other network namespaces.
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
    if [[ -z "$display" ]]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY="$display"
    trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetDockType true \
        >"$logs/trayer.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        xwininfo -name panel >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "trayer did not start" >&2
    return 1
}
