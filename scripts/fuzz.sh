#!/usr/bin/env bash
# Fuzzes on the Linux host, with clang, libFuzzer and the address and
# undefined-behaviour sanitizers: the command-line splitter and the long-name
# expansion for SECONDS seconds (default 20), over the in-memory drive of
# tests/fuzz/, then the readers of dropped selections (the DROPFILES block and
# the shell's ID-list array) and the journal reader (the last transfer's
# record, read back by undo) for half as long each. The modules are built
# unchanged, against the stand-in headers of tests/fuzz/shim/. Ends with the
# line "N inputs, M failures" and fails when M > 0; an input that broke a rule
# is kept in build/fuzz/ (crash-*, leak-*, timeout-*).
set -euo pipefail
seconds="${1:-20}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out"
command -v clang++ >/dev/null || { echo "clang++ is missing: run scripts/setup.sh" >&2; exit 1; }

total_inputs=0
total_failures=0

# fuzz NAME SECONDS MAX_LEN DICT SEED_DIR SOURCES...
fuzz() {
    local name="$1" secs="$2" max_len="$3" dict="$4" seeds="$5"
    shift 5
    local fuzzer="$out/$name" f stale=0 status=0 inputs dict_arg=()
    mkdir -p "$out/corpus-$name"
    # The shim directory comes first so that its windows.h, shlobj.h,
    # mbstring.h and malloc.h stand in for the Windows ones.
    [ -x "$fuzzer" ] || stale=1
    for f in "$@" "$root"/tests/fuzz/*.h "$root"/tests/fuzz/shim/*.h "$root"/src/*.h; do
        [ "$f" -nt "$fuzzer" ] && stale=1
    done
    if [ "$stale" = 1 ]; then
        clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
            -fno-sanitize-recover=undefined -Wall -Wextra -I"$root/tests/fuzz/shim" \
            -I"$root/src" -I"$root/resources" "$@" -o "$fuzzer"
    fi
    [ -z "$dict" ] || dict_arg=(-dict="$dict")
    # libFuzzer stops at the first failure, so one run has at most one.
    "$fuzzer" -max_total_time="$secs" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
        "${dict_arg[@]}" -artifact_prefix="$out/" "$out/corpus-$name" "$seeds" \
        >"$out/$name.log" 2>&1 || status=$?
    inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log" | tail -n 1)
    if [ -z "$inputs" ]; then
        inputs=$(grep -o '^#[0-9]*' "$out/$name.log" | tail -n 1 | tr -d '#')
    fi
    total_inputs=$((total_inputs + ${inputs:-0}))
    if [ "$status" != 0 ]; then
        total_failures=$((total_failures + 1))
        grep -aE 'broken:|ERROR:|runtime error|SUMMARY|Test unit written' "$out/$name.log" >&2 ||
            tail -n 30 "$out/$name.log" >&2
    fi
}

fuzz fuzz_parse "$seconds" 128 "$root/tests/fuzz/parse.dict" "$root/tests/fuzz/corpus" \
    "$root/tests/fuzz/fakefs.cpp" "$root/tests/fuzz/fuzz_parse.cpp" "$root/src/portystr.cpp" \
    "$root/src/texts.cpp"
fuzz fuzz_drop $(((seconds + 1) / 2)) 1024 "" "$root/tests/fuzz/corpus-drop" \
    "$root/tests/fuzz/fakefs.cpp" "$root/tests/fuzz/fuzz_drop.cpp" "$root/src/dropfiles.cpp" \
    "$root/src/portystr.cpp" "$root/src/texts.cpp"
fuzz fuzz_journal $(((seconds + 1) / 2)) 2048 "$root/tests/fuzz/journal.dict" \
    "$root/tests/fuzz/corpus-journal" "$root/tests/fuzz/fuzz_journal.cpp" "$root/src/journal.cpp" \
    "$root/src/widetext.cpp" "$root/src/texts.cpp"
echo "$total_inputs inputs, $total_failures failures"
[ "$total_failures" = 0 ]
