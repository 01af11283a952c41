"""python3 -m arduinodrv: read the board's inputs once, record one to CSV,
serve the board's page, or list the serial devices.

Each subcommand is a function that adds its parser and names its run
function; one more subcommand is one more entry of COMMANDS."""

from __future__ import annotations

import argparse
import csv
import errno
import os
import re
import signal
import stat
import sys
import time
from datetime import datetime
from functools import partial
from typing import Callable, TextIO

from . import ports
from ._holders import why
from ._library import PORT_VARIABLE
from .board import FAST_BAUDS, SLOW_BAUD, Board, local_time
from .channels import ANALOG_INPUTS, DIGITAL_INPUTS, FULL_SCALE_V, analog_input_name, digital_input_name
from .errors import BadValue, BoardError, NoAnswer, NotAReading, NotSupported, PortError, shown
from .web import add_serve_command, serve_command

# Input readings the recorder knows, with the channels the board has.
_INPUTS = {"ea": ANALOG_INPUTS, "ead": ANALOG_INPUTS, "eb": DIGITAL_INPUTS}
_DURATION = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(ms|s)\s*")
_LONGEST_INTERVAL_S = 24 * 3600.0
_RATE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(Hz|kHz|khz|hz)\s*")
_FASTEST_RATE_HZ = 10000.0
_LABEL_WIDTH = 26


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
    return Board(chosen_port(options), library=getattr(options, "library", None),
                 baud=getattr(options, "baud", None))


# read

def _add_read(commands, where) -> None:
    read = commands.add_parser(
        "read", parents=[where], help="read every input once (the default)",
        description="Reads analog inputs 0-5 (raw and in volts) and digital inputs 0-3 in one exchange "
                    "with the board. An input that gave no reading says why (no answer, not a reading, "
                    "the device gone). Exits 1 when an input gave no reading.")
    read.set_defaults(run=_run_read)


def _run_read(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """One line per input, from one scan."""
    with open_board(options) as board:
        scan = board.scan()
    entries = [(analog_input_name(c), entry) for c, entry in enumerate(scan.analog)]
    entries += [(digital_input_name(c), entry) for c, entry in enumerate(scan.digital)]
    for number, (label, entry) in enumerate(entries):
        if isinstance(entry, BoardError):
            shown = failure_text(entry)
        elif number < ANALOG_INPUTS:
            shown = f"{entry.raw:>5}   {entry.volts:.3f} V"
        else:
            shown = f"{entry.raw:>5}"
        out.write(f"{label:<{_LABEL_WIDTH}}{shown}\n")
    out.flush()
    if scan.errors:
        err.write(f"arduinodrv: {len(scan.errors)} of {len(entries)} inputs gave no reading\n")
    return 1 if scan.errors else 0


# record

def _rate(text: str) -> float:
    """'1kHz', '250Hz' or '2.5 kHz' as Hz; the unit is required."""
    match = _RATE.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a rate (give a unit: 250Hz, 1kHz)")
    hz = float(match.group(1)) * (1000.0 if match.group(2).lower() == "khz" else 1.0)
    if not 0 < hz <= _FASTEST_RATE_HZ:
        raise argparse.ArgumentTypeError(f"{text!r}: the rate must be more than 0 and at most "
                                         f"{_FASTEST_RATE_HZ / 1000:g}kHz")
    return hz


def _channel(text: str) -> int | str:
    if text == "all":
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a channel (a number, or all)") from None


def _add_record(commands, where) -> None:
    record = commands.add_parser(
        "record", parents=[where], help="record inputs to CSV, at an interval or as a stream the board times",
        description="Records inputs to CSV, one row per round of readings: the time each reading arrived "
                    "(local time, ISO 8601 with its offset), the seconds since the recording started, then "
                    "for each analog input its volts (ead N) and raw value (ea N), for each digital input "
                    "its level (eb N). 'record ead 0 1 2' records three analog inputs, 'record ead all' "
                    "the six, 'record all' every input (in one exchange a round). A reading the board did "
                    "not give leaves its cells empty. Each row is written as it comes: Ctrl-C (or SIGTERM) "
                    "stops and keeps the file, and so does an error (a full disk). With --rate the board "
                    "samples on its own timer (the project's sketch) and each row also holds the board's "
                    "time and the sample's number. Exits 1 when a reading was missing or the recording "
                    "stopped on an error.")
    record.add_argument("function", choices=sorted(_INPUTS) + ["all"],
                        help="ea or ead (analog inputs), eb (digital inputs), all (every input)")
    record.add_argument("channels", nargs="*", type=_channel, metavar="CHANNEL",
                        help="analog inputs 0-5 or digital inputs 0-3, or all (the default)")
    record.add_argument("--every", type=_interval, default=_interval("100ms"), metavar="DURATION",
                        help="interval with its unit, e.g. 100ms or 2s (default 100ms)")
    record.add_argument("--rate", type=_rate, metavar="RATE",
                        help="a stream the board times instead, e.g. 1kHz (needs the project's sketch; "
                             "fast rates need a fast line)")
    record.add_argument("--count", type=_count, default=None, metavar="N",
                        help="rows to take (default: until Ctrl-C)")
    record.add_argument("--out", default="-", metavar="FILE",
                        help="CSV file, or a folder for a file named by the local time "
                             "(default: standard output)")
    record.set_defaults(run=_run_record, check=_check_record)


def _check_record(options: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """options.analog and options.digital: the inputs to record."""
    function, chosen = options.function, options.channels
    if function == "all":
        if chosen:
            parser.error("record all takes no channels: it records every input")
        options.analog, options.digital = list(range(ANALOG_INPUTS)), list(range(DIGITAL_INPUTS))
        return
    count = _INPUTS[function]
    channels = []
    for channel in chosen or ["all"]:
        if channel == "all":
            channels += [c for c in range(count) if c not in channels]
        elif not 0 <= channel < count:
            parser.error(f"channel {channel}: {function} has channels 0-{count - 1}")
        elif channel not in channels:
            channels.append(channel)
    options.analog, options.digital = (channels, []) if function != "eb" else ([], channels)


def _header(options: argparse.Namespace) -> list[str]:
    names = ["time", "time_s"] + (["board_time_s", "sample"] if options.rate else [])
    for c in options.analog:
        names += [f"ead {c}", f"ea {c}"]
    return names + [f"eb {c}" for c in options.digital]


def _csv_path(out: str) -> str:
    """out, or in a folder out a file named by the local time."""
    if out != "-" and os.path.isdir(out):
        return os.path.join(out, datetime.now().strftime("board-%Y-%m-%d_%H-%M-%S.csv"))
    return out


class _Recording:
    """The CSV being written: each row flushed as it comes (and synced to
    the disk at most once a second), so a crash loses at most the row in
    progress; a write that fails stops it, and what was written stays."""

    def __init__(self, path: str, stdout: TextIO):
        self.path = path
        self.to_file = path != "-"
        self.out = open(path, "w", encoding="ascii", newline="") if self.to_file else stdout
        self.writer = csv.writer(self.out, lineterminator="\n")
        self.rows = 0
        self._synced = time.monotonic()

    def write(self, rows: list[list]) -> None:
        self.writer.writerows(rows)
        self.out.flush()
        self.rows += len(rows)
        if self.to_file and time.monotonic() - self._synced >= 1.0:
            self._synced = time.monotonic()
            try:
                os.fsync(self.out.fileno())
            except OSError as error:
                if error.errno not in (errno.EINVAL, errno.EROFS):  # a device or a pipe: nothing to sync
                    raise

    def close(self) -> None:
        if self.to_file:
            try:
                self.out.close()
            except OSError:
                pass  # the error being handled already tells what went wrong


def _stop_on_term(signum, frame):
    raise KeyboardInterrupt


def _run_record(options: argparse.Namespace, stdout: TextIO, err: TextIO) -> int:
    path = _csv_path(options.out)
    # The file first: a path that cannot be written is said at once, not after the board's start.
    try:
        recording = _Recording(path, stdout)
        recording.write([_header(options)])
    except OSError as error:
        err.write(f"record: cannot write {shown(path)}: {error.strerror or error}\n")
        return 1
    previous = signal.signal(signal.SIGTERM, _stop_on_term)
    progress = err.isatty() and (recording.to_file or not stdout.isatty())
    try:
        try:
            board = Board(chosen_port(options), library=getattr(options, "library", None),
                          baud=getattr(options, "baud", None))
        except BaseException:
            recording.close()
            if recording.to_file and recording.rows <= 1:
                _remove_partial(path)  # the header alone: nothing of the board's
            raise
        with board:
            record = _record_stream if options.rate else _record_rounds
            return record(board, options, recording, err, progress)
    finally:
        signal.signal(signal.SIGTERM, previous)


def _remove_partial(path: str) -> None:
    # Only a file this run wrote: never a device or what a link leads to.
    try:
        if stat.S_ISREG(os.lstat(path).st_mode):
            os.unlink(path)
    except OSError:
        pass


def _iso(time_ns: int) -> str:
    return local_time(time_ns).isoformat(timespec="microseconds")


def _finish(recording: _Recording, err: TextIO, progress: bool, what: str, status: int) -> int:
    """Closes the file and says what it holds; status is the exit status."""
    recording.close()
    if progress:
        err.write("\n")
    rows = recording.rows - 1
    if recording.to_file:
        err.write(f"record: {what}{rows} rows written to {shown(recording.path)}\n")
    elif what:
        err.write(f"record: {what}{rows} rows\n")
    return status


def _guarded(recording: _Recording, err: TextIO, progress: bool, run: Callable[[], int]) -> int:
    """run() with Ctrl-C and a failed write ending the recording, the rows
    written so far kept."""
    try:
        return _finish(recording, err, progress, "", run())
    except KeyboardInterrupt:
        return _finish(recording, err, progress, "stopped: ", 130)
    except OSError as error:
        if isinstance(error, BoardError):
            err.write(f"record: the board: {why(error)}\n")
        else:
            err.write(f"record: cannot write {shown(recording.path)}: {error.strerror or error}\n")
        return _finish(recording, err, progress, "the recording ends: ", 1)


def _reader(board: Board, options: argparse.Namespace) -> Callable[[], list]:
    """One round: a Reading or a BoardError for each chosen input, analog
    first; one input is asked alone, several in one scan."""
    if len(options.analog) + len(options.digital) == 1:
        read = board.read_analog if options.analog else board.read_digital_reading
        channel = (options.analog or options.digital)[0]

        def one() -> list:
            try:
                return [read(channel)]
            except (NoAnswer, NotAReading, PortError) as error:
                return [error]
        return one

    def scanned() -> list:
        try:
            scan = board.scan()
        except PortError as error:
            return [error] * (len(options.analog) + len(options.digital))
        return [scan.analog[c] for c in options.analog] + [scan.digital[c] for c in options.digital]
    return scanned


def _record_rounds(board: Board, options: argparse.Namespace, recording: _Recording, err: TextIO,
                   progress: bool) -> int:
    read_round = _reader(board, options)
    labels = [f"ead {c}" for c in options.analog] + [f"eb {c}" for c in options.digital]
    analog_flags = [True] * len(options.analog) + [False] * len(options.digital)
    told = set()  # (input, kind of failure) already said
    missing = 0
    told_slow = False

    def run() -> int:
        nonlocal missing, told_slow
        start = time.monotonic()
        start_ns = time.time_ns()
        k = 0
        while options.count is None or k < options.count:
            # On a fixed grid from the start, so slow calls do not drift it;
            # a round slower than the interval is followed at once by the next.
            delay = start + k * options.every - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            asked = time.monotonic()
            entries = read_round()
            took = time.monotonic() - asked
            row_missing = False
            cells = []
            times = []
            for label, entry, analog in zip(labels, entries, analog_flags):
                if isinstance(entry, BoardError):
                    row_missing = True
                    cells += ["", ""] if analog else [""]
                    if (label, type(entry)) not in told:
                        told.add((label, type(entry)))
                        err.write(f"record: {label}: {failure_text(entry)} ({why(entry)}): its cells are left "
                                  "empty\n")
                    continue
                times.append(entry.time_ns)
                cells += [repr(entry.volts), entry.raw] if analog else [entry.raw]
            at_ns = min(times) if times else time.time_ns()
            missing += row_missing
            if took > options.every and not told_slow and not row_missing:
                told_slow = True
                err.write(f"record: one round takes {took * 1000:.0f} ms, longer than --every "
                          f"{options.every * 1000:g}ms: rows follow each other as fast as the board answers\n")
            recording.write([[_iso(at_ns), f"{(at_ns - start_ns) / 1e9:.3f}"] + cells])
            k += 1
            if progress:
                err.write(f"\rrecord: {k}" + (f"/{options.count}" if options.count else "") + " rows\x1b[K")
                err.flush()
        if missing:
            err.write(f"record: {missing} of {k} rows miss a reading (their cells are empty)\n")
            return 1
        return 0
    return _guarded(recording, err, progress, run)


def _record_stream(board: Board, options: argparse.Namespace, recording: _Recording, err: TextIO,
                   progress: bool) -> int:
    try:
        stream = board.stream(options.analog, options.rate, digital=options.digital)
    except NotSupported as error:
        err.write(f"record: --rate needs the project's sketch on the board: {why(error)}\n")
        return _finish(recording, err, False, "", 1)
    except BadValue as error:
        baud, fastest = board.link.baud, FAST_BAUDS[-1]
        advice = f" (the line is at {baud} baud; the fastest: --baud {fastest})" if baud < fastest else ""
        err.write(f"record: {error.reason}{advice}\n")
        return _finish(recording, err, False, "", 1)

    def run() -> int:
        with stream:
            start_ns = None
            for block in stream.blocks():
                if start_ns is None:
                    start_ns = block[0].time_ns
                rows = []
                for sample in block:
                    row = [_iso(sample.time_ns), f"{(sample.time_ns - start_ns) / 1e9:.6f}",
                           f"{sample.board_time_us / 1e6:.6f}", sample.sequence]
                    for c in options.analog:
                        raw = sample.analog[c]
                        row += [repr(raw * FULL_SCALE_V / 1024), raw]
                    row += [sample.digital[c] for c in options.digital]
                    rows.append(row)
                    if options.count is not None and recording.rows + len(rows) > options.count:
                        break
                recording.write(rows[:max(0, options.count - recording.rows + 1)] if options.count else rows)
                if progress:
                    err.write(f"\rrecord: {recording.rows - 1} samples\x1b[K")
                    err.flush()
                if options.count is not None and recording.rows - 1 >= options.count:
                    break
        lost = board.link
        if lost.frames_lost or lost.frames_bad or lost.samples_dropped:
            err.write(f"record: frames lost {lost.frames_lost}, damaged {lost.frames_bad}, samples dropped "
                      f"{lost.samples_dropped}\n")
        return 0
    return _guarded(recording, err, progress, run)


# ports

def _add_ports(commands, where) -> None:
    listing = commands.add_parser(
        "ports", help="list the serial devices, which may be the board, and how to use each",
        description="Lists the serial devices with what the system knows of them (USB ids, maker, "
                    "product, serial number, driver, /dev/serial/by-id/ names), marks those whose "
                    "USB ids are a board's or a usual USB-serial chip's, and says how to use each.")
    listing.set_defaults(run=_run_ports)


def _run_ports(options: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    return ports.print_ports(out, err)


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
    where.add_argument("--device", dest="port", metavar="PATH",
                       help="the board's serial device (default: $ARDUINODRV_PORT, else the one serial "
                            "device whose USB ids are a board's)")
    where.add_argument("--port", dest="port", metavar="PATH", help=argparse.SUPPRESS)  # the old spelling
    where.add_argument("--library", metavar="PATH", help="the libarduinoboard file to load")
    where.add_argument("--baud", type=int, choices=(SLOW_BAUD,) + FAST_BAUDS, metavar="RATE",
                       help="the line's rate where the board runs the project's sketch: 9600 keeps the slow "
                            "line, 250000, 500000 or 1000000 asks for that one (default: the fastest both "
                            "ends agree on); a classic sketch stays at 9600")

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
