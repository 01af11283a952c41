#!/usr/bin/env bash
# Builds the request benchmark in both widths, each in a build folder of its
# own, and runs it against a fake board: the 32-bit build (under qemu-i386
# where the kernel cannot run it), then the 64-bit build natively.
# Usage: scripts/bench.sh [--width 32|64] [exchange calls] [output calls] [burst calls]
#        scripts/bench.sh --reopen [--quick]
#        scripts/bench.sh --board [--quick] [board_bench's options]
#        scripts/bench.sh --scan [--quick] [--rounds N] [--calls N]
#        scripts/bench.sh --stream [--quick] [--duration SECONDS] [--rate BAUD] [--step SECONDS]
#        scripts/bench.sh --requests [--quick] [--rounds N] [--calls N] [--duration SECONDS]
#        scripts/bench.sh --help
# --reopen builds the 64-bit tree and runs the benchmark of a device that goes
# and comes back instead (boardsim, firmsim, ser2net and socat; about 3
# minutes, under one with --quick). --board runs the board object's
# (libarduinoboard) against a bare pyserial request and the 71 exports on
# firmsim, and 16 boards on boardsims (about 4 minutes, 1 with --quick).
# --scan times ab_scan against the ten inputs read one by one through the 71
# exports on firmsim at 9600 baud, beside the line's floor (about 2 minutes,
# 30 s with --quick). --stream streams the six analog inputs at 1 kHz through
# ab_stream_* on firmsim's fast line for DURATION (60 s; 600 for the
# 10-minute run), then one input at intervals stepped down to the shortest
# the library accepts, STEP seconds each (5; with --quick 10 s and 2 s).
# --requests times the board object's one-shot reads and scans against bare
# pyserial requests at 9600, 57600 and 1000000 baud, on firmsim and on a
# paced boardsim side by side, a stream of six inputs at 1 kHz with a read
# every 10 ms beside it on each, and 64 boards opened at once (about 5
# minutes; 2 with --quick).
set -euo pipefail
cd "$(dirname "$0")/.."
base=${BENCH_BUILD_DIR:-build-bench}
case "${1:-}" in
  -h|--help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0 ;;
esac
if [ "${1:-}" = --reopen ] || [ "${1:-}" = --board ] || [ "${1:-}" = --scan ] || [ "${1:-}" = --stream ] ||
   [ "${1:-}" = --requests ]; then
  program=board_bench
  [ "$1" = --reopen ] && program=reopen_bench
  # board_bench takes --scan, --stream and --requests itself.
  if [ "$1" = --reopen ] || [ "$1" = --board ]; then
    shift
  fi
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
