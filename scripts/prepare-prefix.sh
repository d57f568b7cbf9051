#!/usr/bin/env bash
# Creates the Wine prefix in $WINEPREFIX once: no window manager stalls
# (Managed=N), no sound driver, and real folders instead of the links to $HOME
# so that nothing run in it writes into the user's home.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
[ -f "$WINEPREFIX/.porterly-ready" ] && exit 0
mkdir -p "$WINEPREFIX"
scratch_home="$(dirname "$WINEPREFIX")/home"
mkdir -p "$scratch_home"
HOME="$scratch_home" "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
"$WINESERVER" -w
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
"$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f </dev/null >/dev/null 2>&1
"$WINESERVER" -w
for user_dir in "$WINEPREFIX"/drive_c/users/*/; do
    for link in "$user_dir"*; do
        if [ -L "$link" ]; then
            rm -f "$link"
            mkdir -p "$link"
        fi
    done
done
touch "$WINEPREFIX/.porterly-ready"
