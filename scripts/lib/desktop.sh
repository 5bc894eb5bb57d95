# Sourced by the scripts that run traybridge: a virtual display with a tray host.
#
#   start_desktop LOGDIR   starts Xvfb and trayer, exports DISPLAY and appends
#                          their pids to the array "pids" of the caller.

# Starts Xvfb on a free display number and waits until it answers; sets
# tb_display and tb_xvfb on success.
start_xvfb() {
    local logs=$1 n xvfb
    # A display number from a wide range whose socket file is free: the files
    # in /tmp/.X11-unix are shared with other network namespaces.
    for _ in $(seq 40); do
        n=$((100 + RANDOM % 5000))
        [[ -e /tmp/.X11-unix/X$n ]] && continue
        Xvfb ":$n" -screen 0 640x240x24 -nolisten tcp >>"$logs/xvfb.log" 2>&1 &
        xvfb=$!
        # Ready once a client is served, not merely once the socket file is there.
        for _ in $(seq 150); do
            kill -0 "$xvfb" 2>/dev/null || break
            if [[ -e /tmp/.X11-unix/X$n ]] && xdpyinfo -display ":$n" >/dev/null 2>&1; then
                tb_display=":$n"
                tb_xvfb=$xvfb
                return 0
            fi
            sleep 0.1
        done
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    done
    return 1
}

start_desktop() {
    local logs=$1 attempt display xvfb trayer
    for attempt in 1 2 3; do
        if ! start_xvfb "$logs"; then
            echo "Xvfb did not start" >&2
            return 1
        fi
        display=$tb_display
        xvfb=$tb_xvfb
        DISPLAY="$display" trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
            --SetDockType true >>"$logs/trayer.log" 2>&1 &
        trayer=$!
        for _ in $(seq 100); do
            if xwininfo -display "$display" -name panel >/dev/null 2>&1; then
                export DISPLAY="$display"
                pids+=("$xvfb" "$trayer")
                return 0
            fi
            kill -0 "$trayer" 2>/dev/null || break
            sleep 0.1
        done
        echo "trayer did not start on $display (attempt $attempt)" >&2
        kill "$trayer" "$xvfb" 2>/dev/null || true
        wait "$trayer" "$xvfb" 2>/dev/null || true
    done
    echo "trayer did not start" >&2
    return 1
}
