#!/usr/bin/env bash
# Creates the Wine prefix in $WINEPREFIX once: no window manager stalls
# (Managed=N), no sound driver, and real folders instead of the links to $HOME
# so that nothing run in it writes into the user's home.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

# A second volume for the tests of moves across volumes: drive Q: on a folder
# of its own, whose .windows-serial gives it a serial of its own under Wine.
second_volume() {
    local root="$WINEPREFIX/volume-q"
    mkdir -p "$root"
    [ -f "$root/.windows-serial" ] || echo 5e17a11e >"$root/.windows-serial"
    [ -L "$WINEPREFIX/dosdevices/q:" ] || ln -s ../volume-q "$WINEPREFIX/dosdevices/q:"
}

if [ -f "$WINEPREFIX/.porterly-ready" ]; then
    second_volume
    exit 0
fi
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
second_volume
touch "$WINEPREFIX/.porterly-ready"
