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

from ..driver import Driver as Board

ANALOG_INPUTS = 6
DIGITAL_INPUTS = 4
PWM_OUTPUTS = 4
DIGITAL_OUTPUTS = 4
PWM_HIGHEST = 255
# The library's own conversions: ead is raw x 5 / 1024, sad 0-5 V for 0-255.
VOLTS_PER_STEP = 5.0 / 1024.0
PWM_FULL_SCALE_V = 5.0
# The library gives up on an answer after 1 s: a reading that took this
# long is its neutral 0, not a reading.
SILENT_S = 0.9
# While the board is silent each reading costs a second: ask one input a
# round until it answers again, so outputs and the page stay responsive.
_IDLE_ROUND_S = 1.0
_RATE_WINDOW_S = 5.0
# Rounds a page may fall behind before its oldest are dropped.
CLIENT_BACKLOG = 64
MAX_CLIENTS = 32
_PENDING_OUTPUTS = 64


@dataclass
class OutputRequest:
    kind: str      # "sa" or "sb"
    channel: int
    value: int
    done: threading.Event = field(default_factory=threading.Event)
    readback: int | None = None


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
    def __init__(self, board: Board | None, port: str, problem: str):
        self.board = board
        self.port = port
        self.problem = problem
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
            if self.board is not None:
                if request.kind == "sa":
                    self.board.sa(request.channel, request.value)
                    request.readback = self.board.rsa(request.channel)
                else:
                    self.board.sb(request.channel, request.value)
                    request.readback = self.board.rsb(request.channel)
            request.done.set()

    # The loop.

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._wake.set()
        self._thread.join(timeout=3)
        with self._clients_lock:
            clients = list(self._clients)
        for client in clients:
            client.close()

    def _read(self, read, channel: int):
        """One reading, or None when the board let it time out."""
        self._apply_outputs()
        start = time.monotonic()
        value = read(channel)
        if time.monotonic() - start >= SILENT_S:
            return None
        return value

    def _rate(self, now: float, readings: int) -> float:
        self._read_times.append((now, readings))
        while now - self._read_times[0][0] > _RATE_WINDOW_S:
            self._read_times.popleft()
        span = now - self._read_times[0][0]
        counted = sum(n for _, n in list(self._read_times)[1:])
        return counted / span if span > 0 else 0.0

    def _round(self) -> dict:
        board = self.board
        analog: list[int | None] = [None] * ANALOG_INPUTS
        digital: list[int | None] = [None] * DIGITAL_INPUTS
        answered = 0
        if board is not None and not self.problem:
            for channel in range(ANALOG_INPUTS):
                analog[channel] = self._read(board.ea, channel)
                if analog[channel] is None:
                    break
                answered += 1
            if answered == ANALOG_INPUTS:
                for channel in range(DIGITAL_INPUTS):
                    digital[channel] = self._read(board.eb, channel)
                    if digital[channel] is None:
                        break
                    answered += 1
        self._apply_outputs()
        if board is not None:
            pwm = [board.rsa(c) for c in range(PWM_OUTPUTS)]
            switches = [board.rsb(c) for c in range(DIGITAL_OUTPUTS)]
        else:
            pwm, switches = [None] * PWM_OUTPUTS, [None] * DIGITAL_OUTPUTS
        now = time.monotonic()
        if self.problem:
            state = "missing"
        elif answered == ANALOG_INPUTS + DIGITAL_INPUTS:
            state = "answers"
        else:
            state = "silent"
        return {
            "t": round(now - self.started, 3),
            "state": state,
            "ea": analog,
            "ead": [None if v is None else v * VOLTS_PER_STEP for v in analog],
            "eb": digital,
            "rsa": pwm,
            "rsb": switches,
            "rate": round(self._rate(now, answered), 1),
            "pages": self.client_count(),
        }

    def _run(self) -> None:
        while not self._stop.is_set():
            started = time.monotonic()
            self._wake.clear()  # what comes from here on is seen to next round
            try:
                round_ = self._round()
            except Exception as error:  # a fault here must not end the page's board
                round_ = {"t": round(time.monotonic() - self.started, 3), "state": "error",
                          "error": str(error)}
            self._publish(round_)
            if round_["state"] != "answers":
                # Nothing paces the loop when no board answers: a round a
                # second, or at once for an output a page asks for.
                self._wake.wait(max(0.0, _IDLE_ROUND_S - (time.monotonic() - started)))

    def _publish(self, round_: dict) -> None:
        message = f"data: {json.dumps(round_, separators=(',', ':'))}\n\n".encode("ascii")
        self.last_round = message
        with self._clients_lock:
            clients = list(self._clients)
        for client in clients:
            client.offer(message)
