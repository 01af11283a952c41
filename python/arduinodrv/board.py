"""A board as an object of its own, on libarduinoboard: several in one
program, a status for every request, the time with every reading."""

from __future__ import annotations

import ctypes
import errno
import math
import numbers
import os
import re
import sys
import threading
import time
import weakref
from dataclasses import dataclass
from datetime import datetime, timezone

from . import _board_library as _lib
from .channels import ANALOG_INPUTS, ANALOG_OUTPUTS, DIGITAL_INPUTS, DIGITAL_OUTPUTS, FULL_SCALE_V, PWM_HIGHEST
from .errors import (BadChannel, BadValue, BoardClosed, BoardError, NoAnswer, NoMemory, NotAReading, NotStreaming,
                     NotSupported, PortError, Streaming, board_error)

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1
_LONGEST_S = 60.0  # the library's limit for either wait
# The fast line's rates (FAST LINE in arduinoboard.h): None takes the fastest
# both ends agree on, 9600 stays at 9600, one of these asks for that one.
FAST_BAUDS = (250000, 500000, 1000000)
SLOW_BAUD = 9600
# The longest a wait in the library lasts before Python looks again: a
# KeyboardInterrupt, or a close from another thread, is seen this soon.
_SLICE_MS = 250
# Each input's part of a scan's reason.
_SCAN_REASON = re.compile(r"(analog|digital) input (\d+): (.*?)(?=; (?:analog|digital) input \d+: |$)")


def local_time(time_ns: int) -> datetime:
    """A CLOCK_REALTIME time in ns as an aware datetime in the local time zone
    (to the microsecond)."""
    seconds, ns = divmod(time_ns, 1_000_000_000)
    utc = datetime.fromtimestamp(seconds, timezone.utc).replace(microsecond=ns // 1000)
    return utc.astimezone()


@dataclass(frozen=True)
class Reading:
    """One reading: raw (0-1023 for an analog input, 0 or 1 for a digital
    one), volts (raw x 5 / 1024; 0 or 5 for a digital input), time_ns
    (the system time in ns since 1970 when the answer's end arrived) and
    round_trip (seconds from the command's first byte written to the
    answer's end). time is time_ns as an aware datetime, local time zone."""

    raw: int
    volts: float
    time_ns: int
    round_trip: float

    @property
    def time(self) -> datetime:
        return local_time(self.time_ns)


@dataclass(frozen=True)
class Link:
    """What the library knows of the link with the board, at one moment.

    connected: the device is open now; it changes as soon as the library
    sees the device hang up or come back, without a request. opens: opens
    since the Board opened, the first included: each later one is the
    device back after it went away (or its port reopened).
    requests: requests sent; no_answer and not_a_reading: those of them that
    failed so (an output the board did not confirm counts as no_answer);
    no_port: requests refused while the device was gone.
    pwm and digital: what the outputs hold as far as the library knows:
    what the board confirmed it set (with a classic sketch, which confirms
    nothing, what the device took), all off once the board restarted.
    opened_ns and last_answer_ns: the system time in ns of the last open
    and of the last right answer (0: none yet). baud: the line's rate now;
    sketch: the protocol version of the project's sketch on the board (3),
    0 for a classic sketch. frames_lost and frames_bad: stream frames
    missing (a gap in their numbers) and damaged (their check failed, or
    their board time went back); samples_dropped: stream samples the
    program did not read in time."""

    connected: bool
    opens: int
    requests: int
    no_answer: int
    not_a_reading: int
    no_port: int
    pwm: tuple
    digital: tuple
    opened_ns: int
    last_answer_ns: int
    baud: int
    sketch: int
    frames_lost: int = 0
    frames_bad: int = 0
    samples_dropped: int = 0

    @property
    def restarted(self) -> bool:
        """The device was opened again since the Board opened (the board
        restarted then, unless the project's sketch's uptime said otherwise;
        pwm and digital tell what it holds)."""
        return self.opens > 1

    @property
    def opened(self) -> datetime:
        """When the device was last opened: the board restarted then."""
        return local_time(self.opened_ns)

    @property
    def last_answer(self) -> datetime | None:
        return local_time(self.last_answer_ns) if self.last_answer_ns else None


def _int(value: object, name: str, error: type) -> int:
    """value as a C int; bool, float and str are refused (TypeError), ints
    beyond 32 bits are error, which they are for the board too."""
    if type(value) is not int:
        if isinstance(value, bool) or not hasattr(type(value), "__index__"):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        value = value.__index__()
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise board_error(error, f"{name} {value} is out of range", None)
    return value


def _seconds(value: object, name: str, lowest: float) -> int:
    """A time option in seconds, as the library's whole ms."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if not lowest <= seconds <= _LONGEST_S:  # NaN too
        raise ValueError(f"{name} {value!r} s is outside {lowest:g}-{_LONGEST_S:g} s")
    return max(round(seconds * 1000), 1 if lowest > 0 else 0)


def _port_argument(port: object) -> bytes | None:
    if port is None:
        return None
    if not isinstance(port, (str, bytes, os.PathLike)):
        raise TypeError(f"port must be a device path (str, bytes or os.PathLike), not {type(port).__name__}")
    path = os.fsencode(port)
    if not path:
        raise ValueError("port is an empty path (None finds the board)")
    if b"\0" in path:
        raise ValueError(f"port {os.fsdecode(path)!r} holds a zero byte")
    return path


# What each status of a request raises; the OSErrors with their errno.
_REQUEST_ERRORS = {
    _lib.NO_ANSWER: (NoAnswer, errno.ETIMEDOUT),
    _lib.NOT_A_READING: (NotAReading, 0),
    _lib.NO_PORT: (PortError, errno.ENOENT),
    _lib.PORT_BUSY: (PortError, errno.EBUSY),
    _lib.NO_PERMISSION: (PortError, errno.EACCES),
    _lib.NOT_A_PORT: (PortError, errno.ENOTTY),
    _lib.SEVERAL_PORTS: (PortError, errno.ENOTUNIQ),
    _lib.BAD_CHANNEL: (BadChannel, 0),
    _lib.BAD_VALUE: (BadValue, 0),
    _lib.BAD_ARGUMENT: (BoardClosed, 0),  # the board closed while the call waited for it
    _lib.NOT_SUPPORTED: (NotSupported, errno.ENOTSUP),
    _lib.STREAMING: (Streaming, 0),
    _lib.NO_MEMORY: (NoMemory, 0),
    _lib.NOT_STREAMING: (NotStreaming, 0),
}
# At the open, a bad argument is a path that cannot be one, a bad value an
# option out of range.
_OPEN_ERRORS = {**_REQUEST_ERRORS, _lib.BAD_ARGUMENT: (PortError, errno.EINVAL), _lib.BAD_VALUE: (ValueError, 0)}


def _failure(library: _lib.BoardLibrary, status: int, port: str | None, errors: dict) -> Exception:
    """The exception for a failed call: this thread's reason from the library,
    without the path in front that the exception carries itself."""
    reason = library.last_error()
    if port is not None and reason.startswith(port + ": "):
        reason = reason[len(port) + 2:]
    kind, code = errors.get(status, (BoardError, 0))
    if kind is ValueError:
        return ValueError(reason)
    return board_error(kind, reason or library.ab_status_text(status).decode("ascii", "replace"), port, code)


class _Handle:
    """The library's handle of one board, closed by close(), or when the
    Board is collected or the program ends.

    It is dropped only once ab_close has returned, so an exception (a
    KeyboardInterrupt) anywhere in close() leaves the board either open or
    closed; closing a closed handle again does nothing in the library,
    which never gives a handle twice."""

    def __init__(self, library: _lib.BoardLibrary):
        self.library = library
        self.board = _lib.BOARD()  # ab_open sets it

    @property
    def value(self) -> int | None:
        return self.board.value

    def close(self) -> None:
        value = self.board.value
        if value is not None:
            self.library.ab_close(value)
            self.board.value = None

    def now(self, port: str | None) -> int:
        """The handle, or BoardClosed."""
        value = self.board.value
        if value is None:
            raise board_error(BoardClosed, "the Board is closed", port)
        return value


class Board:
    """A board on a serial device, through libarduinoboard.

    Board("/dev/ttyACM0") opens that device (any path: a
    /dev/serial/by-id/ name, a link of your own); Board() opens the one
    device whose USB ids are a board's or a usual USB-serial chip's. The
    open waits start seconds (2) while the board restarts: opening its port
    resets it, with every output off. timeout is the limit for each answer
    (1 s). With exclusive (the default) the device is this Board's alone:
    another program or another Board opening it gets PortError (EBUSY).
    baud is the line's rate where the board's sketch is the project's: None
    (the default) the fastest both ends agree on, 9600 the slow line, or
    250000, 500000 or 1000000 that one alone; a classic sketch, or a board
    that does not follow, stays at 9600 (link.baud tells).
    library names a libarduinoboard file to load instead of the one found
    beside an install of this package, in the build tree it sits in, or by
    the system's loader.

    Every request that does not give what was asked raises a BoardError:
    NoAnswer (a TimeoutError) when the board sent no whole answer in time
    (or did not confirm an output), NotAReading (a ValueError) for an
    answer that is not a reading, PortError (an OSError naming the path and
    the reason) when the device is missing, unplugged, busy or no serial
    device, BadChannel and BadValue (ValueErrors) for a channel or a value
    the board lacks, before anything is sent. NotSupported (an OSError,
    ENOTSUP) is what a classic sketch cannot do (streams), Streaming a
    second stream while one runs; requests go on during a stream. Channels
    and values are ints: a bool, a float or a str is a TypeError. A device
    that went away is opened again by the library every 0.5 s; link and
    the events (next_event, events, on_event) tell when it did.

    Several Boards may be open in one program, and each may be used from
    several threads: the library takes requests on one board one at a time.
    close() (or the end of a with block, or the Board's collection) closes
    the device; it waits for a request in progress, and calls waiting for it
    or made afterwards raise BoardClosed (a ValueError). An exception in the
    middle of any call, a KeyboardInterrupt too, leaves the Board usable and
    closable. In a child forked after the open, requests raise PortError
    (EBUSY): the board is the parent's.
    """

    ANALOG_INPUTS = ANALOG_INPUTS
    DIGITAL_INPUTS = DIGITAL_INPUTS
    PWM_OUTPUTS = ANALOG_OUTPUTS
    DIGITAL_OUTPUTS = DIGITAL_OUTPUTS

    def __init__(self, port: str | bytes | os.PathLike | None = None, *, timeout: float = 1.0, start: float = 2.0,
                 exclusive: bool = True, baud: int | None = None, library: str | os.PathLike | None = None):
        self._handle = None
        self._port = None
        self._stream = None  # the Stream last started
        self._start_cut_short = False  # an exception came out of a stream's start
        path = _port_argument(port)
        chosen = (_seconds(timeout, "timeout", 0.001), _seconds(start, "start", 0.0), _flag(exclusive, "exclusive"))
        self._library = library = _lib.load(library)
        # From the library's defaults, so that what this package does not set keeps them.
        options = _lib.COptions()
        library.ab_default_options(ctypes.byref(options))
        options.timeout_ms, options.start_ms, options.exclusive = chosen
        options.baud = _baud(baud)
        self._timeout = options.timeout_ms / 1000
        # The finalizer comes first: a handle the open gave is closed with
        # this object even when an exception came between the open's return
        # and here.
        self._handle = handle = _Handle(library)
        self._finalizer = weakref.finalize(self, handle.close)
        status = library.ab_open(path, ctypes.byref(options), ctypes.byref(handle.board))
        if status != _lib.OK:
            raise _failure(library, status, None if path is None else os.fsdecode(path), _OPEN_ERRORS)
        self._port = os.fsdecode(library.ab_port(handle.value) or path or b"")

    # Open and closed.

    @property
    def port(self) -> str:
        """The device the board is on, as opened (also after Board())."""
        return self._port

    @property
    def library(self) -> str:
        """The libarduinoboard file this Board uses."""
        return self._library.path

    @property
    def timeout(self) -> float:
        """The limit for each answer, in seconds."""
        return self._timeout

    @property
    def closed(self) -> bool:
        return self._handle is None or self._handle.value is None

    def close(self) -> None:
        """Closes the device, after the request in progress; requests that
        wait for it raise BoardClosed. Closing again does nothing."""
        if self._handle is not None:
            self._handle.close()

    def __enter__(self) -> "Board":
        self._handle_now()
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        return f"Board({self._port!r}{state})"

    def _handle_now(self) -> int:
        if self._handle is None:
            raise board_error(BoardClosed, "the Board is closed", self._port)
        return self._handle.now(self._port)

    def _request(self, function, *arguments) -> None:
        # The library takes the calls on one board one at a time and answers
        # a closed handle with AB_BAD_ARGUMENT: nothing to hold here, so an
        # exception between two lines leaves nothing held.
        status = function(self._handle_now(), *arguments)
        if status != _lib.OK:
            raise _failure(self._library, status, self._port, _REQUEST_ERRORS)

    # Inputs.

    def read_analog(self, channel: int) -> Reading:
        """Analog input channel (0-5, pins A0-A5): a Reading with the raw
        value (0-1023), the volts, its time and round trip."""
        reading = _lib.CReading()
        self._request(self._library.ab_read_analog, _int(channel, "channel", BadChannel), ctypes.byref(reading))
        return Reading(reading.raw, reading.volts, reading.time_ns, reading.round_trip_ns / 1e9)

    def read_volts(self, channel: int) -> float:
        """Analog input channel (0-5) in volts (raw x 5 / 1024)."""
        return self.read_analog(channel).volts

    def read_digital_reading(self, channel: int) -> Reading:
        """Digital input channel (0-3, pins 2, 4, 7, 8): a Reading with raw 0
        or 1, its time and round trip."""
        reading = _lib.CReading()
        self._request(self._library.ab_read_digital, _int(channel, "channel", BadChannel), ctypes.byref(reading))
        return Reading(reading.raw, reading.volts, reading.time_ns, reading.round_trip_ns / 1e9)

    def read_digital(self, channel: int) -> bool:
        """Digital input channel (0-3, pins 2, 4, 7, 8): True when high."""
        return self.read_digital_reading(channel).raw == 1

    def scan(self) -> "Scan":
        """Every input in one exchange (about 38 ms at 9600 baud with the
        project's sketch, 50 ms with a classic one): a Scan whose analog and
        digital entries are each a Reading or the BoardError that input got.
        Raises only when no input could be asked: the device gone
        (PortError), the Board closed."""
        result = _lib.CScanResult()
        status = self._library.ab_scan(self._handle_now(), ctypes.byref(result))
        statuses = list(result.analog_status) + list(result.digital_status)
        if status != _lib.OK and all(s == status for s in statuses) and status not in (
                _lib.NO_ANSWER, _lib.NOT_A_READING):
            raise _failure(self._library, status, self._port, _REQUEST_ERRORS)
        # "<path>: analog input 2: why; digital input 0: why"
        reasons = {f"{m.group(1)} input {m.group(2)}": m.group(3)
                   for m in _SCAN_REASON.finditer(self._library.last_error())}

        def entry(kind: str, channel: int, reading: _lib.CReading, status: int) -> Reading | BoardError:
            if status == _lib.OK:
                return Reading(reading.raw, reading.volts, reading.time_ns, reading.round_trip_ns / 1e9)
            reason = reasons.get(f"{kind} input {channel}")
            if reason is None or status == _lib.NO_ANSWER:
                reason = (f"no whole answer within {round(self._timeout * 1000)} ms" if status == _lib.NO_ANSWER
                          else self._library.ab_status_text(status).decode("ascii", "replace"))
            error_kind, code = _REQUEST_ERRORS.get(status, (BoardError, 0))
            return board_error(error_kind, reason, self._port, code)

        return Scan(tuple(entry("analog", c, r, s) for c, (r, s) in enumerate(zip(result.analog,
                                                                                   result.analog_status))),
                    tuple(entry("digital", c, r, s) for c, (r, s) in enumerate(zip(result.digital,
                                                                                    result.digital_status))))

    # Streams.

    def stream(self, channels=(), rate_hz: float = 100.0, *, digital=()) -> "Stream":
        """Has the board sample analog inputs channels (and digital inputs
        digital) on its own timer, rate_hz times a second: a Stream to
        iterate (one Sample at a time) or to read in blocks, until its
        stop() or the end of its with block; other requests go on
        meanwhile. Needs the project's sketch (NotSupported otherwise); a
        rate the line cannot carry is BadValue (Board(baud=9600) is the slow
        line); Streaming while another stream of this Board runs."""
        analog_mask = _mask(channels, ANALOG_INPUTS, "channels")
        digital_mask = _mask(digital, DIGITAL_INPUTS, "digital")
        if isinstance(rate_hz, bool) or not isinstance(rate_hz, numbers.Real):
            raise TypeError(f"rate_hz must be a number, not {type(rate_hz).__name__}")
        if not 0.0 < float(rate_hz) <= 1e6:  # NaN too
            raise board_error(BadValue, f"a rate of {rate_hz!r} Hz is outside 0-1000000 Hz", self._port)
        interval_us = max(1, round(1e6 / float(rate_hz)))
        stream = Stream(self, analog_mask, digital_mask, interval_us)
        handle = self._handle_now()
        try:
            status = self._library.ab_stream_start(handle, analog_mask, digital_mask, interval_us)
        except BaseException:
            # Cut short, maybe once the board had started: a stream that no
            # Stream stands for, which the next start ends.
            self._start_cut_short = True
            raise
        if status == _lib.STREAMING and self._start_cut_short and (self._stream is None or not self._stream.running):
            self._library.ab_stream_stop(handle)
            status = self._library.ab_stream_start(handle, analog_mask, digital_mask, interval_us)
        if status != _lib.OK:
            raise _failure(self._library, status, self._port, _REQUEST_ERRORS)
        # Nothing from a start's OK to here calls anything, so nothing cuts
        # it short: a start that took is this Stream, or left the flag set.
        self._start_cut_short = False
        self._stream = stream
        return stream

    # Outputs.

    def write_pwm(self, channel: int, duty: int) -> None:
        """Sets PWM output channel (0-3, pins 3, 5, 6, 9) to duty (0-255)."""
        self._request(self._library.ab_write_pwm, _int(channel, "channel", BadChannel), _int(duty, "duty", BadValue))

    def write_volts(self, channel: int, volts: float) -> int:
        """Sets PWM output channel (0-3) to volts (0-5 V), as the duty
        round(volts x 255 / 5), which it returns."""
        duty = volts_to_duty(volts)
        self.write_pwm(channel, duty)
        return duty

    def write_digital(self, channel: int, on: bool) -> None:
        """Switches digital output channel (0-3, pins 10-13) on (True or 1)
        or off (False or 0)."""
        level = 1 if on is True else 0 if on is False else _int(on, "on", BadValue)
        self._request(self._library.ab_write_digital, _int(channel, "channel", BadChannel), level)

    # The link.

    @property
    def link(self) -> Link:
        """The link now (see Link); never waits for the board."""
        state = _lib.CLink()
        self._request(self._library.ab_link_state, ctypes.byref(state))
        return Link(bool(state.connected), state.opens, state.requests, state.no_answer, state.not_a_reading,
                    state.no_port, tuple(state.pwm), tuple(bool(level) for level in state.digital),
                    state.opened_ns, state.last_answer_ns, state.baud, state.sketch, state.frames_lost,
                    state.frames_bad, state.samples_dropped)

    # Events.

    @property
    def event_fd(self) -> int:
        """A descriptor that is readable while events wait, for select,
        selectors or a main loop: take them with next_event, never read it.
        -1 once the Board is closed, and in a forked child."""
        handle = None if self._handle is None else self._handle.value
        return -1 if handle is None else self._library.ab_event_fd(handle)

    def next_event(self, timeout: float = 0.0) -> Event | None:
        """The oldest event not taken yet (see Event), waiting up to timeout
        seconds for one; None when none came. Each event goes to one taker:
        next_event, events() and on_event share them."""
        return _next_event(self._library, self._handle, self._port, _wait_seconds(timeout, "timeout"))

    def events(self, timeout: float | None = None):
        """Yields the events as they come, until the Board closes (timeout
        None) or until none came for timeout seconds."""
        # Checked now, not at the first event.
        wait_s = math.inf if timeout is None else _wait_seconds(timeout, "timeout")

        def taken():
            while True:
                try:
                    event = _next_event(self._library, self._handle, self._port, wait_s)
                except BoardClosed:
                    return
                if event is None:
                    return
                yield event
        return taken()

    def on_event(self, callback) -> "EventWatch":
        """Calls callback(event) from a daemon thread for each event, until
        the Board closes or the returned EventWatch's cancel(). An exception
        of the callback goes to threading.excepthook, and the calls go on."""
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        self._handle_now()
        return EventWatch(self, callback)


@dataclass(frozen=True)
class Scan:
    """Every input at once: analog (6) and digital (4) entries, each a
    Reading or the BoardError that input got (NoAnswer, NotAReading, ...)."""

    analog: tuple
    digital: tuple

    @property
    def complete(self) -> bool:
        """Every input gave its reading."""
        return not any(isinstance(entry, BoardError) for entry in self.analog + self.digital)

    @property
    def errors(self) -> list[BoardError]:
        return [entry for entry in self.analog + self.digital if isinstance(entry, BoardError)]


@dataclass(frozen=True)
class Sample:
    """One sample set of a stream. sequence: the board's frame number;
    board_time_us: the board's clock when it sampled; time_ns: the system
    time when the frame arrived. analog (6) and digital (4): the raw values
    of the inputs the stream takes, None for the others."""

    sequence: int
    board_time_us: int
    time_ns: int
    analog: tuple
    digital: tuple

    @property
    def volts(self) -> tuple:
        return tuple(None if raw is None else raw * FULL_SCALE_V / 1024 for raw in self.analog)

    @property
    def time(self) -> datetime:
        return local_time(self.time_ns)


class Stream:
    """A stream the board times (Board.stream): iterate it for its Samples,
    or read() them in blocks; stop() (or the end of a with block) ends it
    and gives the samples not read yet. Requests on the board go on
    meanwhile. A board that stops sending raises NoAnswer (the stream goes
    on should it send again), one unplugged PortError once, after the
    samples that came before; iterating ends when the stream has ended."""

    _BLOCK = 256

    def __init__(self, board: Board, analog_mask: int, digital_mask: int, interval_us: int):
        self.board = board
        self.analog_mask, self.digital_mask = analog_mask, digital_mask
        self.interval_us = interval_us
        self.stopped = False
        self._ended = False  # the library said the stream is over
        self._buffers = threading.local()  # a thread's read must not write into another's samples

    @property
    def rate_hz(self) -> float:
        return 1e6 / self.interval_us

    @property
    def channels(self) -> tuple:
        return tuple(c for c in range(ANALOG_INPUTS) if self.analog_mask >> c & 1)

    @property
    def digital(self) -> tuple:
        return tuple(c for c in range(DIGITAL_INPUTS) if self.digital_mask >> c & 1)

    @property
    def running(self) -> bool:
        """Neither stopped nor ended (unplugged, or the board restarted) as
        far as its reads have told."""
        return not self.stopped and not self._ended

    def read(self, timeout: float = 1.0) -> list[Sample]:
        """The samples that have come, at most 256; waits up to timeout
        seconds for the first ([] when none came). Once the stream has ended
        by itself, its last samples come first, then the reason once
        (PortError when unplugged, NoAnswer when the board restarted), then
        NotStreaming. BoardClosed after stop()."""
        board = self.board
        if self.stopped:
            raise board_error(BoardClosed, "the stream is stopped", board._port)
        deadline = time.monotonic() + _seconds(timeout, "timeout", 0.0) / 1000
        while True:
            left_ms = max(0, math.ceil((deadline - time.monotonic()) * 1000))
            samples, status = self._take(board._handle_now(), min(left_ms, _SLICE_MS))
            if samples:
                return samples
            if status != _lib.OK:
                if status in (_lib.NO_PORT, _lib.NOT_STREAMING):
                    self._ended = True
                raise _failure(board._library, status, board._port, _REQUEST_ERRORS)
            if left_ms <= _SLICE_MS:
                return []

    def _take(self, handle: int, wait_ms: int) -> tuple[list[Sample], int]:
        buffer = getattr(self._buffers, "samples", None)
        if buffer is None:
            buffer = self._buffers.samples = (_lib.CSample * self._BLOCK)()
        count = ctypes.c_size_t()
        status = self.board._library.ab_stream_read(handle, buffer, self._BLOCK, wait_ms, ctypes.byref(count))
        return [self._sample(buffer[k]) for k in range(count.value)], status

    def _sample(self, c: _lib.CSample) -> Sample:
        analog = tuple(c.analog[k] if c.analog_mask >> k & 1 else None for k in range(ANALOG_INPUTS))
        digital = tuple((c.digital >> k & 1) if self.digital_mask >> k & 1 else None for k in range(DIGITAL_INPUTS))
        return Sample(c.sequence, c.board_time_us, c.time_ns, analog, digital)

    def blocks(self):
        """Yields each block of samples as it comes (never an empty one),
        until the stream is stopped or has ended."""
        while not self.stopped:
            try:
                block = self.read(_SLICE_MS / 1000)
            except NotStreaming:
                return  # stopped from another thread, or its end already told
            except BoardClosed:
                if self.stopped:
                    return
                raise
            if block:
                yield block

    def __iter__(self):
        for block in self.blocks():
            yield from block

    def stop(self) -> list[Sample]:
        """Ends the stream (the board says so within 500 ms) and returns the
        samples that came before the stop and were not read yet, oldest
        first. Stopping again, or a stream that ended by itself and said so,
        gives []; a stream of a Board that is closed too. NoAnswer when the
        board never confirmed the stop: the stream ends all the same, and
        the exception's samples are those not read."""
        if self.stopped:
            return []
        board = self.board
        handle = None if board._handle is None else board._handle.value
        if handle is None or board._stream is not self:
            # Closed with its Board, or a later stream replaced it: a stop
            # now would end that one.
            self.stopped = True
            return []
        status = board._library.ab_stream_stop(handle)
        if status == _lib.BAD_ARGUMENT:
            self.stopped = True  # closed meanwhile: nothing left to read
            return []
        failure = None
        if status not in (_lib.OK, _lib.NOT_STREAMING):
            failure = _failure(board._library, status, board._port, _REQUEST_ERRORS)
            if status == _lib.PORT_BUSY:
                raise failure  # a forked child's: the stream is the parent's
        samples = []
        while True:  # what came before the stop, until the library says there is no stream
            block, status = self._take(handle, 0)
            samples += block
            if status != _lib.OK or not block:
                break
        # Only now: an exception before this leaves the stop to be asked again.
        self.stopped = True
        if failure is not None:
            failure.samples = samples
            raise failure
        return samples

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exception) -> None:
        try:
            self.stop()
        except BoardError:
            if exception[0] is None:
                raise


_EVENT_KINDS = {_lib.EVENT_ATTACHED: "attached", _lib.EVENT_DETACHED: "detached", _lib.EVENT_RESTARTED: "restarted",
                _lib.EVENT_RATE_CHANGED: "rate_changed", _lib.EVENT_STREAM_ENDED: "stream_ended"}


@dataclass(frozen=True)
class Event:
    """Something that happened to the board, as the library saw it, without
    a request. kind: "detached" (the device went away), "attached" (it is
    open again), "restarted" (the board restarted: every output is off),
    "rate_changed" (value: the line's rate now) or "stream_ended" (value:
    the status the stream's reads then give, 0 when the program stopped it,
    3 unplugged, 1 the board stopped sending); a kind this package does not
    know yet is "kind N". time_ns: the system time in ns when the library
    saw it; missed: events lost before this one (the library keeps the 256
    latest)."""

    kind: str
    value: int
    time_ns: int
    missed: int = 0

    @property
    def time(self) -> datetime:
        return local_time(self.time_ns)


def _wait_seconds(value: object, name: str) -> float:
    """A wait in seconds, 0 or more (math.inf: no end)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if not seconds >= 0.0:  # NaN too
        raise ValueError(f"{name} {value!r} s is not a wait")
    return seconds


def _next_event(library: _lib.BoardLibrary, handle: _Handle, port: str | None, wait_s: float,
                cancelled: threading.Event | None = None) -> Event | None:
    """The oldest event, waiting up to wait_s seconds (math.inf: until one
    comes), in slices; None when none came or cancelled was set."""
    deadline = time.monotonic() + wait_s
    event = _lib.CEvent()
    while True:
        left_ms = _SLICE_MS + 1 if wait_s == math.inf else max(0, math.ceil((deadline - time.monotonic()) * 1000))
        status = library.ab_next_event(handle.now(port), ctypes.byref(event), min(left_ms, _SLICE_MS))
        if status != _lib.OK:
            raise _failure(library, status, port, _REQUEST_ERRORS)
        if event.kind != _lib.EVENT_NONE:
            return Event(_EVENT_KINDS.get(event.kind, f"kind {event.kind}"), event.value, event.time_ns, event.missed)
        if left_ms <= _SLICE_MS or (cancelled is not None and cancelled.is_set()):
            return None


class EventWatch:
    """Board.on_event's calls of a callback, from a daemon thread of their
    own, until the Board closes or cancel()."""

    def __init__(self, board: Board, callback):
        self._library, self._handle, self._port = board._library, board._handle, board._port
        self._callback = callback
        self._cancelled = threading.Event()
        # The thread holds the handle, not the Board: a Board dropped
        # without close() is still collected, and closed, which ends it.
        self._thread = threading.Thread(target=self._run, name=f"board events {board._port}", daemon=True)
        self._thread.start()

    @property
    def active(self) -> bool:
        """The thread still waits for events (neither cancelled nor closed)."""
        return self._thread.is_alive()

    def cancel(self) -> None:
        """Ends the calls: none begins once this returns (from the callback
        itself, none after the one in progress)."""
        self._cancelled.set()
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def _run(self) -> None:
        while not self._cancelled.is_set():
            try:
                event = _next_event(self._library, self._handle, self._port, _SLICE_MS / 1000, self._cancelled)
            except BoardClosed:
                return
            except BoardError:
                # Not meant to happen (no memory, say): told, and tried again.
                self._report()
                self._cancelled.wait(_SLICE_MS / 1000)
                continue
            if event is None or self._cancelled.is_set():
                continue
            try:
                self._callback(event)
            except Exception:
                self._report()

    def _report(self) -> None:
        threading.excepthook(threading.ExceptHookArgs((*sys.exc_info(), self._thread)))


def _mask(channels, count: int, name: str) -> int:
    if isinstance(channels, int):
        channels = (channels,)
    mask = 0
    for channel in channels:
        channel = _int(channel, name, BadChannel)
        if not 0 <= channel < count:
            raise board_error(BadChannel, f"{name}: no input {channel} (0-{count - 1})", None)
        mask |= 1 << channel
    return mask


def _baud(baud: object) -> int:
    if baud is None:
        return 0
    if type(baud) is not int or baud not in (9600,) + FAST_BAUDS:
        raise ValueError(f"baud must be None, 9600 or one of {', '.join(map(str, FAST_BAUDS))}, not {baud!r}")
    return baud


def volts_to_duty(volts: float) -> int:
    """0-5 V as a PWM duty 0-255, rounded half up; BadValue for NaN, an
    infinity or a voltage outside 0-5 V."""
    if isinstance(volts, bool) or not isinstance(volts, numbers.Real):
        raise TypeError(f"volts must be a real number, not {type(volts).__name__}")
    try:
        value = float(volts)
    except OverflowError:
        value = math.inf
    if not 0.0 <= value <= FULL_SCALE_V:  # NaN too
        raise board_error(BadValue, f"{volts!r} V is outside 0-{FULL_SCALE_V:g} V", None)
    return math.floor(value * PWM_HIGHEST / FULL_SCALE_V + 0.5)


def _flag(value: object, name: str) -> int:
    if type(value) is bool or (type(value) is int and value in (0, 1)):
        return int(value)
    raise TypeError(f"{name} must be True or False, not {value!r}")

