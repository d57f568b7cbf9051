#!/usr/bin/env bash
# Builds the benchmark and runs it under wine64 in its own prefix
# (build/wine/bench-prefix, whose scratch files are made once and kept), prints
# its table of timings against bare platform baselines, and writes the table
# with the machine it ran on into docs/performance.md. Not part of the tests.
#   scripts/bench.sh [--quick] [chooser|steps|splitter|drop|server|dialog|readonly|merge|verify|journal|undo|calls]...
# (naming figures runs only those; docs/performance.md is then left alone)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh"
source "$here/wine-env.sh"
export WINEPREFIX="$PORTERLY_ROOT/build/wine/bench-prefix"
cd "$PORTERLY_ROOT"

# The win32 build only for its size.
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target porterly >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target porterly porterly-bench >/dev/null

source "$here/xvfb.sh"
porterly_start_session

# Kept, so that a long run's figures survive whatever comes after.
out=build/bench-last.md
"$WINE" build/win64/porterly-bench.exe "$@" </dev/null >"$out.tmp"
tr -d '\r' <"$out.tmp" >"$out"
rm -f "$out.tmp"

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
machine="Measured $(date -u '+%Y-%m-%d %H:%M UTC') on ${cpu:-an unknown CPU}, $(nproc) cores,
$("$WINE" --version), Xvfb, commit $commit$quick."
section="$(printf '%s\n\n%s\n' "$machine" "$(cat "$out")")"
printf '%s\n' "$section"

if [ "$full" = yes ]; then
    # Replace what lies between the markers; the rest of the page is prose.
    doc=docs/performance.md
    section="$section" awk '
        /<!-- bench:begin -->/ { print; print ENVIRON["section"]; skip = 1; next }
        /<!-- bench:end -->/ { skip = 0 }
        !skip { print }
    ' "$doc" >"$doc.tmp"
    mv "$doc.tmp" "$doc"
    echo "written into $doc" >&2
fi
