#!/usr/bin/env bash
# Runs Porterly under Wine as the shell's Send To would: every argument is a
# path (Windows form as written, or a Unix path converted with winepath), and
# paths holding a blank reach the program quoted. Builds first when needed.
#   scripts/run.sh "C:\Docs\a.txt" ~/notes/b.txt
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh" >/dev/null
source "$here/wine-env.sh"
export WINEPREFIX="${PORTERLY_PREFIX:-$PORTERLY_ROOT/build/wine/run-prefix}"
cd "$PORTERLY_ROOT"
if [ ! -f build/win64/CMakeCache.txt ]; then
    cmake --preset win64 >/dev/null
fi
cmake --build --preset win64 --target porterly >/dev/null
"$here/prepare-prefix.sh"
source "$here/xvfb.sh"
porterly_start_xvfb
trap '[ -n "${PORTERLY_XVFB_PID:-}" ] && kill "$PORTERLY_XVFB_PID" 2>/dev/null; true' EXIT

args=()
for path in "$@"; do
    case "$path" in
        /*) args+=("$("$WINE" winepath -w "$path" 2>/dev/null)") ;;
        *) args+=("$path") ;;
    esac
done
echo "Porterly on $DISPLAY with ${#args[@]} path(s)" >&2
# wine64 quotes exactly the arguments that hold a blank, as Send To does.
"$WINE" "$PORTERLY_ROOT/build/win64/porterly.exe" "${args[@]}"
