#!/usr/bin/env bash
# Takes a screenshot of the chooser under a private Xvfb into docs/chooser.png
# (or the file given), with Wine's visual style at 96 DPI or the DPI given
# (then docs/chooser-<dpi>.png), and one of the setup program's dialog beside
# it (setup.png, setup-<dpi>.png). Uses its own Wine prefix with "open the
# current folder" set, so the chooser shows the sample file's folder
# preselected.
#   scripts/screenshot.sh [--dpi 144] [out.png]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh" >/dev/null
source "$here/wine-env.sh"
export WINEPREFIX="$PORTERLY_ROOT/build/wine/shot-prefix"
dpi=96
if [ "${1:-}" = --dpi ]; then
    dpi="$2"
    shift 2
fi
default_out="$PORTERLY_ROOT/docs/chooser.png"
[ "$dpi" = 96 ] || default_out="$PORTERLY_ROOT/docs/chooser-$dpi.png"
out="$(realpath -m "${1:-$default_out}")"
cd "$PORTERLY_ROOT"
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target porterly porterly-setup >/dev/null
"$here/prepare-prefix.sh"

unset DISPLAY # always a private screen, never the user's
export PORTERLY_XVFB_SCREEN=1600x1200x24
source "$here/xvfb.sh"
porterly_set_look "$dpi"
porterly_start_xvfb
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    "$WINESERVER" -k 2>/dev/null || true
    [ -n "${PORTERLY_XVFB_PID:-}" ] && kill "$PORTERLY_XVFB_PID" 2>/dev/null
    true
}
trap cleanup EXIT

# A sample document to send, and the option "open the current folder" (0x10).
sample_dir="$WINEPREFIX/drive_c/資料"
mkdir -p "$sample_dir"
echo "sample" >"$sample_dir/報告書.txt"
"$WINE" reg add "HKCU\\$(porterly_settings_key)" /v dwFlags /t REG_DWORD /d 16 /f \
    </dev/null >/dev/null 2>&1

# Waits for the top-level window whose title starts with the text given and
# takes its picture.
shoot() {
    local title="$1" out="$2" window=""
    for _ in $(seq 1 100); do
        window=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title" |
                 sed -n 's/^ *\(0x[0-9a-f]*\) ".*/\1/p' | head -n 1 || true)
        [ -n "$window" ] && break
        sleep 0.2
    done
    if [ -z "$window" ]; then
        echo "no window \"$title\" appeared" >&2
        exit 1
    fi
    sleep 1 # let the tree fill and the buttons paint
    mkdir -p "$(dirname "$out")"
    import -window "$window" "$out"
    echo "$out"
}
title="$(porterly_title)"

"$WINE" "$PORTERLY_ROOT/build/win64/porterly.exe" 'C:\資料\報告書.txt' </dev/null >/dev/null 2>&1 &
app_pid=$!
shoot "$title\"" "$out"
kill "$app_pid" 2>/dev/null
"$WINESERVER" -k 2>/dev/null || true

# The setup program's dialog, beside the chooser's picture.
setup_out="$(dirname "$out")/setup.png"
[ "$dpi" = 96 ] || setup_out="$(dirname "$out")/setup-$dpi.png"
"$WINE" "$PORTERLY_ROOT/build/win64/porterly-setup.exe" </dev/null >/dev/null 2>&1 &
app_pid=$!
shoot "$title " "$setup_out"
