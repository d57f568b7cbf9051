#!/usr/bin/env bash
# Builds both presets from scratch (build/release-<preset>, without tests) and
# writes dist/porterly-<version>-win32.zip and -win64.zip, each holding
# porterly.exe, porterly-setup.exe, the Japanese and English guides as
# README-ja.txt and README-en.txt (UTF-8 with a byte order mark and CRLF line
# ends, which Notepad shows correctly) and LICENSE.txt, and dist/SHA256SUMS. Reproducible: the executables carry no
# time stamp, and the zips hold the files in a fixed order with the commit's
# time (SOURCE_DATE_EPOCH) and fixed modes, so two runs on one commit give
# the same bytes.
#   scripts/release.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/setup.sh" >/dev/null
source "$here/wine-env.sh"
cd "$PORTERLY_ROOT"
version=$(porterly_version)
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
export TZ=UTC LC_ALL=C
umask 022
[ -z "$(git status --porcelain 2>/dev/null)" ] ||
    echo "note: the work tree has uncommitted changes; the zips contain them" >&2

mkdir -p dist
rm -f dist/porterly-*.zip dist/SHA256SUMS
zips=()
for preset in win32 win64; do
    build="build/release-$preset"
    rm -rf "$build"
    cmake --preset "$preset" -B "$build" -DPORTERLY_TESTS=OFF >/dev/null
    cmake --build "$build" -j 2 --target porterly porterly-setup >/dev/null

    stage="$build/stage"
    mkdir -p "$stage"
    cp "$build/porterly.exe" "$build/porterly-setup.exe" "$stage/"
    # The guides without their pictures, which the zip does not hold.
    for guide in ja:docs/ja/guide.md en:docs/guide.md; do
        { printf '\xef\xbb\xbf'; grep -v '^!\[' "${guide#*:}" | sed 's/$/\r/'; } \
            >"$stage/README-${guide%%:*}.txt"
    done
    sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    files=(porterly.exe porterly-setup.exe README-ja.txt README-en.txt LICENSE.txt)
    for f in "${files[@]}"; do
        chmod 644 "$stage/$f"
        touch -d "@$SOURCE_DATE_EPOCH" "$stage/$f"
    done
    zip="porterly-$version-$preset.zip"
    (cd "$stage" && zip -X -D -q -9 "../../../dist/$zip" "${files[@]}")
    zips+=("$zip")
done
(cd dist && sha256sum "${zips[@]}" >SHA256SUMS && cat SHA256SUMS)
