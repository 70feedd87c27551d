#!/usr/bin/env bash
# Runs every test on a fresh Debian machine: installs what is missing, builds with warnings as
# errors, runs the tests, then builds the tests with AddressSanitizer + UndefinedBehaviorSanitizer
# and runs them again. D-Bus tests get a private session bus; window tests draw offscreen.
# Before building, it checks the format and that no include in src/ runs up the layers.
set -euo pipefail
cd "$(dirname "$0")/.."
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

./scripts/install-deps.sh
./scripts/format.sh --check
./scripts/check-layers.sh

run_ctest() {
  local dir=$1
  echo "== tests in $dir"
  (cd "$dir" && dbus-run-session -- ctest --output-on-failure -j"$(nproc)" --timeout 300)
}

# Both builds are compiled for testing (--quick), in their own folders: build/ stays the
# optimised one that the demo and the benchmarks use.
./scripts/build.sh --werror --quick build-tests
run_ctest build-tests
./scripts/build.sh --werror --quick --asan build-asan
run_ctest build-asan
echo "== all tests passed"
