#!/usr/bin/env bash
# Builds both presets and runs each one's tests under Wine and Xvfb, code page
# 932, in a prefix of its own: win64 under wine64, win32 (the release target)
# under the i386 Wine, through qemu-user where the kernel runs no 32-bit code.
# Then fuzzes the splitter for 20 s and the drop readers for 10 s on the Linux
# host (not for a subset: with ctest arguments only the chosen tests run).
# PORTERLY_PRESETS picks the presets whose tests run (default "win64 win32").
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh"
source "$here/wine-env.sh"
cd "$PORTERLY_ROOT"

for preset in win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# What Wine cannot show about the files themselves, both builds.
"$here/check-pe.sh" build/win32 i686
"$here/check-pe.sh" build/win64 x86_64

source "$here/xvfb.sh"
porterly_start_xvfb
trap porterly_stop_session EXIT

# One preset's tests, in a subshell with its own prefix and wineserver.
# A hung test ends itself after 45 s listing its windows; a test that fails is
# run up to twice more, so that a rare Wine hang (docs/wine-notes.md) does not
# fail the run, while a real failure, seen three times in a row, does.
run_preset() (
    export PORTERLY_ARCH="$1"
    shift
    [ "$PORTERLY_ARCH" = win64 ] || unset WINEPREFIX
    source "$here/wine-env.sh"
    porterly_start_session
    # Emulated, the whole win32 suite alone would take about 17 minutes: only
    # what runs the shipped programs end to end (the queue's processes too),
    # the drop-target server and the UTF-8 module tests (ctest arguments given
    # still choose).
    local subset=()
    if [ "$PORTERLY_ARCH" = win32 ] && grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
        subset=(-R '^(Program|SetupTest|DropServer|Utf8|Queue)\.')
        echo "== win32 through qemu-user: ${subset[1]} only"
    fi
    # What runs killed at ctest's limit left of their output (scripts/wine-env.sh).
    rm -rf "$PORTERLY_ROOT/build/wine/runs"
    echo "== $PORTERLY_ARCH tests ($("$WINE" --version), prefix $WINEPREFIX)"
    ctest --test-dir "build/$PORTERLY_ARCH" --output-on-failure --timeout 90 \
        --repeat until-pass:3 "${subset[@]}" "$@"
)

source "$here/reruns.sh"
failed=()
for preset in ${PORTERLY_PRESETS:-win64 win32}; do
    start=$SECONDS
    porterly_logged "$preset" run_preset "$preset" "$@" || failed+=("$preset")
    echo "== $preset tests took $((SECONDS - start)) s"
done
[ $# -gt 0 ] || "$here/fuzz.sh" 20 || failed+=(fuzz)
porterly_report_reruns
[ ${#failed[@]} -eq 0 ] || { echo "failed: ${failed[*]}" >&2; exit 1; }
