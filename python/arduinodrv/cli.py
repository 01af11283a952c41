"""python3 -m arduinodrv: read the board's inputs once, or record one to CSV."""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys
import time
from typing import Callable, TextIO

from .board import Board
from .web import add_serve_command, serve_command

# Input readings the recorder knows, with the channels the board has.
_INPUTS = {"ea": 6, "ead": 6, "eb": 4}
_DURATION = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s)\s*")
_LONGEST_INTERVAL_S = 24 * 3600.0
_LABEL_WIDTH = 10
# The library gives up on an answer after 1 s and returns 0.
_SILENT_S = 0.9


def _interval(text: str) -> float:
    """'100ms' or '1.5s' as seconds; the unit is required."""
    match = _DURATION.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a duration (give a unit: 100ms, 2s)")
    seconds = float(match.group(1)) / (1000.0 if match.group(2) == "ms" else 1.0)
    if seconds <= 0:
        raise argparse.ArgumentTypeError(f"{text!r}: the interval must be more than 0")
    if seconds > _LONGEST_INTERVAL_S:
        raise argparse.ArgumentTypeError(f"{text!r}: the interval may be at most a day")
    return seconds


def _count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"{text!r}: give at least 1")
    return count


def _parser() -> argparse.ArgumentParser:
    # --library and --port may come before or after the command word.
    where = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    choice = where.add_mutually_exclusive_group()
    choice.add_argument("--library", metavar="PATH", help="the library file to load")
    choice.add_argument("--port", metavar="PORT",
                        help="load the build for this device (default /dev/ttyUSB0)")

    parser = argparse.ArgumentParser(
        prog="python3 -m arduinodrv", parents=[where],
        description="Reads an arduinodrv board's inputs once, or records one of them to CSV. "
                    "Loading the library takes 2 s while the board restarts.")
    commands = parser.add_subparsers(dest="command", metavar="{read,record,serve}")
    commands.add_parser("read", parents=[where], help="read every input once, with its label (the default)",
                        description="Reads analog inputs 0-5 (raw and in volts) and digital inputs 0-3 once.")
    record = commands.add_parser(
        "record", parents=[where], help="record one input to CSV at an interval",
        description="Records one input to CSV (time_s,value) at a fixed interval. Ctrl-C stops and "
                    "keeps what was recorded; on an error the file is removed.")
    record.add_argument("function", choices=sorted(_INPUTS), help="ea (raw), ead (volts) or eb (digital)")
    record.add_argument("channel", type=int, help="analog input 0-5, digital input 0-3")
    record.add_argument("--every", type=_interval, default=_interval("100ms"), metavar="DURATION",
                        help="interval with its unit, e.g. 100ms or 2s (default 100ms)")
    record.add_argument("--count", type=_count, default=10, metavar="N", help="samples to take (default 10)")
    record.add_argument("--out", default="-", metavar="FILE", help="CSV file (default: standard output)")
    add_serve_command(commands, [where])
    return parser


def _open_board(options: argparse.Namespace) -> Board:
    return Board(library=getattr(options, "library", None), port=getattr(options, "port", None))


def _read_all(board: Board, out: TextIO, err: TextIO) -> None:
    """One line per input, each as soon as it is read: a silent board takes
    a second a reading."""
    silent = False

    def timed(read, channel):
        nonlocal silent
        start = time.monotonic()
        value = read(channel)
        silent = silent or time.monotonic() - start >= _SILENT_S
        return value

    for channel in range(_INPUTS["ea"]):
        raw = timed(board.ea, channel)
        volts = timed(board.ead, channel)
        out.write(f"{board.nea(channel):<{_LABEL_WIDTH}}{raw:>5}    {board.nead(channel):<{_LABEL_WIDTH}}{volts:.3f}\n")
        out.flush()
    for channel in range(_INPUTS["eb"]):
        value = timed(board.eb, channel)
        out.write(f"{board.neb(channel):<{_LABEL_WIDTH}}{value:>5}\n")
        out.flush()
    if silent:
        err.write("arduinodrv: the board did not answer within 1 s (those readings show 0): "
                  "is it on the library's port, with its sketch?\n")


def _remove_partial(path: str) -> None:
    # Only a file this run wrote: never a device or what a link leads to.
    try:
        if stat.S_ISREG(os.lstat(path).st_mode):
            os.unlink(path)
    except OSError:
        pass


def _close_quietly(out: TextIO, to_file: bool, progress: bool, err: TextIO) -> None:
    if progress:
        err.write("\n")
    if to_file:
        try:
            out.close()
        except OSError:
            pass  # the error being handled already tells what went wrong


def _record(board: Board, options: argparse.Namespace, err: TextIO) -> int:
    read: Callable[[int], object] = getattr(board, options.function)
    label = f"{options.function} {options.channel}"
    to_file = options.out != "-"
    out = open(options.out, "w", encoding="ascii") if to_file else sys.stdout
    # On the terminal, unless the samples themselves go there.
    progress = err.isatty() and (to_file or not sys.stdout.isatty())
    taken = 0
    try:
        out.write(f"time_s,{label}\n")
        out.flush()
        start = time.monotonic()
        for k in range(options.count):
            # On a fixed grid from the start, so slow calls do not drift it;
            # a call slower than the interval is followed at once by the next.
            delay = start + k * options.every - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            at = time.monotonic() - start
            value = read(options.channel)
            out.write(f"{at:.3f},{value}\n")
            out.flush()
            taken += 1
            if progress:
                err.write(f"\r{label}: {taken}/{options.count}  {value}\x1b[K")
                err.flush()
        if to_file:
            out.close()
    except KeyboardInterrupt:
        _close_quietly(out, to_file, progress, err)
        err.write(f"record: stopped after {taken} samples" + (f", kept {options.out}\n" if to_file else "\n"))
        return 130
    except BaseException:
        _close_quietly(out, to_file, progress, err)
        if to_file:
            _remove_partial(options.out)
        raise
    if progress:
        err.write("\n")
    if to_file:
        err.write(f"record: {taken} samples written to {options.out}\n")
    return 0


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status (0 done, 1 failed,
    2 bad command line, 130 stopped with Ctrl-C)."""
    parser = _parser()
    options = parser.parse_args(argv)
    command = options.command or "read"
    if command == "record" and not 0 <= options.channel < _INPUTS[options.function]:
        parser.error(f"channel {options.channel}: {options.function} has channels 0-{_INPUTS[options.function] - 1}")
    err = sys.stderr
    try:
        if command == "serve":
            return serve_command(options)
        board = _open_board(options)
        if command == "read":
            _read_all(board, sys.stdout, err)
            return 0
        return _record(board, options, err)
    except KeyboardInterrupt:
        err.write("arduinodrv: stopped\n")
        return 130
    except BrokenPipeError:
        # The reader went away (| head): say nothing, and keep Python from
        # complaining about the unflushed rest at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (OSError, ValueError, TypeError) as error:
        err.write(f"arduinodrv: {error}\n")
        return 1
