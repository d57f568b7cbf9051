#!/usr/bin/env bash
# Builds the benchmark and runs it under Wine in its own prefix
# (build/wine/bench-prefix, whose scratch files are made once and kept), prints
# its table of timings against bare platform baselines, and writes the table
# with the machine it ran on into docs/performance.md. Not part of the tests.
#   scripts/bench.sh [--preset win32|win64] [--quick] 
#       [chooser|steps|splitter|drop|server|dialog|readonly|merge|verify|vmove|journal|undo|queue|calls]...
# (naming figures runs only those; docs/performance.md is then left alone).
# --preset win32 runs the i686 build and its baselines, all built for i686,
# under the i386 Wine (emulated where the kernel runs no 32-bit code) in
# build/wine/bench-prefix-win32, and writes its own section of the page.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export PORTERLY_ARCH=win64
if [ "${1:-}" = --preset ]; then
    PORTERLY_ARCH="${2:?--preset needs win32 or win64}"
    shift 2
fi
case "$PORTERLY_ARCH" in win32 | win64) ;; *) echo "bench: no preset $PORTERLY_ARCH" >&2; exit 2 ;; esac
"$here/setup.sh"
source "$here/wine-env.sh"
suffix=""
[ "$PORTERLY_ARCH" = win64 ] || suffix="-$PORTERLY_ARCH"
export WINEPREFIX="$PORTERLY_ROOT/build/wine/bench-prefix$suffix"
cd "$PORTERLY_ROOT"

# Both builds for their sizes, the chosen one with the benchmark.
for preset in win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target porterly >/dev/null
done
cmake --build --preset "$PORTERLY_ARCH" --target porterly-bench >/dev/null

source "$here/xvfb.sh"
porterly_start_session

# Kept, so that a long run's figures survive whatever comes after.
out="build/bench-last$suffix.md"
"$WINE" "build/$PORTERLY_ARCH/porterly-bench.exe" "$@" </dev/null >"$out.tmp"
tr -d '\r' <"$out.tmp" >"$out"
rm -f "$out.tmp"
# An empty table is a failed run, whatever the exit status said.
if ! grep -q '^| Work |' "$out"; then
    echo "bench: the benchmark wrote no table (its progress output has the rows)" >&2
    exit 1
fi

cpu="$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
commit="$(git rev-parse --short HEAD)"
git diff --quiet HEAD -- src resources bench || commit="$commit with local changes"
quick=""
full=yes
for arg in "$@"; do
    case "$arg" in
        --quick) quick=" (--quick)" ;;
        *) full=no ;;
    esac
done
road=""
[ "$PORTERLY_ARCH" = win64 ] || road=" (i386$(grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386 &&
    echo ", through $(qemu-i386 --version | head -n 1)" || true))"
machine="Measured $(date -u '+%Y-%m-%d %H:%M UTC') on ${cpu:-an unknown CPU}, $(nproc) cores,
$("$WINE" --version)$road, Xvfb, build $PORTERLY_ARCH, commit $commit$quick."
section="$(printf '%s\n\n%s\n' "$machine" "$(cat "$out")")"
printf '%s\n' "$section"

if [ "$full" = yes ]; then
    # Replace what lies between the markers; the rest of the page is prose.
    doc=docs/performance.md
    section="$section" suffix="$suffix" awk '
        $0 == "<!-- bench" ENVIRON["suffix"] ":begin -->" { print; print ENVIRON["section"]; skip = 1; next }
        $0 == "<!-- bench" ENVIRON["suffix"] ":end -->" { skip = 0 }
        !skip { print }
    ' "$doc" >"$doc.tmp"
    mv "$doc.tmp" "$doc"
    echo "written into $doc" >&2
fi
