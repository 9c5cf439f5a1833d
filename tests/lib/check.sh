# The shell test scripts' checks. Source it; each check prints one line, and
# `summary` prints "N passed, M failed" and answers with the test's status.

passed=0
failed=0

# check NAME COMMAND...: passes when the command succeeds.
check() {
    local name="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   - $name"
    else
        failed=$((failed + 1))
        echo "FAIL - $name"
    fi
}

equals() {
    [ "$1" = "$2" ] || {
        echo "  got:      $1"
        echo "  expected: $2"
        return 1
    }
}
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

summary() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# wait_for SECONDS COMMAND...: polls until the command succeeds; false after
# the deadline.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}
