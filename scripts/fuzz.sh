#!/usr/bin/env bash
# Fuzzes the command-line splitter and the long-name expansion for SECONDS
# seconds (default 20): builds src/portystr.cpp unchanged for the Linux host
# with clang, libFuzzer and the address and undefined-behaviour sanitizers over
# the in-memory drive of tests/fuzz/, then runs it from the seed corpus. Ends
# with the line "N inputs, M failures" and fails when M > 0; the input that
# broke a rule is kept in build/fuzz/ (crash-*, leak-*, timeout-*).
set -euo pipefail
seconds="${1:-20}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"
fuzzer="$out/fuzz_parse"
sources=("$root/tests/fuzz/fakefs.cpp" "$root/tests/fuzz/fuzz_parse.cpp" "$root/src/portystr.cpp")
mkdir -p "$out/corpus"
command -v clang++ >/dev/null || { echo "clang++ is missing: run scripts/setup.sh" >&2; exit 1; }

# The shim directory comes first so that its windows.h, mbstring.h and
# malloc.h stand in for the Windows ones.
stale=0
[ -x "$fuzzer" ] || stale=1
for f in "${sources[@]}" "$root"/tests/fuzz/*.h "$root"/tests/fuzz/shim/*.h "$root"/src/portystr.h; do
    [ "$f" -nt "$fuzzer" ] && stale=1
done
if [ "$stale" = 1 ]; then
    clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -Wall -Wextra -I"$root/tests/fuzz/shim" -I"$root/src" "${sources[@]}" -o "$fuzzer"
fi

# libFuzzer stops at the first failure, so one run has at most one.
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=128 -timeout=10 -print_final_stats=1 \
    -dict="$root/tests/fuzz/parse.dict" -artifact_prefix="$out/" \
    "$out/corpus" "$root/tests/fuzz/corpus" >"$out/fuzz.log" 2>&1 || status=$?
inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log" | tail -n 1)
if [ -z "$inputs" ]; then
    inputs=$(grep -o '^#[0-9]*' "$out/fuzz.log" | tail -n 1 | tr -d '#')
fi
failures=0
if [ "$status" != 0 ]; then
    failures=1
    grep -aE 'broken:|ERROR:|runtime error|SUMMARY|Test unit written' "$out/fuzz.log" >&2 || tail -n 30 "$out/fuzz.log" >&2
fi
echo "${inputs:-0} inputs, $failures failures"
[ "$failures" = 0 ]
