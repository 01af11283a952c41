#!/usr/bin/env bash
# Builds the request benchmark in its own build folder and runs it against a
# fake board. Usage: scripts/bench.sh [exchange calls] [output calls]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" -j "${JOBS:-2}" --target bench_requests
exec scripts/run32 "$dir/bench/bench_requests" "$@"
