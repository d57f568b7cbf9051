# Sourced by the scripts: where Wine is, which prefix, and the Japanese locale
# that gives Wine code page 932 (without it non-ASCII file names fail).
# PORTERLY_ARCH=win32 picks the i386 Wine, which runs through qemu-user
# (scripts/setup.sh registers it with binfmt_misc), and a 32-bit prefix of its
# own; the host's one wineserver (wineserver64) serves both.
PORTERLY_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINESERVER=/usr/lib/wine/wineserver
if [ "${PORTERLY_ARCH:-win64}" = win32 ]; then
    export WINE=/usr/lib/wine/wine WINEARCH=win32
    porterly_prefix=test-prefix-win32
else
    export WINE=/usr/lib/wine/wine64 WINEARCH=win64
    porterly_prefix=test-prefix
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEPREFIX="${WINEPREFIX:-$PORTERLY_ROOT/build/wine/$porterly_prefix}"

# The version as the program shows it ("4.63.00"), from resources/version.h.
porterly_version() {
    local part numbers=()
    for part in MAJOR MINOR PATCH; do
        numbers+=("$(sed -n "s/^#define PORTERLY_VER_$part *\([0-9]*\)\$/\1/p" \
                      "$PORTERLY_ROOT/resources/version.h")")
    done
    printf '%d.%d.%02d' "${numbers[@]}"
}
