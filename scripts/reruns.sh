# Sourced by scripts/test.sh: a command whose output is also kept in a log,
# and the report, for the last lines, of the tests that needed a rerun, so
# that a flaky test is seen, not hidden behind its passing second try.
porterly_ctest_logs=()

# porterly_logged LABEL COMMAND...: the command's output shown and logged
# under LABEL (the preset); the command's status.
porterly_logged() {
    local log
    log="$(mktemp --suffix=".$1")"
    shift
    porterly_ctest_logs+=("$log")
    "$@" 2>&1 | tee "$log"
}

# The runs in one log whose test program never started, as "name (LABEL):
# why": the emulator's "porterly: did not start" line (scripts/wine-env.sh)
# follows the result line of its run, and ctest marks a program it could not
# run "Not Run" (a disabled test "Not Run (Disabled)", which is no failure).
# Such a failure says nothing about the test itself.
porterly_not_started() {
    awk -v label="$2" '
        /^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: / {
            name = $0
            sub(/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: /, "", name)
            sub(/ +[.*].*$/, "", name)
            if ($0 ~ /\*\*\*Not Run/ && $0 !~ /Not Run \(Disabled\)/)
                print name " (" label "): ctest could not run its program"
        }
        /^porterly: did not start: / {
            sub(/^porterly: did not start: /, "")
            print name " (" label "): " $0
        }' "$1"
}

# ctest prints "Start N: name" before every run of a test, a rerun included:
# a name started twice in one log needed a rerun there.
porterly_report_reruns() {
    local log names="" unstarted=""
    for log in "${porterly_ctest_logs[@]}"; do
        names+="$(sed -n 's/^ *Start  *[0-9][0-9]*: \(.*[^ ]\) *$/\1/p' "$log" | sort | uniq -d |
                  sed "s/\$/ (${log##*.})/")"$'\n'
        unstarted+="$(porterly_not_started "$log" "${log##*.}")"$'\n'
        rm -f "$log"
    done
    names="$(printf '%s' "$names" | sed '/^$/d')"
    unstarted="$(printf '%s' "$unstarted" | sed '/^$/d')"
    if [ -z "$names" ]; then
        echo "Reruns: none"
    else
        echo "Reruns: $(printf '%s\n' "$names" | wc -l) test(s) needed a rerun:"
        printf '%s\n' "$names" | sed 's/^/    /'
    fi
    if [ -n "$unstarted" ]; then
        echo "Not started: $(printf '%s\n' "$unstarted" | wc -l) run(s) of a test program" \
            "that never started (Wine or the machine, not the test):"
        printf '%s\n' "$unstarted" | sed 's/^/    /'
    fi
}
