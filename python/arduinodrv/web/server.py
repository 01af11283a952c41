"""The board page's HTTP server: the page's own files, the board's labels,
a stream of readings, and the requests that change an output or the pace.

Safe by default: it listens on loopback; every request but the page's files
carries the token printed at start (in the URL for reading, in a header for
changing something); a change comes only as a POST from the page's own
origin, with a small JSON body whose fields are checked before the board is
touched.

One thread serves every connection (asyncio), so slow or hostile clients
cost no thread each: connections are bounded below the descriptor limit and
in idle time, each request's head must come whole within a few seconds, an
event stream that takes no bytes is let go, and the sampler's thread only
hands each round over, never waiting for a page."""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import hmac
import ipaddress
import json
import os
import re
import resource
import signal
import socket
import sys
import time
from http import HTTPStatus
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

from .. import channels
from ..channels import DIGITAL_OUTPUTS, FULL_SCALE_V, PWM_HIGHEST, PWM_OUTPUTS
from .sampler import INTERVALS_MS, STREAM_RATES_HZ, OutputRequest, Sampler

PAGE_FOLDER = Path(__file__).resolve().parent / "page"
# The chart library: shipped inside the package (page/vendor), or in the
# source tree where scripts/setup.sh installed it with npm.
CHART_FOLDERS = (PAGE_FOLDER / "vendor",
                 Path(__file__).resolve().parents[2] / "chart" / "node_modules" / "uplot" / "dist")
CHART_FILES = ("uPlot.iife.min.js", "uPlot.min.css")
TOKEN_HEADER = "X-Board-Token"
LARGEST_BODY = 1024
LARGEST_HEAD = 8192
_PAGE_FILE = re.compile(r"[a-z0-9][a-z0-9_-]*\.(html|css|js|png|svg)")
_TYPES = {"html": "text/html; charset=utf-8", "css": "text/css; charset=utf-8",
          "js": "text/javascript; charset=utf-8", "png": "image/png", "svg": "image/svg+xml"}
# Connections at once: well below the descriptor limit, which the server
# raises to its hard limit where it can.
MAX_CONNECTIONS = 128
# Pages' event streams at once; a stalled one makes room for a new page.
MAX_CLIENTS = 64
# Rounds a page may fall behind before its oldest are dropped.
CLIENT_BACKLOG = 64
_KEEP_ALIVE_S = 15.0
# A request's head (or its small body) must come whole within this; an idle
# connection between requests is closed after _IDLE_S.
_REQUEST_S = 10.0
_IDLE_S = 30.0
# An event stream that takes no bytes for this long is let go.
_STALLED_S = 10.0
_STREAM_BUFFER = 16 * 1024
# Time for an output to get its turn between two rounds (a silent board
# takes a second or more a round, a board that just opened 2 s to start).
_OUTPUT_WAIT_S = 5.0
_PENDING_OUTPUTS = 16
_OUTPUT_RANGES = {"sa": (PWM_OUTPUTS, 0, PWM_HIGHEST), "sb": (DIGITAL_OUTPUTS, 0, 1)}
_SECURITY_HEADERS = (
    ("Cache-Control", "no-store"), ("X-Content-Type-Options", "nosniff"), ("Referrer-Policy", "no-referrer"),
    ("X-Frame-Options", "DENY"),
    ("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
                                "frame-ancestors 'none'; form-action 'none'"))


class BadRequest(Exception):
    def __init__(self, status: HTTPStatus, message: str):
        super().__init__(message)
        self.status = status


def board_info(sampler: Sampler) -> dict:
    """What the page shows that does not change: the channels' names, the
    scales, the paces it may choose."""
    def names(name, count: int) -> list[str]:
        return [name(c)[0].upper() + name(c)[1:] for c in range(count)]

    return {
        "port": sampler.port,
        "labels": {
            "analog": names(channels.analog_input_name, channels.ANALOG_INPUTS),
            "digital_in": names(channels.digital_input_name, channels.DIGITAL_INPUTS),
            "pwm": names(channels.pwm_output_name, PWM_OUTPUTS),
            "digital_out": names(channels.digital_output_name, DIGITAL_OUTPUTS),
        },
        "full_scale_v": FULL_SCALE_V,
        "pwm_highest": PWM_HIGHEST,
        "intervals_ms": list(INTERVALS_MS),
        "stream_rates_hz": list(STREAM_RATES_HZ),
        "chart": chart_file(CHART_FILES[0]) is not None,
    }


def _json_body(body: bytes) -> object:
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise BadRequest(HTTPStatus.BAD_REQUEST, "the body is not JSON") from None


def parse_output(body: bytes) -> tuple[str, int, int]:
    """(kind, channel, value) from {"kind": "sa"|"sb", "channel": n, "value": n};
    BadRequest with the reason for anything else."""
    request = _json_body(body)
    if not isinstance(request, dict) or set(request) != {"kind", "channel", "value"}:
        raise BadRequest(HTTPStatus.BAD_REQUEST, 'give exactly {"kind": "sa" or "sb", "channel": n, "value": n}')
    kind, channel, value = request["kind"], request["channel"], request["value"]
    if kind not in _OUTPUT_RANGES:
        raise BadRequest(HTTPStatus.BAD_REQUEST, 'kind must be "sa" (PWM output) or "sb" (digital output)')
    count, lowest, highest = _OUTPUT_RANGES[kind]
    if type(channel) is not int or not 0 <= channel < count:
        raise BadRequest(HTTPStatus.BAD_REQUEST, f"{kind}: channel must be a whole number 0-{count - 1}")
    if type(value) is not int or not lowest <= value <= highest:
        raise BadRequest(HTTPStatus.BAD_REQUEST, f"{kind}: value must be a whole number {lowest}-{highest}")
    return kind, channel, value


def parse_pace(body: bytes) -> tuple[int | None, int | None]:
    """(interval_ms, None) from {"interval_ms": n}, (None, stream_hz) from
    {"stream_hz": n}, each one of the values the page offers."""
    request = _json_body(body)
    if isinstance(request, dict) and set(request) == {"interval_ms"} and type(request["interval_ms"]) is int \
            and request["interval_ms"] in INTERVALS_MS:
        return request["interval_ms"], None
    if isinstance(request, dict) and set(request) == {"stream_hz"} and type(request["stream_hz"]) is int \
            and request["stream_hz"] in STREAM_RATES_HZ:
        return None, request["stream_hz"]
    raise BadRequest(HTTPStatus.BAD_REQUEST, f"give {{\"interval_ms\": one of {list(INTERVALS_MS)}}} or "
                                             f"{{\"stream_hz\": one of {list(STREAM_RATES_HZ)}}}")


def chart_file(name: str) -> Path | None:
    for folder in CHART_FOLDERS:
        if (folder / name).is_file():
            return folder / name
    return None


class Request:
    def __init__(self, method: str, target: str, version: str, headers: dict[str, str], body: bytes = b""):
        self.method, self.target, self.version, self.headers, self.body = method, target, version, headers, body
        self.url = urlsplit(target)

    @property
    def keep_alive(self) -> bool:
        connection = self.headers.get("connection", "").lower()
        return connection != "close" if self.version == "HTTP/1.1" else connection == "keep-alive"


def parse_head(head: bytes) -> Request:
    """The request line and headers (head ends with the empty line)."""
    lines = head.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3 or parts[2] not in ("HTTP/1.0", "HTTP/1.1") or not parts[1].startswith("/"):
        raise BadRequest(HTTPStatus.BAD_REQUEST, "not an HTTP request")
    headers: dict[str, str] = {}
    for line in lines[1:]:
        if not line:
            continue
        name, colon, value = line.partition(":")
        name = name.strip().lower()
        if not colon or not name or name in headers and name in ("content-length", "host", "transfer-encoding"):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "a bad header")
        headers[name] = value.strip()
    return Request(parts[0], parts[1], parts[2], headers)


class Client:
    """One page's event stream: a bounded backlog; when the page stalls the
    oldest rounds go, so neither the sampler nor memory waits for it. Used
    in the server's loop alone."""

    def __init__(self):
        self._queue: collections.deque[bytes] = collections.deque(maxlen=CLIENT_BACKLOG)
        self.ready = asyncio.Event()
        self.dropped = 0
        self.closed = False
        self.writer: asyncio.StreamWriter | None = None

    def offer(self, message: bytes) -> None:
        if len(self._queue) == self._queue.maxlen:
            self.dropped += 1
        self._queue.append(message)
        self.ready.set()

    def take(self) -> list[bytes]:
        """What has come since the last take."""
        taken = list(self._queue)
        self._queue.clear()
        self.ready.clear()
        return taken

    def close(self) -> None:
        self.closed = True
        self.ready.set()
        if self.writer is not None:
            self.writer.close()


def _raise_descriptor_limit() -> int:
    """The soft limit raised to the hard one: the descriptors this process may hold."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and soft < hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            soft = hard
        except (ValueError, OSError):
            pass
    return soft


class BoardServer:
    """Listens at once (so a port in use is said before the board's start);
    serve() runs until stop()."""

    def __init__(self, address: str, port: int, token: str, log=sys.stderr):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self.address_family = family
        self.token = token
        self.loopback = ipaddress.ip_address(address).is_loopback
        self.sampler: Sampler | None = None
        self.log = log
        # Room for the sampler, the board, the files served and the listener.
        self.max_connections = max(8, min(MAX_CONNECTIONS, _raise_descriptor_limit() - 32))
        self.socket = socket.socket(family, socket.SOCK_STREAM)
        try:
            # A restart takes the port at once; Linux still refuses a second listener on it.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.socket.bind((address, port))
            self.socket.listen(128)
        except OSError:
            self.socket.close()
            raise
        self.socket.setblocking(False)
        self.port = self.socket.getsockname()[1]
        self._connections: set[asyncio.StreamWriter] = set()
        # Connections waiting for a request's head, since when.
        self._waiting: dict[asyncio.StreamWriter, float] = {}
        self._clients: set[Client] = set()
        self._refusing = False
        self._outputs_pending = 0
        self._executor = concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="output")
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stopped: asyncio.Event | None = None

    def say(self, line: str) -> None:
        try:
            self.log.write(f"arduinodrv serve: {line}\n")
            self.log.flush()
        except (OSError, ValueError):
            pass

    # Running.

    def serve(self) -> None:
        """Serves until stop() (from another thread or a signal handler)."""
        # The sampler's thread takes the interpreter back within 1 ms of its
        # board's answer, however busy the clients keep this loop.
        previous = sys.getswitchinterval()
        sys.setswitchinterval(0.001)
        try:
            asyncio.run(self._serve())
        finally:
            sys.setswitchinterval(previous)

    async def _serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._loop.set_exception_handler(self._loop_exception)
        self._stopped = asyncio.Event()
        if self.sampler is not None:
            self.sampler.publish = lambda message: self._loop.call_soon_threadsafe(self._broadcast, message)
            self.sampler.pages = lambda: len(self._clients)
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            try:
                self._loop.add_signal_handler(signal_number, self._stopped.set)
            except (RuntimeError, ValueError, NotImplementedError):
                pass  # not the main thread: stop() ends it
        server = await asyncio.start_server(self._connection, sock=self.socket, limit=LARGEST_HEAD)
        try:
            await self._stopped.wait()
        finally:
            server.close()
            for client in list(self._clients):
                client.close()
            for writer in list(self._connections):
                writer.close()
            self._executor.shutdown(wait=False, cancel_futures=True)

    def stop(self) -> None:
        if self._loop is not None and self._stopped is not None:
            self._loop.call_soon_threadsafe(self._stopped.set)

    def server_close(self) -> None:
        self.socket.close()

    def _loop_exception(self, loop, context) -> None:
        # A client that went away is no news; anything else is one line, not a traceback.
        error = context.get("exception")
        if isinstance(error, (ConnectionError, TimeoutError)):
            return
        self.say(f"internal error: {context.get('message')}: {error!r}")

    # Connections.

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        if len(self._connections) >= self.max_connections and self._waiting:
            # Full: the connection that has waited longest for a request (half
            # open, or idle between requests) makes room for this one.
            oldest = min(self._waiting, key=self._waiting.get)
            del self._waiting[oldest]
            oldest.close()
            self._connections.discard(oldest)
        if len(self._connections) >= self.max_connections:
            if not self._refusing:
                self._refusing = True
                self.say(f"{self.max_connections} connections are open: further ones are refused "
                         "until some close")
            body = b'{"error": "too many connections: try again"}'
            writer.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                         b"Connection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
            writer.close()  # sent as far as the socket takes it at once, never waited for
            return
        if self._refusing:
            self._refusing = False
            self.say("connections are taken again")
        self._connections.add(writer)
        try:
            first = True
            while True:
                self._waiting[writer] = time.monotonic()
                try:
                    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), _REQUEST_S if first else _IDLE_S)
                except asyncio.LimitOverrunError:
                    await self._answer(writer, None, *self._error(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE,
                                                                  "the request's head is too long"))
                    return
                first = False
                self._waiting.pop(writer, None)
                try:
                    request = parse_head(head)
                    if request.method == "POST":
                        request.body = await asyncio.wait_for(self._body(reader, request), _REQUEST_S)
                    handled = await self._route(request, writer)
                except BadRequest as refused:
                    # Nothing more is read from a request refused midway.
                    await self._answer(writer, None, *self._error(refused.status, str(refused)))
                    return
                if handled is None:  # an event stream, now ended
                    return
                await self._answer(writer, request, *handled)
                if not request.keep_alive:
                    return
        except (asyncio.IncompleteReadError, asyncio.TimeoutError, ConnectionError, OSError):
            pass  # gone, or too slow: let go without a word
        finally:
            self._connections.discard(writer)
            self._waiting.pop(writer, None)
            writer.close()

    @staticmethod
    def _error(status: HTTPStatus, message: str) -> tuple:
        return status, "application/json", json.dumps({"error": message}).encode("ascii")

    async def _answer(self, writer, request: Request | None, status: HTTPStatus, content_type: str,
                      body: bytes) -> None:
        keep = request is not None and request.keep_alive
        head = [f"HTTP/1.1 {status.value} {status.phrase}", "Server: arduinodrv-board-page",
                f"Content-Type: {content_type}", f"Content-Length: {len(body)}",
                f"Connection: {'keep-alive' if keep else 'close'}"]
        head += [f"{name}: {value}" for name, value in _SECURITY_HEADERS]
        writer.write(("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body)
        await asyncio.wait_for(writer.drain(), _STALLED_S)

    async def _body(self, reader: asyncio.StreamReader, request: Request) -> bytes:
        length = request.headers.get("content-length")
        if "transfer-encoding" in request.headers or length is None:
            raise BadRequest(HTTPStatus.LENGTH_REQUIRED, "give the body with a Content-Length")
        if not re.fullmatch(r"[0-9]{1,9}", length):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "a bad Content-Length")
        if int(length) > LARGEST_BODY:
            raise BadRequest(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"the body may be at most {LARGEST_BODY} bytes")
        try:
            return await reader.readexactly(int(length))
        except asyncio.IncompleteReadError:
            raise BadRequest(HTTPStatus.BAD_REQUEST, "the body ended early") from None

    # Checks.

    def _check_host(self, request: Request) -> None:
        # A page of another site that renamed itself to 127.0.0.1 (DNS
        # rebinding) still sends its own name as Host.
        if not self.loopback:
            return
        allowed = {f"127.0.0.1:{self.port}", f"localhost:{self.port}", f"[::1]:{self.port}"}
        if request.headers.get("host", "").lower() not in allowed:
            raise BadRequest(HTTPStatus.FORBIDDEN, "unknown Host: open the page by the address printed at start")

    def _check_token(self, given: str | None) -> None:
        if not given or not hmac.compare_digest(given.encode("utf-8", "replace"), self.token.encode("ascii")):
            raise BadRequest(HTTPStatus.FORBIDDEN, "missing or wrong token: open the page by the address "
                                                   "printed at start, with its token")

    @staticmethod
    def _check_origin(request: Request) -> None:
        origin = request.headers.get("origin")
        if origin is not None and origin != f"http://{request.headers.get('host', '')}":
            raise BadRequest(HTTPStatus.FORBIDDEN, "a request from another origin")
        if request.headers.get("sec-fetch-site", "same-origin") not in ("same-origin", "none"):
            raise BadRequest(HTTPStatus.FORBIDDEN, "a request from another site")

    @staticmethod
    def _check_json(request: Request) -> None:
        content_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
        if content_type != "application/json":
            raise BadRequest(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "the body must be application/json")

    # Requests.

    async def _route(self, request: Request, writer) -> tuple | None:
        """(status, type, body) of the answer; None for an event stream,
        which answers itself."""
        self._check_host(request)
        path = request.url.path
        if request.method == "GET":
            if path == "/":
                return self._page_file(PAGE_FOLDER / "index.html")
            if path == "/favicon.ico":
                return self._page_file(PAGE_FOLDER / "favicon.svg")
            if path.startswith("/page/vendor/"):
                name = path[len("/page/vendor/"):]
                found = chart_file(name) if name in CHART_FILES else None
                if found is None:
                    raise BadRequest(HTTPStatus.NOT_FOUND, "the chart library is not installed")
                return self._page_file(found)
            if path.startswith("/page/"):
                name = path[len("/page/"):]
                # Only a plain name of the page folder: no folders, no dots
                # before the extension, nothing encoded.
                if not _PAGE_FILE.fullmatch(name):
                    raise BadRequest(HTTPStatus.NOT_FOUND, "no such page")
                return self._page_file(PAGE_FOLDER / name)
            if path in ("/api/board", "/api/events"):
                self._check_token(parse_qs(request.url.query).get("token", [None])[0])
                if path == "/api/board":
                    return HTTPStatus.OK, "application/json", json.dumps(board_info(self.sampler)).encode("ascii")
                await self._events(writer)
                return None
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such page")
        if request.method == "POST":
            if path not in ("/api/output", "/api/pace"):
                raise BadRequest(HTTPStatus.NOT_FOUND, "no such request")
            self._check_origin(request)
            self._check_token(request.headers.get(TOKEN_HEADER.lower()))
            self._check_json(request)
            if path == "/api/pace":
                interval_ms, stream_hz = parse_pace(request.body)
                self.sampler.set_pace(interval_ms, stream_hz)
                return HTTPStatus.OK, "application/json", request.body
            return await self._output(request)
        raise BadRequest(HTTPStatus.METHOD_NOT_ALLOWED, "only GET and POST")

    @staticmethod
    def _page_file(path: Path) -> tuple:
        try:
            body = path.read_bytes()
        except OSError:
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such page") from None
        return HTTPStatus.OK, _TYPES.get(path.suffix[1:], "text/css; charset=utf-8"), body

    async def _output(self, request: Request) -> tuple:
        kind, channel, value = parse_output(request.body)
        if self._outputs_pending >= _PENDING_OUTPUTS:
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, "the board is busy: try again")
        wanted = OutputRequest(kind, channel, value)
        self._outputs_pending += 1
        try:
            taken = await self._loop.run_in_executor(self._executor, self.sampler.request_output, wanted,
                                                     _OUTPUT_WAIT_S)
        finally:
            self._outputs_pending -= 1
        if not taken:
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, "the board is busy: try again")
        if wanted.error:
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, wanted.error)
        answer = {"kind": kind, "channel": channel, "value": value, "readback": wanted.readback}
        return HTTPStatus.OK, "application/json", json.dumps(answer).encode("ascii")

    # Event streams.

    def _room_for_a_page(self) -> bool:
        if len(self._clients) < MAX_CLIENTS:
            return True
        # The page furthest behind (the most bytes it has not taken) makes
        # room for a live one; a page that keeps up has none waiting.
        def behind(client: Client) -> int:
            transport = client.writer.transport if client.writer is not None else None
            return transport.get_write_buffer_size() if transport is not None else 0
        laggard = max(self._clients, key=behind)
        if behind(laggard) == 0:
            return False
        laggard.close()
        self._clients.discard(laggard)
        return True

    def _broadcast(self, message: bytes) -> None:
        for client in list(self._clients):
            client.offer(message)

    async def _events(self, writer: asyncio.StreamWriter) -> None:
        if not self._room_for_a_page():
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, "too many pages are open")
        client = Client()
        client.writer = writer
        self._clients.add(client)
        # Small buffers: a page that stops reading shows as behind within seconds.
        connection = writer.get_extra_info("socket")
        if connection is not None:
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, _STREAM_BUFFER)
        writer.transport.set_write_buffer_limits(high=_STREAM_BUFFER)
        try:
            head = ["HTTP/1.1 200 OK", "Server: arduinodrv-board-page", "Content-Type: text/event-stream",
                    "Connection: close"] + [f"{name}: {value}" for name, value in _SECURITY_HEADERS]
            last = self.sampler.last_round if self.sampler is not None else b""
            writer.write(("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + b"retry: 2000\n\n" + last)
            while not client.closed:
                try:
                    await asyncio.wait_for(client.ready.wait(), _KEEP_ALIVE_S)
                except asyncio.TimeoutError:
                    pass
                if client.closed:
                    break
                messages = client.take()
                writer.write(b"".join(messages) if messages else b": still here\n\n")
                await asyncio.wait_for(writer.drain(), _STALLED_S)
        finally:
            self._clients.discard(client)
            client.close()
