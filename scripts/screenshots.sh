#!/usr/bin/env bash
# Takes the pictures docs/panel.png (the chooser with its options panel open)
# and docs/jump-menu.png (the jump menu under it) under Xvfb, with Wine's
# visual style at 96 DPI or the DPI given (then docs/panel-<dpi>.png and
# docs/jump-menu-<dpi>.png). The chooser is driven by a disabled test of
# test_tools.exe, which says through marker files in the prefix when each
# picture is ready and where it lies on the screen. The pictures have a
# prefix of their own, so the tests' prefix keeps its DPI and look.
#   scripts/screenshots.sh [--dpi 144]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh" >/dev/null
source "$here/wine-env.sh"
export WINEPREFIX="$PORTERLY_ROOT/build/wine/shot-prefix"
dpi=96
[ "${1:-}" = --dpi ] && dpi="$2"
suffix=""
[ "$dpi" = 96 ] || suffix="-$dpi"
cd "$PORTERLY_ROOT"
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target test_tools >/dev/null
unset DISPLAY # always a private screen, never the user's
export PORTERLY_XVFB_SCREEN=1600x1200x24
source "$here/xvfb.sh"
"$here/prepare-prefix.sh"
porterly_set_look "$dpi"
porterly_start_session

shots="$WINEPREFIX/drive_c/porterly-shots"
rm -rf "$shots"
"$WINE" build/win64/test_tools.exe --gtest_also_run_disabled_tests \
    --gtest_filter=Screenshots.DISABLED_PanelAndJumpMenu </dev/null >build/screenshots.log 2>&1 &
runner=$!
mkdir -p docs
for name in panel jump-menu; do
    for _ in $(seq 1 300); do
        [ -s "$shots/$name.ready" ] && break
        sleep 0.1
    done
    read -r x y w h <"$shots/$name.ready" || true # no newline at its end
    import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "docs/$name$suffix.png"
    touch "$shots/$name.done"
    echo "docs/$name$suffix.png"
done
wait "$runner"
rm -rf "$shots" "$WINEPREFIX/drive_c/porterly-tests" # out of the chooser's next picture
