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
# Wine's Recycle Bin is the desktop's trash under XDG_DATA_HOME: kept in the
# build, so that what an undo deletes never reaches the machine's own trash.
export XDG_DATA_HOME="$PORTERLY_ROOT/build/wine/xdg-data"
mkdir -p "$XDG_DATA_HOME"

# The version as the program shows it ("4.63.00"), from resources/version.h.
porterly_version() {
    local part numbers=()
    for part in MAJOR MINOR PATCH; do
        numbers+=("$(sed -n "s/^#define PORTERLY_VER_$part *\([0-9]*\)\$/\1/p" \
                      "$PORTERLY_ROOT/resources/version.h")")
    done
    printf '%d.%d.%02d' "${numbers[@]}"
}

# The settings key as the program writes it, from resources/settingskey.h.
porterly_settings_key() {
    local header="$PORTERLY_ROOT/resources/settingskey.h"
    local maker suffix
    maker="$(sed -n 's/^#define PORTERLY_MAKER_KEY *"\(.*\)"$/\1/p' "$header")"
    suffix="$(sed -n 's/^#define PORTERLY_SETTINGS_KEY *PORTERLY_MAKER_KEY *"\(.*\)"$/\1/p' "$header")"
    printf '%s%s' "$maker" "$suffix" | sed 's/\\\\/\\/g'
}

# The caption of the chooser and of every message box, from resources/version.h.
porterly_title() {
    printf '%s%s' "$(sed -n 's/^#define PORTERLY_TITLE *"\(.*\)" PORTERLY_VERSION$/\1/p' \
                         "$PORTERLY_ROOT/resources/version.h")" "$(porterly_version)"
}

# porterly_run_relayed COMMAND...: runs a Windows program (ctest's emulator)
# with its output taken through a file and copied out as it comes, until the
# program ends. Under Wine every process a program starts (the drop target's
# server started by COM, the desktop's explorer.exe) keeps the program's Unix
# standard error: had that been ctest's pipe, ctest would wait for the last of
# them to end. A test program always prints; a run without a line of its own
# did not start, is named so (scripts/reruns.sh reports it) and fails.
porterly_run_relayed() {
    local dir="$PORTERLY_ROOT/build/wine/runs" out pid copier status=0 started
    mkdir -p "$dir"
    out="$(mktemp "$dir/run.XXXXXX")"
    started=$(date +%s%3N)
    "$@" </dev/null >"$out" 2>&1 &
    pid=$!
    tail -s 0.02 -n +1 -f --pid="$pid" "$out" &
    copier=$!
    wait "$pid" || status=$?
    wait "$copier" || true
    if ! grep -qvE '^(wine: |[0-9a-f]{4}:(err|fixme|warn):)' "$out"; then
        echo "porterly: did not start: exit status $status after" \
            "$(($(date +%s%3N) - started)) ms, no output of its own"
        [ "$status" -ne 0 ] || status=1
    fi
    rm -f "$out"
    return "$status"
}
