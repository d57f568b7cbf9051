# Sourced: makes sure a display exists. Starts a private Xvfb when DISPLAY is
# unset (or unreachable) and stops it when the calling script exits; its size
# is PORTERLY_XVFB_SCREEN (default 1024x768x24).
porterly_start_xvfb() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
    done
    Xvfb ":$n" -screen 0 "${PORTERLY_XVFB_SCREEN:-1024x768x24}" -nolisten tcp >/dev/null 2>&1 &
    PORTERLY_XVFB_PID=$!
    # A subshell's session (one per preset) must leave the caller's screen up.
    PORTERLY_XVFB_OWNER=$BASHPID
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
    [ -n "${PORTERLY_XVFB_PID:-}" ] && [ "$PORTERLY_XVFB_OWNER" = "$BASHPID" ] &&
        kill "$PORTERLY_XVFB_PID" 2>/dev/null
    true
}

# The pictures' look, set in the prefix before anything runs in it: the
# screen's DPI (HKCU\Control Panel\Desktop LogPixels) and Wine's "Light"
# visual style. Only ever for the pictures' own prefix, never the tests'.
porterly_set_look() {
    local theme='HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager'
    local entry
    for entry in "HKCU\Control Panel\Desktop|LogPixels|REG_DWORD|$1" \
                 "$theme|ThemeActive|REG_SZ|1" \
                 "$theme|DllName|REG_SZ|C:\windows\resources\themes\light\light.msstyles" \
                 "$theme|ColorName|REG_SZ|Blue" "$theme|SizeName|REG_SZ|NormalSize"; do
        IFS='|' read -r key value type data <<<"$entry"
        "$WINE" reg add "$key" /v "$value" /t "$type" /d "$data" /f </dev/null >/dev/null 2>&1
    done
    "$WINESERVER" -w
}
