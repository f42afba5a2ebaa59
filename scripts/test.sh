#!/usr/bin/env bash
# Installs what is missing, checks formatting, then builds and runs every test
# twice: a normal build, and one with AddressSanitizer and UndefinedBehaviorSanitizer;
# the suites whose program runs threads of its own also under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh --tests
./scripts/check-format.sh
# The browser test's driver; it uses Debian's Chromium, never a downloaded one.
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix tests/browser --no-audit --no-fund --loglevel=error

jobs=$(nproc)
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== tests"
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKESTRELIO_SANITIZE=ON

echo "== suites that cross threads under ThreadSanitizer"
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp"
cmake -S . -B build/tsan -G Ninja -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug \
    -DKESTRELIO_SANITIZE_THREAD=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target kestrelio tst_program tst_scheduling
ctest --test-dir build/tsan --output-on-failure -R '^tst_program$'
# Not its runaway case: under ThreadSanitizer the kernel's SIGXCPU does not
# arrive while the thread spins.
./build/tsan/tests/tst_scheduling asksRtkitForTheNetworkThread
