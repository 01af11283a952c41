#!/usr/bin/python3
"""What Python adds to a reading: Board.read_analog against the bare
ab_read_analog through ctypes on the same board, median and p90 in µs, and
the same for Board.link against ab_link_state (no line at all, so the
difference is Python's alone).

The two of each pair are called in turn, so that the emulator's and the
machine's drift falls on both alike. The board is the emulator, started
here on a link of its own; defaults come from the same environment as the
tests (cmake --build <build>/w64 --target python_bench sets it).
"""

from __future__ import annotations

import argparse
import ctypes
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import arduinodrv  # noqa: E402
from arduinodrv import _board_library  # noqa: E402


def paired_us(first, second, calls: int) -> tuple[list[float], list[float]]:
    """Each call's time in µs, the two called in turn."""
    clock = time.perf_counter_ns
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(calls):
        for call, kept in ((first, times[0]), (second, times[1])):
            start = clock()
            call()
            kept.append((clock() - start) / 1000.0)
    return times


def figures(times: list[float]) -> str:
    ordered = sorted(times)
    return f"{statistics.median(ordered):9.2f}{ordered[int(len(ordered) * 0.9)]:9.2f}"


def start_emulator(program: str, link: Path) -> subprocess.Popen:
    sim = subprocess.Popen([program, "--link", str(link), "--quiet", "--analog=0=512"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    if not ready or not sim.stdout.readline():
        sim.kill()
        sys.exit("bench_calls: the board emulator did not start")
    return sim


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", default=os.environ.get("ARDUINODRV_TEST_BOARD_LIBRARY"),
                        help="libarduinoboard (default $ARDUINODRV_TEST_BOARD_LIBRARY)")
    parser.add_argument("--boardsim", default=os.environ.get("ARDUINODRV_TEST_BOARDSIM"),
                        help="board emulator (default $ARDUINODRV_TEST_BOARDSIM)")
    parser.add_argument("--calls", type=int, default=5000, help="calls of each per figure (default 5000)")
    options = parser.parse_args()
    if not options.library or not options.boardsim:
        parser.error("give --library and --boardsim (or run it through the python_bench target)")
    if options.calls < 1:
        parser.error("--calls must be at least 1")

    with tempfile.TemporaryDirectory() as folder:
        link = Path(folder) / "ttyUSB0"
        sim = start_emulator(options.boardsim, link)
        try:
            with arduinodrv.Board(link, library=options.library) as board:
                library = _board_library.load(options.library)
                handle = board._handle.value
                reading, link_state = _board_library.CReading(), _board_library.CLink()

                def bare_read():
                    if library.ab_read_analog(handle, 0, ctypes.byref(reading)) != _board_library.OK:
                        raise RuntimeError(library.last_error())

                pairs = [
                    ("read_analog(0)", lambda: board.read_analog(0), bare_read),
                    ("link", lambda: board.link, lambda: library.ab_link_state(handle, ctypes.byref(link_state))),
                ]
                print(f"per call, µs ({options.calls} calls each, the emulator on a pty)")
                print(f"{'':28}{'median':>9}{'p90':>9}")
                for name, method, bare in pairs:
                    method(), bare()  # warm up
                    through_board, through_ctypes = paired_us(method, bare, options.calls)
                    print(f"{'Board.' + name:28}{figures(through_board)}")
                    print(f"{'ctypes ab_' + name.replace('link', 'link_state'):28}{figures(through_ctypes)}")
                    cost = statistics.median(through_board) - statistics.median(through_ctypes)
                    print(f"{'  Python adds (medians)':28}{cost:9.2f}")
        finally:
            sim.terminate()
            sim.wait(timeout=5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
