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

# ctest prints "Start N: name" before every run of a test, a rerun included:
# a name started twice in one log needed a rerun there.
porterly_report_reruns() {
    local log names=""
    for log in "${porterly_ctest_logs[@]}"; do
        names+="$(sed -n 's/^ *Start  *[0-9][0-9]*: \(.*[^ ]\) *$/\1/p' "$log" | sort | uniq -d |
                  sed "s/\$/ (${log##*.})/")"$'\n'
        rm -f "$log"
    done
    names="$(printf '%s' "$names" | sed '/^$/d')"
    if [ -z "$names" ]; then
        echo "Reruns: none"
    else
        echo "Reruns: $(printf '%s\n' "$names" | wc -l) test(s) needed a rerun:"
        printf '%s\n' "$names" | sed 's/^/    /'
    fi
}
