#!/bin/sh
# Exit statuses when the environment, not the setting file, fails the run.
#   sh environment.sh <program> <case folder> out-of-memory|unwritable-stdout <sanitized 0|1>
# Exits 77 (skipped) for the memory case in a sanitized build: the sanitizers
# reserve far more address space than any limit that starves a study.
morvex=$1
cd "$2" || exit 1
failed=0

# expect STATUS MESSAGE: the last command's exit status and standard error ($err).
expect() {
    if [ "$status" != "$1" ] || [ "$err" != "$2" ]; then
        printf 'expected exit status %s and "%s"\ngot exit status %s and "%s"\n' \
            "$1" "$2" "$status" "$err"
        failed=1
    fi
}

case $3 in
out-of-memory)
    if [ "$4" = 1 ]; then
        echo "skipped: no address-space limit under the sanitizers"
        exit 77
    fi
    # The program starts within 16 MB; 1000 exposed categories need about 30.
    err=$( (ulimit -v 16000 && exec "$morvex" line3-most-categories.txt) 2>&1 >/dev/null)
    status=$?
    expect 3 "Morvex: out of memory"
    ;;
unwritable-stdout)
    # A report, and the short answers that never reach the estimation.
    for arg in line3-two-categories.txt --version; do
        err=$("$morvex" "$arg" 2>&1 >/dev/full)
        status=$?
        expect 3 "Morvex: cannot write the report to standard output"
    done
    ;;
*)
    echo "unknown case $3"
    exit 1
    ;;
esac
exit $failed
