#!/usr/bin/env bash
# Builds both presets (win32 must stay warning-free even though it cannot run
# here) and runs the whole suite under wine64 and Xvfb, code page 932.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh"
source "$here/wine-env.sh"
cd "$PORTERLY_ROOT"

for preset in win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# Only system DLLs may be imported, by either build.
for arch in win32:i686 win64:x86_64; do
    exe="build/${arch%%:*}/porterly.exe"
    bad=$("${arch##*:}-w64-mingw32-objdump" -p "$exe" | sed -n 's/.*DLL Name: //p' |
          grep -viE '^(kernel32|user32|gdi32|shell32|ole32|advapi32|winmm|comctl32|msvcrt)\.dll$' || true)
    if [ -n "$bad" ]; then
        echo "$exe imports non-system DLLs: $bad" >&2
        exit 1
    fi
done

"$here/prepare-prefix.sh"
source "$here/xvfb.sh"
porterly_start_xvfb
cleanup() {
    "$WINESERVER" -k 2>/dev/null || true
    [ -n "${PORTERLY_XVFB_PID:-}" ] && kill "$PORTERLY_XVFB_PID" 2>/dev/null
    true
}
trap cleanup EXIT
# One persistent wineserver makes each test process start in a fraction of a
# second; the first call's helpers must not hold ctest's pipes open.
"$WINESERVER" -p
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true

ctest --test-dir build/win64 --output-on-failure --timeout 180 "$@"
