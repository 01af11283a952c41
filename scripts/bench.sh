#!/usr/bin/env bash
# Builds the request benchmark in both widths, each in a build folder of its
# own, and runs it against a fake board: the 32-bit build (under qemu-i386
# where the kernel cannot run it), then the 64-bit build natively.
# Usage: scripts/bench.sh [--width 32|64] [exchange calls] [output calls] [burst calls]
#        scripts/bench.sh --reopen [--quick]
#        scripts/bench.sh --board [--quick] [board_bench's options]
# --reopen builds the 64-bit tree and runs the benchmark of a device that goes
# and comes back instead (boardsim, firmsim, ser2net and socat; about 3
# minutes, under one with --quick). --board runs the board object's
# (libarduinoboard) against a bare pyserial request and the 71 exports on
# firmsim, and 16 boards on boardsims (about 4 minutes, 1 with --quick).
set -euo pipefail
cd "$(dirname "$0")/.."
base=${BENCH_BUILD_DIR:-build-bench}
if [ "${1:-}" = --reopen ] || [ "${1:-}" = --board ]; then
  program=reopen_bench
  [ "$1" = --board ] && program=board_bench
  shift
  dir=$base/w64
  cmake -S . -B "$dir" -DARDUINODRV_WIDTH=64 >/dev/null
  cmake --build "$dir" -j "${JOBS:-2}" --target "$program" >/dev/null
  exec "$dir/bin/$program" "$@"
fi
widths="32 64"
if [ "${1:-}" = --width ]; then
  widths=${2:?--width needs 32 or 64}
  shift 2
fi
for width in $widths; do
  dir=$base/w$width
  options=(-DARDUINODRV_WIDTH="$width")
  # Each width in its own folder: no nested 64-bit build under the 32-bit one.
  [ "$width" = 32 ] && options+=(-DARDUINODRV_BUILD_64=OFF)
  cmake -S . -B "$dir" "${options[@]}" >/dev/null
  cmake --build "$dir" -j "${JOBS:-2}" --target bench_requests >/dev/null
  echo "== ${width}-bit build =="
  if [ "$width" = 32 ]; then
    scripts/run32 "$dir/bench/bench_requests" "$@"
  else
    "$dir/bench/bench_requests" "$@"
  fi
done
