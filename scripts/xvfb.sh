# Sourced: makes sure a display exists. Starts a private Xvfb when DISPLAY is
# unset (or unreachable) and stops it when the calling script exits.
porterly_start_xvfb() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    PORTERLY_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 1 50); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "Xvfb did not start on $DISPLAY" >&2
    return 1
}

# Prepares the prefix, a screen and one persistent wineserver for a batch of
# Wine processes (tests, pictures), all stopped when the calling script exits.
porterly_start_session() {
    "$here/prepare-prefix.sh"
    porterly_start_xvfb
    trap porterly_stop_session EXIT
    # One persistent wineserver makes each process start in a fraction of a
    # second; the first call's helpers must not hold the caller's pipes open.
    "$WINESERVER" -p
    "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

porterly_stop_session() {
    "$WINESERVER" -k 2>/dev/null || true
    [ -n "${PORTERLY_XVFB_PID:-}" ] && kill "$PORTERLY_XVFB_PID" 2>/dev/null
    true
}
