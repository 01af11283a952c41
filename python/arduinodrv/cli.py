"""python3 -m arduinodrv: read the board's inputs once, record one to CSV,
serve the board's page, or list the serial devices.

Each subcommand is a function that adds its parser and names its run
function; one more subcommand is one more entry of COMMANDS."""

from __future__ import annotations

import argparse
import csv
import os
import re
import stat
import sys
import time
from functools import partial
from typing import Callable, TextIO

from . import ports
from ._holders import why
from ._library import PORT_VARIABLE
from .board import Board, Reading
from .channels import ANALOG_INPUTS, DIGITAL_INPUTS, analog_input_name, digital_input_name
from .errors import BoardError, NoAnswer, NotAReading, PortError
from .web import add_serve_command, serve_command

# Input readings the recorder knows, with the channels the board has.
_INPUTS = {"ea": ANALOG_INPUTS, "ead": ANALOG_INPUTS, "eb": DIGITAL_INPUTS}
_DURATION = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s)\s*")
_LONGEST_INTERVAL_S = 24 * 3600.0
_LABEL_WIDTH = 26
# After this many requests in a row without an answer the board is taken
# for silent: the inputs left are not asked (each would take the limit).
_SILENT_AFTER = 2


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


def failure_text(error: BoardError) -> str:
    """A failed reading in a few words: "no answer", "not a reading: ...",
    or the device's trouble."""
    if isinstance(error, NoAnswer):
        return "no answer"
    if isinstance(error, NotAReading):
        return "not a reading: " + error.reason.replace(" is not a reading", "")
    return error.reason or str(error)


def chosen_port(options: argparse.Namespace) -> str | None:
    """--port, else $ARDUINODRV_PORT, else None: the one likely board."""
    return getattr(options, "port", None) or os.environ.get(PORT_VARIABLE) or None


def open_board(options: argparse.Namespace) -> Board:
    """The board the command line names (--port, --library); PortError and
    the like say why there is none."""
    return Board(chosen_port(options), library=getattr(options, "library", None))


# read

def _add_read(commands, where) -> None:
    read = commands.add_parser(
        "read", parents=[where], help="read every input once (the default)",
        description="Reads analog inputs 0-5 (raw and in volts) and digital inputs 0-3 once. An input "
                    "that gave no reading says why (no answer, not a reading, the device gone); after "
                    f"{_SILENT_AFTER} requests in a row without an answer the inputs left are not asked. "
                    "Exits 1 when an input gave no reading.")
    read.set_defaults(run=_run_read)


def _inputs(board: Board):
    """(label, request, how its reading is shown) of every input."""
    for c in range(ANALOG_INPUTS):
        yield analog_input_name(c), partial(board.read_analog, c), lambda r: f"{r.raw:>5}   {r.volts:.3f} V"
    for c in range(DIGITAL_INPUTS):
        yield digital_input_name(c), partial(board.read_digital_reading, c), lambda r: f"{r.raw:>5}"


def _run_read(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """One line per input, each as soon as it is read."""
    failed = asked = silent = 0
    with open_board(options) as board:
        for label, read, show in _inputs(board):
            asked += 1
            if silent >= _SILENT_AFTER:
                shown, failed = "not asked: the board does not answer", failed + 1
            else:
                try:
                    shown, silent = show(read()), 0
                except (NoAnswer, NotAReading, PortError) as error:
                    shown, failed = failure_text(error), failed + 1
                    silent = silent + 1 if isinstance(error, NoAnswer) else 0
            out.write(f"{label:<{_LABEL_WIDTH}}{shown}\n")
            out.flush()
    if failed:
        err.write(f"arduinodrv: {failed} of {asked} inputs gave no reading\n")
    return 1 if failed else 0


# record

def _add_record(commands, where) -> None:
    record = commands.add_parser(
        "record", parents=[where], help="record one input to CSV at an interval",
        description="Records one input to CSV (time_s,value) at a fixed interval: time_s is the time "
                    "each reading arrived, in seconds since the recording started. A request that gave "
                    "no reading (no answer, not a reading, the device gone) leaves its value empty, with "
                    "the time it gave up. Ctrl-C stops and keeps what was recorded; on an error the file "
                    "is removed. Exits 1 when a request gave no reading.")
    record.add_argument("function", choices=sorted(_INPUTS), help="ea (raw), ead (volts) or eb (digital)")
    record.add_argument("channel", type=int, help="analog input 0-5, digital input 0-3")
    record.add_argument("--every", type=_interval, default=_interval("100ms"), metavar="DURATION",
                        help="interval with its unit, e.g. 100ms or 2s (default 100ms)")
    record.add_argument("--count", type=_count, default=10, metavar="N", help="samples to take (default 10)")
    record.add_argument("--out", default="-", metavar="FILE", help="CSV file (default: standard output)")
    record.set_defaults(run=_run_record, check=_check_record)


def _check_record(options: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    channels = _INPUTS[options.function]
    if not 0 <= options.channel < channels:
        parser.error(f"channel {options.channel}: {options.function} has channels 0-{channels - 1}")


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


def _run_record(options: argparse.Namespace, stdout: TextIO, err: TextIO) -> int:
    with open_board(options) as board:
        return _record(board, options, stdout, err)


def _sampler(board: Board, function: str) -> Callable[[int], tuple[Reading, object]]:
    """The request and the value of the reading that the CSV keeps."""
    if function == "eb":
        return lambda channel: _kept(board.read_digital_reading(channel), "raw")
    return lambda channel: _kept(board.read_analog(channel), "raw" if function == "ea" else "volts")


def _kept(reading: Reading, field: str) -> tuple[Reading, object]:
    return reading, getattr(reading, field)


def _record(board: Board, options: argparse.Namespace, stdout: TextIO, err: TextIO) -> int:
    sample = _sampler(board, options.function)
    label = f"{options.function} {options.channel}"
    to_file = options.out != "-"
    out = open(options.out, "w", encoding="ascii", newline="") if to_file else stdout
    writer = csv.writer(out, lineterminator="\n")
    # On the terminal, unless the samples themselves go there.
    progress = err.isatty() and (to_file or not stdout.isatty())
    told = set()  # the kinds of failure already said
    missing = 0
    told_slow = False
    taken = 0
    try:
        writer.writerow(["time_s", label])
        out.flush()
        start = time.monotonic()
        start_ns = time.time_ns()
        for k in range(options.count):
            # On a fixed grid from the start, so slow calls do not drift it;
            # a call slower than the interval is followed at once by the next.
            delay = start + k * options.every - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            asked = time.monotonic()
            try:
                reading, value = sample(options.channel)
                at_ns = reading.time_ns
            except (NoAnswer, NotAReading, PortError) as error:
                at_ns, value = time.time_ns(), ""
                missing += 1
                if type(error) not in told:
                    told.add(type(error))
                    err.write(f"record: {label}: {failure_text(error)} ({why(error)}): its value is left empty\n")
            took = time.monotonic() - asked
            if took > options.every and not told_slow and not missing:
                told_slow = True
                err.write(f"record: one {options.function} request takes {took * 1000:.0f} ms, longer than "
                          f"--every {options.every * 1000:g}ms: samples follow each other as fast as the "
                          f"board answers\n")
            writer.writerow([f"{(at_ns - start_ns) / 1e9:.3f}", value])
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
    if missing:
        err.write(f"record: {missing} of {taken} samples gave no reading (their values are empty)\n")
        return 1
    return 0


# ports

def _add_ports(commands, where) -> None:
    listing = commands.add_parser(
        "ports", help="list the serial devices, which may be the board, and how to use each",
        description="Lists the serial devices with what the system knows of them (USB ids, maker, "
                    "product, serial number, driver, /dev/serial/by-id/ names), marks those whose "
                    "USB ids are a board's or a usual USB-serial chip's, and says how to use each.")
    listing.add_argument("--root", default="/", help=argparse.SUPPRESS)  # a fake /sys and /dev, for tests
    listing.set_defaults(run=_run_ports)


def _run_ports(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    return ports.print_ports(out, err, root=options.root)


# serve

def _add_serve(commands, where) -> None:
    add_serve_command(commands, [where])
    commands.choices["serve"].set_defaults(
        run=lambda options, out, err: serve_command(options, out, err, partial(open_board, options),
                                                    chosen_port(options)))


COMMANDS = [_add_read, _add_record, _add_ports, _add_serve]


def _parser() -> argparse.ArgumentParser:
    # --library and --port may come before or after the command word.
    where = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    where.add_argument("--port", metavar="PATH",
                       help="the board's device (default: $ARDUINODRV_PORT, else the one serial device "
                            "whose USB ids are a board's)")
    where.add_argument("--library", metavar="PATH", help="the libarduinoboard file to load")

    parser = argparse.ArgumentParser(
        prog="python3 -m arduinodrv", parents=[where],
        description="Reads an arduinodrv board's inputs once, records one of them to CSV, shows the "
                    "board in a browser page, or lists the serial devices. Opening the board takes 2 s "
                    "while it restarts. Exit status: 0 done; 1 no board, or a reading missing; 2 a bad "
                    "command line; 130 stopped with Ctrl-C.")
    commands = parser.add_subparsers(dest="command")
    for add in COMMANDS:
        add(commands, where)
    commands.metavar = "{" + ",".join(commands.choices) + "}"
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status (0 done, 1 no board
    or a reading missing, 2 bad command line, 130 stopped with Ctrl-C)."""
    parser = _parser()
    options = parser.parse_args(argv)
    if options.command is None:
        options = parser.parse_args(["read", *(argv if argv is not None else sys.argv[1:])])
    if hasattr(options, "check"):
        options.check(options, parser)
    err = sys.stderr
    try:
        return options.run(options, sys.stdout, err)
    except KeyboardInterrupt:
        err.write("arduinodrv: stopped\n")
        return 130
    except BrokenPipeError:
        # The reader went away (| head): say nothing, and keep Python from
        # complaining about the unflushed rest at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except PortError as error:
        err.write(f"arduinodrv: no board: {why(error)}\n")
        return 1
    except OSError as error:
        err.write(f"arduinodrv: {_os_error_text(error)}\n")
        return 1
    except (ValueError, TypeError, RuntimeError) as error:
        err.write(f"arduinodrv: {error}\n")
        return 1


def _os_error_text(error: OSError) -> str:
    # Without Python's "[Errno 2]": the path and the reason, in words.
    if not error.strerror:
        return str(error)
    return f"{error.filename}: {error.strerror}" if error.filename is not None else error.strerror
