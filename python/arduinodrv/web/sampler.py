"""The one loop that drives the board: it reads every input at the board's
pace, applies the outputs the pages ask for between readings, and hands
each round of readings to every open page without ever waiting for one."""

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
from ..channels import ANALOG_INPUTS, DIGITAL_INPUTS
from ..errors import BoardError, NoAnswer, NotAReading, PortError

# While the board is silent or gone each round asks once and waits out the
# rest of this, so outputs and the page stay responsive; a board that does
# not open is tried again as often.
_IDLE_ROUND_S = 1.0
_RATE_WINDOW_S = 5.0
# Rounds a page may fall behind before its oldest are dropped.
CLIENT_BACKLOG = 64
MAX_CLIENTS = 32
_PENDING_OUTPUTS = 64


@dataclass
class OutputRequest:
    kind: str      # "sa" (PWM output) or "sb" (digital output)
    channel: int
    value: int
    done: threading.Event = field(default_factory=threading.Event)
    readback: int | None = None  # what the board holds afterwards
    error: str = ""              # why it was not set


class Client:
    """One page's stream: a bounded backlog; when the page stalls the oldest
    rounds go, so neither the sampler nor memory waits for it."""

    def __init__(self):
        self._queue: collections.deque[bytes] = collections.deque(maxlen=CLIENT_BACKLOG)
        self._ready = threading.Condition()
        self.dropped = 0
        self.closed = False

    def offer(self, message: bytes) -> None:
        with self._ready:
            if len(self._queue) == self._queue.maxlen:
                self.dropped += 1
            self._queue.append(message)
            self._ready.notify()

    def take(self, timeout: float) -> list[bytes]:
        """What has come since the last take; [] after timeout."""
        with self._ready:
            if not self._queue and not self.closed:
                self._ready.wait(timeout)
            taken = list(self._queue)
            self._queue.clear()
            return taken

    def close(self) -> None:
        with self._ready:
            self.closed = True
            self._ready.notify()


class Sampler:
    """Owns the board: opens it (again and again until it opens), reads
    every input each round, and sets the outputs the pages ask for."""

    def __init__(self, opener: Callable[[], Board], port: str):
        self._opener = opener
        self.board: Board | None = None
        self.port = port
        self.problem = "not opened yet"  # why there is no board, while there is none
        self.started = time.monotonic()
        self._clients: set[Client] = set()
        self._clients_lock = threading.Lock()
        self._outputs: queue.Queue[OutputRequest] = queue.Queue(_PENDING_OUTPUTS)
        self._stop = threading.Event()
        self._wake = threading.Event()  # an output or the stop to see to
        self._thread = threading.Thread(target=self._run, name="board sampler", daemon=True)
        self._read_times: collections.deque[tuple[float, int]] = collections.deque()
        self.last_round = b""

    # Pages.

    def add_client(self) -> Client | None:
        with self._clients_lock:
            if len(self._clients) >= MAX_CLIENTS:
                return None
            client = Client()
            self._clients.add(client)
        if self.last_round:
            client.offer(self.last_round)
        return client

    def remove_client(self, client: Client) -> None:
        client.close()
        with self._clients_lock:
            self._clients.discard(client)

    def client_count(self) -> int:
        with self._clients_lock:
            return len(self._clients)

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
        with self._clients_lock:
            clients = list(self._clients)
        for client in clients:
            client.close()

    def _rate(self, now: float, readings: int) -> float:
        self._read_times.append((now, readings))
        while now - self._read_times[0][0] > _RATE_WINDOW_S:
            self._read_times.popleft()
        span = now - self._read_times[0][0]
        counted = sum(n for _, n in list(self._read_times)[1:])
        return counted / span if span > 0 else 0.0

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

    def _readings(self, board: Board, round_: dict) -> int:
        """Reads every input into round_ until the board fails to answer or
        the device goes: the readings taken."""
        requests = [(board.read_analog, "ea", c) for c in range(ANALOG_INPUTS)]
        requests += [(board.read_digital_reading, "eb", c) for c in range(DIGITAL_INPUTS)]
        answered = 0
        for read, kind, channel in requests:
            self._apply_outputs()
            try:
                reading = read(channel)
            except NotAReading as error:
                round_["state"], round_["problem"] = "garbled", error.reason
                continue
            except NoAnswer as error:
                round_["state"], round_["problem"] = "silent", error.reason
                break
            except PortError as error:
                round_["state"], round_["problem"] = "missing", why(error)
                break
            round_[kind][channel] = reading.raw
            if kind == "ea":
                round_["ead"][channel] = reading.volts
            answered += 1
        return answered

    def _round(self) -> dict:
        round_ = {"state": "answers", "problem": "", "ea": [None] * ANALOG_INPUTS, "ead": [None] * ANALOG_INPUTS,
                  "eb": [None] * DIGITAL_INPUTS, "rsa": None, "rsb": None, "restarted_at": None}
        if self.board is None:
            self.open()
        board = self.board
        answered = 0
        if board is None:
            round_["state"], round_["problem"] = "missing", self.problem
        else:
            answered = self._readings(board, round_)
        self._apply_outputs()
        if board is not None:
            # The outputs as the board holds them: all off after it restarted.
            link = board.link
            round_["rsa"] = list(link.pwm)
            round_["rsb"] = [int(level) for level in link.digital]
            if link.restarted:
                round_["restarted_at"] = link.opened_ns // 1_000_000
        now = time.monotonic()
        round_.update(t=round(now - self.started, 3), port=self.port, rate=round(self._rate(now, answered), 1),
                      pages=self.client_count())
        return round_

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                started = time.monotonic()
                self._wake.clear()  # what comes from here on is seen to next round
                try:
                    round_ = self._round()
                except Exception as error:  # a fault here must not end the page's board
                    round_ = {"t": round(time.monotonic() - self.started, 3), "state": "error",
                              "error": str(error)}
                self._publish(round_)
                if round_["state"] not in ("answers", "garbled"):
                    # Nothing paces the loop when no board answers: a round a
                    # second, or at once for an output a page asks for.
                    self._wake.wait(max(0.0, _IDLE_ROUND_S - (time.monotonic() - started)))
        finally:
            if self.board is not None:
                self.board.close()

    def _publish(self, round_: dict) -> None:
        message = f"data: {json.dumps(round_, separators=(',', ':'))}\n\n".encode("ascii")
        self.last_round = message
        with self._clients_lock:
            clients = list(self._clients)
        for client in clients:
            client.offer(message)
