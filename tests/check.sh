# shellcheck shell=bash
# The checks of the bash tests, counted: sourced by each of them.
#
#   pass WHAT / fail WHAT       count a check and print PASS: or FAIL: WHAT
#   check WHAT COMMAND...       passes where COMMAND succeeds
#   check_equal WHAT EXPECTED FOUND  passes where both texts are the same;
#                               else shows them
#   skip WHY                    prints SKIP: WHY and exits 77 (CTest: skipped)
#   checks_done NAME            prints "NAME: N passed, N failed"; its status
#                               is 1 where a check failed
# CHECK_LOG, where a test sets it to a function name, prints the lines
# instead of echo (a test that time-stamps its lines).

CHECKS_PASSED=0
CHECKS_FAILED=0

check_say() {
    if [ -n "${CHECK_LOG:-}" ]; then "$CHECK_LOG" "$*"; else echo "$*"; fi
}

pass() {
    CHECKS_PASSED=$((CHECKS_PASSED + 1))
    check_say "PASS: $*"
}

fail() {
    CHECKS_FAILED=$((CHECKS_FAILED + 1))
    check_say "FAIL: $*"
}

skip() {
    echo "SKIP: $*"
    exit 77
}

check() { # what, command...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

check_equal() { # what, expected, found
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        printf '  expected: %q\n  found:    %q\n' "$2" "$3"
    fi
}

checks_done() { # name
    echo "$1: $CHECKS_PASSED passed, $CHECKS_FAILED failed"
    [ "$CHECKS_FAILED" -eq 0 ]
}
