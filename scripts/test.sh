#!/usr/bin/env bash
# Runs the whole test suite: a normal build, then the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer (the library under test too).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=${JOBS:-2}
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== tests =="
run_suite build
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer =="
# Leak checking needs ptrace, which the 32-bit emulator does not offer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DARDUINODRV_SANITIZE=ON
