#!/usr/bin/env bash
# Static checks of both programs of a build, for what cannot be run here (the
# i686 build) and what a run would not show: PE machine type, GUI subsystem,
# imports from system DLLs only, the manifest (type 24, id 1) and the version
# record (type 16), and the size limits.
#   scripts/check-pe.sh build/win32 i686      (or build/win64 x86_64)
set -euo pipefail
export LC_ALL=C # objdump speaks the locale's language otherwise
dir="$1" arch="$2"
case "$arch" in
    i686) format=pei-i386 main_kib=128 ;;
    x86_64) format=pei-x86-64 main_kib=128 ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
failed=0
fail() { echo "$1: $2" >&2; failed=1; ok=0; }

for name in porterly:$main_kib porterly-setup:100; do
    exe="$dir/${name%%:*}.exe" limit="${name##*:}" ok=1
    dump=$("$arch-w64-mingw32-objdump" -p "$exe") || { fail "$exe" "not readable"; continue; }
    grep -q "file format $format\$" <<<"$dump" || fail "$exe" "not a $format executable"
    grep -q '^Subsystem.*(Windows GUI)' <<<"$dump" || fail "$exe" "not a GUI program"
    bad=$(sed -n 's/.*DLL Name: //p' <<<"$dump" |
          grep -viE '^(kernel32|user32|gdi32|shell32|ole32|advapi32|winmm|comctl32|msvcrt)\.dll$' ||
          true)
    [ -z "$bad" ] || fail "$exe" "imports non-system DLLs: $(echo $bad)"
    # Top-level entries of the resource directory name the types; the one
    # after the manifest type names its id.
    types=$(sed -n 's/^[0-9a-f]*   Entry: ID: 0x0000\(..\),.*/\1/p' <<<"$dump")
    grep -qx 10 <<<"$types" || fail "$exe" "no version record"
    manifest_id=$(sed -n '/^[0-9a-f]*   Entry: ID: 0x000018,/{n;n;s/.*Entry: ID: 0x0*\([0-9a-f]*\),.*/\1/p;q}' <<<"$dump")
    [ "$manifest_id" = 1 ] || fail "$exe" "no manifest with id 1"
    size=$(stat -c %s "$exe")
    [ "$size" -le $((limit * 1024)) ] || fail "$exe" "$size bytes, over $limit KiB"
    [ $ok = 0 ] || echo "$exe: $format, GUI, system DLLs, manifest, version record, $size bytes"
done
exit $failed
