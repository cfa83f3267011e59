# What the check scripts share, sourced by them: a tally of the checks that passed and failed, and
# the summary that ends a script with its status.

passed=0
failed=0
failures=()

pass() {
    echo "PASS: $1"
    passed=$((passed + 1))
}

# fail CHECK WHY
fail() {
    echo "FAIL: $1: $2" >&2
    failed=$((failed + 1))
    failures+=("$1")
}

# checks_summary WHAT LOGS: the failed checks and where their logs are, the counts; the status.
checks_summary() {
    if [ "$failed" -gt 0 ]; then
        local joined
        joined=$(printf '%s, ' "${failures[@]}")
        echo "$1 failed: ${joined%, } (logs in $2)" >&2
    fi
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
