#!/usr/bin/env bash
# Runs the whole test suite: a normal build (32-bit, with the 64-bit build
# nested in build/w64) and its tests, the Debian package built from it and
# checked, then the same tests of both widths built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the library under test too).
#
# Usage: scripts/test.sh [--no-setup]
#   --no-setup   skip scripts/setup.sh (the packages are there)
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
while [ $# -gt 0 ]; do
  case $1 in
    --no-setup) setup=0 ;;
    -h|--help) sed -n '2,9s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "test: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ $setup = 1 ]; then
  ./scripts/setup.sh
fi

jobs=${JOBS:-2}
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== tests (32-bit and 64-bit) =="
run_suite build
echo "== Debian package =="
rm -f build/package/*.deb
cmake --build build --target package >/dev/null
ports=$(sed -n 's/^ARDUINODRV_PORTS:STRING=//p' build/CMakeCache.txt | tr ';' ' ')
# shellcheck disable=SC2086
packaging/check-package.sh build/package/arduinodrv_*.deb $ports
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer (32-bit and 64-bit) =="
# Leak checking needs ptrace, which the 32-bit emulator does not offer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DARDUINODRV_SANITIZE=ON
