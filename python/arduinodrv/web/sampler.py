"""The one loop that drives the board: it reads every input at the pace the
page chose (or as a stream the board times), applies the outputs the pages
ask for between rounds, and hands each round to the server, which never
makes it wait."""

from __future__ import annotations

import collections
import json
import queue
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

from .._holders import why
from ..board import Board
from ..channels import ANALOG_INPUTS, DIGITAL_INPUTS, FULL_SCALE_V
from ..errors import (BadChannel, BadValue, BoardError, NoAnswer, NotAReading, NotStreaming, NotSupported, PortError,
                      Streaming)

# While the board is silent or gone each round asks once and waits out the
# rest of this, so outputs and the page stay responsive; a board that does
# not open is tried again as often.
_IDLE_ROUND_S = 1.0
_RATE_WINDOW_S = 5.0
_PENDING_OUTPUTS = 64
# The pace a page may choose: ms between rounds, 0 as fast as the board
# answers (a scan takes about 50 ms at 9600 baud).
INTERVALS_MS = (0, 100, 200, 500, 1000, 2000, 5000)
# The rates a page may ask the board to stream at (the project's sketch).
STREAM_RATES_HZ = (10, 50, 100, 200, 500, 1000)
# A stream's samples go to the pages in batches this often.
_STREAM_BATCH_S = 0.1


@dataclass
class OutputRequest:
    kind: str      # "sa" (PWM output) or "sb" (digital output)
    channel: int
    value: int
    done: threading.Event = field(default_factory=threading.Event)
    readback: int | None = None  # what the board holds afterwards
    error: str = ""              # why it was not set


class Sampler:
    """Owns the board: opens it (again and again until it opens), reads
    every input each round, and sets the outputs the pages ask for. Each
    round goes to publish (a function that must not wait)."""

    def __init__(self, opener: Callable[[], Board], port: str):
        self._opener = opener
        self.board: Board | None = None
        self.port = port
        self.problem = "not opened yet"  # why there is no board, while there is none
        self.started = time.monotonic()
        self.publish: Callable[[bytes], None] = lambda message: None
        self.pages: Callable[[], int] = lambda: 0
        self.interval_ms = 0
        self.stream_hz: int | None = None  # a stream the board times, when a page asked for one
        self.stream_problem = ""
        self._pace_changed = False
        self._outputs: queue.Queue[OutputRequest] = queue.Queue(_PENDING_OUTPUTS)
        self._stop = threading.Event()
        self._wake = threading.Event()  # an output, a new pace or the stop to see to
        self._thread = threading.Thread(target=self._run, name="board sampler", daemon=True)
        self._round_times: collections.deque[float] = collections.deque()
        self.last_round = b""

    # Settings from the pages.

    def set_pace(self, interval_ms: int | None = None, stream_hz: int | None = None) -> None:
        """Rounds every interval_ms (0: as fast as the board answers), or a
        stream at stream_hz; taken at the next round."""
        if stream_hz is not None:
            self.stream_hz, self.stream_problem = stream_hz, ""
        else:
            self.stream_hz, self.interval_ms = None, interval_ms or 0
        self._pace_changed = True
        self._wake.set()

    # Outputs.

    def request_output(self, request: OutputRequest, timeout: float) -> bool:
        """Queues request for the loop; False when the queue is full or the
        loop did not get to it within timeout."""
        try:
            self._outputs.put_nowait(request)
        except queue.Full:
            return False
        self._wake.set()
        return request.done.wait(timeout)

    def _apply_outputs(self) -> None:
        while True:
            try:
                request = self._outputs.get_nowait()
            except queue.Empty:
                return
            board = self.board
            try:
                if board is None:
                    request.error = self.problem
                elif request.kind == "sa":
                    board.write_pwm(request.channel, request.value)
                    request.readback = board.link.pwm[request.channel]
                else:
                    board.write_digital(request.channel, request.value)
                    request.readback = int(board.link.digital[request.channel])
            except BoardError as error:
                request.error = why(error)
            request.done.set()

    # The loop.

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Ends the loop, which closes the board; the longest request is 6 s."""
        self._stop.set()
        self._wake.set()
        self._thread.join(timeout=10)

    def _rate(self, now: float) -> float:
        """Rounds a second over the last few seconds."""
        self._round_times.append(now)
        while now - self._round_times[0] > _RATE_WINDOW_S:
            self._round_times.popleft()
        span = now - self._round_times[0]
        return (len(self._round_times) - 1) / span if span > 0 else 0.0

    def open(self) -> Exception | None:
        """Opens the board (2 s while it restarts); the error when it does
        not open, whose words are then the problem the page shows."""
        try:
            self.board = self._opener()
        except (BoardError, OSError, ValueError) as error:
            kind = "no library" if isinstance(error, OSError) and not isinstance(error, BoardError) else "no board"
            self.problem = f"{kind}: {why(error)}; tried again every {_IDLE_ROUND_S:g} s"
            return error
        self.port, self.problem = self.board.port, ""
        return None

    @staticmethod
    def _readings(board: Board, round_: dict) -> None:
        """Every input in one scan into round_; the state says what failed."""
        try:
            scan = board.scan()
        except PortError as error:
            round_["state"], round_["problem"] = "missing", why(error)
            return
        times = []
        for kind, entries in (("ea", scan.analog), ("eb", scan.digital)):
            for channel, entry in enumerate(entries):
                if isinstance(entry, NotAReading):
                    round_["state"], round_["problem"] = "garbled", entry.reason
                elif isinstance(entry, NoAnswer):
                    if round_["state"] != "garbled":
                        round_["state"], round_["problem"] = "silent", entry.reason
                elif isinstance(entry, PortError):
                    round_["state"], round_["problem"] = "missing", why(entry)
                elif not isinstance(entry, BoardError):
                    round_[kind][channel] = entry.raw
                    if kind == "ea":
                        round_["ead"][channel] = entry.volts
                    times.append(entry.time_ns)
        if times:
            round_["time_ms"] = min(times) / 1e6

    def _round(self) -> dict:
        round_ = {"state": "answers", "problem": "", "ea": [None] * ANALOG_INPUTS, "ead": [None] * ANALOG_INPUTS,
                  "eb": [None] * DIGITAL_INPUTS, "rsa": None, "rsb": None, "restarted_at": None,
                  "time_ms": time.time_ns() / 1e6}
        if self.board is None:
            self.open()
        board = self.board
        if board is None:
            round_["state"], round_["problem"] = "missing", self.problem
        else:
            self._readings(board, round_)
        self._apply_outputs()
        self._describe(round_)
        return round_

    def _describe(self, round_: dict) -> None:
        """What every message carries beside its readings: the outputs as the
        board holds them, the link, the pace."""
        board = self.board
        if board is not None and not board.closed:
            # The outputs as the board holds them: all off after it restarted.
            link = board.link
            round_["rsa"] = list(link.pwm)
            round_["rsb"] = [int(level) for level in link.digital]
            if link.restarted:
                round_["restarted_at"] = link.opened_ns // 1_000_000
            round_.update(sketch=link.sketch, baud=link.baud)
        now = time.monotonic()
        round_.update(t=round(now - self.started, 3), port=self.port, rate=round(self._rate(now), 2),
                      pages=self.pages(), interval_ms=self.interval_ms, stream_hz=self.stream_hz,
                      stream_problem=self.stream_problem)

    def _stream(self, board: Board) -> None:
        """A stream at stream_hz until the page asks for rounds again or the
        stream fails; its samples go out in batches, each sample [time in
        ms, 6 volts, 4 levels], and the outputs asked for meanwhile are set
        between two batches while it goes on."""
        hz = self.stream_hz
        try:
            stream = board.stream(range(ANALOG_INPUTS), hz, digital=range(DIGITAL_INPUTS))
        except (NotSupported, BadValue, BadChannel, Streaming) as error:
            self.stream_hz, self.stream_problem = None, f"no stream at {hz} Hz: {why(error)}"
            return
        except (NoAnswer, PortError):
            # A round says what became of the board; the start is tried
            # again a round later, not at once over and over.
            started = time.monotonic()
            self._publish(self._round())
            self._pause_until(started + _IDLE_ROUND_S)
            return
        try:
            with stream:
                while not self._stop.is_set() and self.stream_hz == hz:
                    self._apply_outputs()
                    batch, until = [], time.monotonic() + _STREAM_BATCH_S
                    while time.monotonic() < until:
                        batch += stream.read(max(0.0, until - time.monotonic()))
                    round_ = {"state": "answers", "problem": "", "stream": [
                        [s.time_ns / 1e6] + [raw * FULL_SCALE_V / 1024 for raw in s.analog]
                        + list(s.digital) for s in batch]}
                    if batch:
                        last = batch[-1]
                        round_.update(ea=list(last.analog), eb=list(last.digital), time_ms=last.time_ns / 1e6,
                                      ead=[raw * FULL_SCALE_V / 1024 for raw in last.analog])
                    self._describe(round_)
                    round_["rate"] = round(len(batch) / _STREAM_BATCH_S, 1)
                    self._publish(round_)
        except (NoAnswer, PortError, NotStreaming) as error:
            self.stream_problem = f"the stream stopped: {why(error)}"

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                started = time.monotonic()
                self._wake.clear()  # what comes from here on is seen to next round
                self._pace_changed = False
                if self.stream_hz and self.board is not None:
                    try:
                        self._stream(self.board)
                    except Exception as error:  # a fault here must not end the page's board
                        self.stream_hz, self.stream_problem = None, f"the stream failed: {error}"
                    self._apply_outputs()
                    continue
                try:
                    round_ = self._round()
                except Exception as error:  # a fault here must not end the page's board
                    round_ = {"t": round(time.monotonic() - self.started, 3), "state": "error",
                              "error": str(error)}
                self._publish(round_)
                pause = self.interval_ms / 1000
                if round_["state"] not in ("answers", "garbled"):
                    # Nothing paces the loop when no board answers: a round a
                    # second, or at once for an output a page asks for.
                    pause = max(pause, _IDLE_ROUND_S)
                self._pause_until(started + pause)
        finally:
            if self.board is not None:
                self.board.close()

    def _pause_until(self, deadline: float) -> None:
        """Waits for the next round, setting outputs as they are asked for; a
        new pace or the stop ends the wait."""
        while not self._stop.is_set() and not self._pace_changed:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self._wake.wait(remaining):
                return
            self._wake.clear()
            self._apply_outputs()

    def _publish(self, round_: dict) -> None:
        message = f"data: {json.dumps(round_, separators=(',', ':'))}\n\n".encode("ascii")
        self.last_round = message
        self.publish(message)
