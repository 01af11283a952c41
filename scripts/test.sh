#!/usr/bin/env bash
# Runs every suite, each to its end even when an earlier one failed, then
# prints one summary of all failures; exits 1 if anything failed.
#   tests       a normal build in build/ (32-bit, with the 64-bit build nested
#               in build/w64) and its tests
#   package     the Debian packages built from it, checked, and lintian on
#               them; as root, installed, removed and purged twice
#   widths      the single-width configurations (64 alone, 32 alone):
#               configured only, in build/width64 and build/width32
#   sanitizers  the same tests of both widths built with AddressSanitizer and
#               UndefinedBehaviorSanitizer (the library under test too), in
#               build/asan
#
# Usage: scripts/test.sh [--no-setup] [--emulator]
#   --no-setup   skip scripts/setup.sh (the packages are there)
#   --emulator   run the 32-bit programs under qemu-i386 even where the
#                kernel runs them (ARDUINODRV_FORCE_EMULATOR), as on a
#                machine without 32-bit support
# Environment: JOBS (default 2): parallel build and test jobs.
set -uo pipefail
cd "$(dirname "$0")/.."

setup=1
emulator=OFF
while [ $# -gt 0 ]; do
  case $1 in
    --no-setup) setup=0 ;;
    --emulator) emulator=ON ;;
    -h|--help) sed -n '2,21s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "test: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ $setup = 1 ]; then
  ./scripts/setup.sh || { echo "test: scripts/setup.sh failed: nothing can be built" >&2; exit 1; }
fi

jobs=${JOBS:-2}
failures=()
timings=()
# suite <name> <function> [arguments...]: runs one suite, keeps its result.
suite() {
  local name=$1; shift
  local start=$SECONDS
  echo
  echo "== $name =="
  if "$@"; then
    timings+=("$name: $((SECONDS - start)) s")
  else
    timings+=("$name: $((SECONDS - start)) s, FAILED")
  fi
}
failed() { failures+=("$*"); return 1; }

configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DARDUINODRV_FORCE_EMULATOR=$emulator "$@" >/dev/null ||
    failed "$dir: cmake could not configure it"
}
# Builds and tests in one folder; ctest's own closing lines stay in the output.
build_and_test() {
  local dir=$1; shift
  configure "$dir" "$@" || return 1
  cmake --build "$dir" -j "$jobs" || { failed "$dir: the build failed"; return 1; }
  (cd "$dir" && ctest --output-on-failure -j "$jobs") && return 0
  local names
  names=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
  failed "$dir: tests failed: ${names:-see the output above}"
}

package() {
  rm -f build/package/*.deb
  cmake --build build --target package >/dev/null || { failed "package: cpack failed"; return 1; }
  local debs=(build/package/*.deb)
  [ -f "${debs[0]}" ] || { failed "package: no .deb in build/package"; return 1; }
  local ports report status=0
  ports=$(sed -n 's/^ARDUINODRV_PORTS:STRING=//p' build/CMakeCache.txt | tr ';' ' ')
  # shellcheck disable=SC2086
  packaging/check-package.sh build/package $ports || { failed "package: packaging/check-package.sh"; status=1; }
  # Errors fail, and so does a program without its manual page; other
  # warnings and notes are shown and stay.
  echo "lintian:"
  report=$(lintian --fail-on error --tag-display-limit 0 "${debs[@]}" 2>&1) || { failed "package: lintian reports errors"; status=1; }
  echo "$report"
  if grep -q 'no-manual-page' <<<"$report"; then failed "package: a program has no manual page"; status=1; fi
  packaging/check-install-cycle.sh "${debs[@]}"
  case $? in
    0|77) ;;
    *) failed "package: packaging/check-install-cycle.sh"; status=1 ;;
  esac
  return $status
}

widths() {
  local status=0
  configure build/width64 -DARDUINODRV_WIDTH=64 || status=1
  configure build/width32 -DARDUINODRV_BUILD_64=OFF || status=1
  [ $status = 0 ] && echo "ok: both single-width configurations configure"
  return $status
}

suite "tests (32-bit and 64-bit)" build_and_test build
suite "Debian package" package
suite "single-width configurations (configure only)" widths
# Leak checking needs ptrace, which the 32-bit emulator does not offer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
suite "tests with AddressSanitizer and UndefinedBehaviorSanitizer (32-bit and 64-bit)" \
  build_and_test build/asan -DARDUINODRV_SANITIZE=ON

echo
echo "== summary =="
printf '  %s\n' "${timings[@]}"
if [ ${#failures[@]} -eq 0 ]; then
  echo "all suites passed"
  exit 0
fi
echo "${#failures[@]} failure(s):"
printf '  FAIL %s\n' "${failures[@]}"
exit 1
