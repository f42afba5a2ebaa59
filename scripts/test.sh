#!/usr/bin/env bash
# Installs what is missing, checks formatting, then builds and runs every test
# twice: a normal build, and one with AddressSanitizer and UndefinedBehaviorSanitizer;
# the suites whose program runs threads of its own also under ThreadSanitizer.
# Our own code builds with -Werror here. The last line says what passed, or
# where it failed.
set -euo pipefail
cd "$(dirname "$0")/.."

stage="installing what the tests need"
trap 'status=$?; [ "$status" -eq 0 ] || echo "Tests FAILED while $stage (exit status $status)"' EXIT

./scripts/install-deps.sh --tests
stage="checking the format"
./scripts/check-format.sh
# The browser test's driver; it uses Debian's Chromium, never a downloaded one.
stage="installing the browser test's driver"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix tests/web --no-audit --no-fund --loglevel=error

jobs=$(nproc)
# Runs ctest; `passed` is then how many suites passed. Any failure ends the script.
passed=0
run_ctest() {
    local log
    log=$(mktemp)
    ctest "$@" --output-on-failure | tee "$log"
    passed=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
    rm -f "$log"
    [ -n "$passed" ]
}
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=ON -DKESTRELIO_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    run_ctest --test-dir "$dir" -j "$jobs"
}

stage="running the tests"
echo "== tests"
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
normal=$passed

stage="running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_SANITIZE=ON
sanitized=$passed

stage="running the suites that cross threads under ThreadSanitizer"
echo "== suites that cross threads under ThreadSanitizer"
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp"
cmake -S . -B build/tsan -G Ninja -DBUILD_TESTING=ON -DKESTRELIO_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_SANITIZE_THREAD=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target kestrelio tst_program tst_scheduling
run_ctest --test-dir build/tsan -R '^tst_program$'
# Not its runaway case: under ThreadSanitizer the kernel's SIGXCPU does not
# arrive while the thread spins.
./build/tsan/tests/tst_scheduling asksRtkitForTheNetworkThread
thread=$((passed + 1))

echo "All $((normal + sanitized + thread)) suites passed" \
    "(normal $normal, sanitizers $sanitized, thread $thread)"
