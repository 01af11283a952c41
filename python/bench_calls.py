#!/usr/bin/python3
"""Per-call cost of nea and sb through Python: Driver's methods (checks, lock,
text copy) and the bare ctypes functions beside them, median and p90 in µs.

sb writes its line to the board emulator, started here on the library's
device folder. Defaults come from the same environment as the tests
(cmake --build <build>/w64 --target python_bench sets it).
"""

from __future__ import annotations

import argparse
import os
import select
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import arduinodrv  # noqa: E402


def per_call_us(call, calls: int) -> tuple[float, float]:
    clock = time.perf_counter_ns
    times = []
    for _ in range(calls):
        start = clock()
        call()
        times.append(clock() - start)
    times.sort()
    return statistics.median(times) / 1000.0, times[int(len(times) * 0.9)] / 1000.0


def start_emulator(program: str, devices: str) -> subprocess.Popen:
    Path(devices).mkdir(parents=True, exist_ok=True)
    sim = subprocess.Popen([program, "--link", os.path.join(devices, "ttyUSB0"), "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    if not ready or not sim.stdout.readline():
        sim.kill()
        sys.exit("bench_calls: the board emulator did not start")
    return sim


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", default=os.environ.get("ARDUINODRV_TEST_LIBRARY"),
                        help="library file (default $ARDUINODRV_TEST_LIBRARY)")
    parser.add_argument("--devices", default=os.environ.get("ARDUINODRV_TEST_DEVICES"),
                        help="its device folder (default $ARDUINODRV_TEST_DEVICES)")
    parser.add_argument("--boardsim", default=os.environ.get("ARDUINODRV_TEST_BOARDSIM"),
                        help="board emulator (default $ARDUINODRV_TEST_BOARDSIM); none: no port open")
    parser.add_argument("--calls", type=int, default=20000, help="calls per figure (default 20000)")
    options = parser.parse_args()
    if not options.library:
        parser.error("give --library (or run it through the python_bench target)")
    if options.calls < 1:
        parser.error("--calls must be at least 1")

    sim = start_emulator(options.boardsim, options.devices) if options.boardsim and options.devices else None
    try:
        port = os.path.join(options.devices, "ttyUSB0") if options.devices else None
        board = arduinodrv.Driver(port, library=options.library, require_port=False)
        # The board's own loaded functions, called without the package's checks.
        bare = board._loaded.functions
        cases = [
            ("Driver.nea(0)", lambda: board.nea(0)),
            ("Driver.sb(0, 0)", lambda: board.sb(0, 0)),
            ("ctypes nea(0)", lambda: bare["nea"](0)),
            ("ctypes sb(0, 0)", lambda: bare["sb"](0, 0)),
        ]
        print(f"per call through Python, µs ({options.calls} calls each, "
              f"{'emulator on the port' if sim else 'no port open'})")
        print(f"{'':18}{'median':>8}{'p90':>8}")
        for name, call in cases:
            call()  # warm up
            median, p90 = per_call_us(call, options.calls)
            print(f"{name:18}{median:8.2f}{p90:8.2f}")
    finally:
        if sim:
            sim.send_signal(signal.SIGTERM)
            sim.wait(timeout=5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
