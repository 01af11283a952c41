"""The board page's HTTP server: the page's own files, the board's labels,
a stream of readings, and the one request that changes an output.

Safe by default: it listens on loopback; every request but the page's files
carries the random token printed at start (in the URL for reading, in a
header for changing an output); a change comes only as a POST from the
page's own origin, with a small JSON body whose channel and value are
checked before the board is touched."""

from __future__ import annotations

import hmac
import ipaddress
import json
import os
import re
import socket
import socketserver
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from .. import channels
from ..channels import DIGITAL_OUTPUTS, FULL_SCALE_V, PWM_HIGHEST, PWM_OUTPUTS
from .sampler import OutputRequest, Sampler

PAGE_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page")
TOKEN_HEADER = "X-Board-Token"
LARGEST_BODY = 1024
_PAGE_FILE = re.compile(r"[a-z0-9][a-z0-9_-]*\.(html|css|js|png|svg)")
_TYPES = {"html": "text/html; charset=utf-8", "css": "text/css; charset=utf-8",
          "js": "text/javascript; charset=utf-8", "png": "image/png", "svg": "image/svg+xml"}
_KEEP_ALIVE_S = 15.0
# A page that takes no bytes for this long is let go; so is one that sends
# its request this slowly.
_STALLED_S = 30.0
# Time for an output to get its turn between two readings (a silent board
# takes a second or more a reading, a board that just opened 2 s to start).
_OUTPUT_WAIT_S = 5.0
_OUTPUT_RANGES = {"sa": (PWM_OUTPUTS, 0, PWM_HIGHEST), "sb": (DIGITAL_OUTPUTS, 0, 1)}


class BadRequest(Exception):
    def __init__(self, status: HTTPStatus, message: str):
        super().__init__(message)
        self.status = status


def board_info(sampler: Sampler) -> dict:
    """What the page shows that does not change: the channels' names and
    the scales."""
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
    }


def parse_output(body: bytes) -> tuple[str, int, int]:
    """(kind, channel, value) from {"kind": "sa"|"sb", "channel": n, "value": n};
    BadRequest with the reason for anything else."""
    try:
        request = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise BadRequest(HTTPStatus.BAD_REQUEST, "the body is not JSON") from None
    if not isinstance(request, dict) or set(request) != {"kind", "channel", "value"}:
        raise BadRequest(HTTPStatus.BAD_REQUEST, 'give exactly {"kind": "sa" or "sb", "channel": n, "value": n}')
    kind, channel, value = request["kind"], request["channel"], request["value"]
    if kind not in _OUTPUT_RANGES:
        raise BadRequest(HTTPStatus.BAD_REQUEST, 'kind must be "sa" (PWM output) or "sb" (digital output)')
    channels, lowest, highest = _OUTPUT_RANGES[kind]
    if type(channel) is not int or not 0 <= channel < channels:
        raise BadRequest(HTTPStatus.BAD_REQUEST, f"{kind}: channel must be a whole number 0-{channels - 1}")
    if type(value) is not int or not lowest <= value <= highest:
        raise BadRequest(HTTPStatus.BAD_REQUEST, f"{kind}: value must be a whole number {lowest}-{highest}")
    return kind, channel, value


class BoardServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: str, port: int, token: str):
        self.address_family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self.token = token
        self.loopback = ipaddress.ip_address(address).is_loopback
        self.sampler: Sampler | None = None
        super().__init__((address, port), PageHandler)

    def server_bind(self) -> None:
        # Not HTTPServer's: it looks up the host's name, which can hang
        # where no name server answers. (Its SO_REUSEADDR lets a restart take
        # the port at once; Linux still refuses a second listener on it.)
        socketserver.TCPServer.server_bind(self)
        self.server_port = self.socket.getsockname()[1]

    @property
    def port(self) -> int:
        return self.server_port


class PageHandler(BaseHTTPRequestHandler):
    server: BoardServer
    timeout = _STALLED_S
    protocol_version = "HTTP/1.1"
    server_version = "arduinodrv-board-page"
    sys_version = ""

    def log_message(self, format, *args):  # the terminal shows the URL and errors only
        pass

    # Answers.

    def _headers(self, status: HTTPStatus, content_type: str, length: int | None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'")
        self.end_headers()

    def _send(self, status: HTTPStatus, content_type: str, body: bytes) -> None:
        self._headers(status, content_type, len(body))
        self.wfile.write(body)

    def _json(self, status: HTTPStatus, value: dict) -> None:
        self._send(status, "application/json", json.dumps(value).encode("ascii"))

    def _refuse(self, status: HTTPStatus, message: str) -> None:
        # Nothing more is read from a request refused midway.
        self.close_connection = True
        self._json(status, {"error": message})

    # Checks.

    def _check_host(self) -> None:
        # A page of another site that renamed itself to 127.0.0.1 (DNS
        # rebinding) still sends its own name as Host.
        if not self.server.loopback:
            return
        port = self.server.port
        allowed = {f"127.0.0.1:{port}", f"localhost:{port}", f"[::1]:{port}"}
        if self.headers.get("Host", "").lower() not in allowed:
            raise BadRequest(HTTPStatus.FORBIDDEN, "unknown Host: open the page by the address printed at start")

    def _check_token(self, given: str | None) -> None:
        if not given or not hmac.compare_digest(given.encode("utf-8", "replace"), self.server.token.encode("ascii")):
            raise BadRequest(HTTPStatus.FORBIDDEN, "missing or wrong token: open the page by the address "
                                                   "printed at start, with its token")

    def _check_origin(self) -> None:
        origin = self.headers.get("Origin")
        if origin is not None and origin != f"http://{self.headers.get('Host', '')}":
            raise BadRequest(HTTPStatus.FORBIDDEN, "a request from another origin")
        if self.headers.get("Sec-Fetch-Site", "same-origin") not in ("same-origin", "none"):
            raise BadRequest(HTTPStatus.FORBIDDEN, "a request from another site")

    def _body(self) -> bytes:
        length = self.headers.get("Content-Length")
        if self.headers.get("Transfer-Encoding") is not None or length is None:
            raise BadRequest(HTTPStatus.LENGTH_REQUIRED, "give the body with a Content-Length")
        if not length.isdigit():
            raise BadRequest(HTTPStatus.BAD_REQUEST, "a bad Content-Length")
        if int(length) > LARGEST_BODY:
            raise BadRequest(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"the body may be at most {LARGEST_BODY} bytes")
        content_type = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if content_type != "application/json":
            raise BadRequest(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "the body must be application/json")
        body = self.rfile.read(int(length))
        if len(body) != int(length):
            raise BadRequest(HTTPStatus.BAD_REQUEST, "the body ended early")
        return body

    # Requests.

    def _handle(self, route) -> None:
        try:
            self._check_host()
            route()
        except BadRequest as refused:
            self._refuse(refused.status, str(refused))
        except (BrokenPipeError, ConnectionResetError, TimeoutError):
            self.close_connection = True

    def do_GET(self) -> None:
        self._handle(self._get)

    def do_POST(self) -> None:
        self._handle(self._post)

    def _refuse_method(self) -> None:
        self._handle(lambda: self._refuse(HTTPStatus.METHOD_NOT_ALLOWED, "only GET and POST"))

    do_HEAD = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method

    def _get(self) -> None:
        url = urlsplit(self.path)
        if url.path == "/":
            self._page_file("index.html")
        elif url.path.startswith("/page/"):
            self._page_file(url.path[len("/page/"):])
        elif url.path in ("/api/board", "/api/events"):
            self._check_token(parse_qs(url.query).get("token", [None])[0])
            if url.path == "/api/board":
                self._json(HTTPStatus.OK, board_info(self.server.sampler))
            else:
                self._events()
        else:
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such page")

    def _page_file(self, name: str) -> None:
        # Only a plain name of the page folder: no folders, no dots before
        # the extension, nothing encoded.
        if not _PAGE_FILE.fullmatch(name):
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such page")
        try:
            with open(os.path.join(PAGE_FOLDER, name), "rb") as f:
                body = f.read()
        except OSError:
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such page") from None
        self._send(HTTPStatus.OK, _TYPES[name.rsplit(".", 1)[1]], body)

    def _events(self) -> None:
        sampler = self.server.sampler
        client = sampler.add_client()
        if client is None:
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, "too many pages are open")
        try:
            self.close_connection = True
            self._headers(HTTPStatus.OK, "text/event-stream", None)
            self.wfile.write(b"retry: 2000\n\n")
            self.wfile.flush()
            while not client.closed:
                messages = client.take(_KEEP_ALIVE_S)
                self.wfile.write(b"".join(messages) if messages else b": still here\n\n")
                self.wfile.flush()
        finally:
            sampler.remove_client(client)

    def _post(self) -> None:
        if urlsplit(self.path).path != "/api/output":
            raise BadRequest(HTTPStatus.NOT_FOUND, "no such request")
        self._check_origin()
        self._check_token(self.headers.get(TOKEN_HEADER))
        kind, channel, value = parse_output(self._body())
        request = OutputRequest(kind, channel, value)
        if not self.server.sampler.request_output(request, _OUTPUT_WAIT_S):
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, "the board is busy: try again")
        if request.error:
            raise BadRequest(HTTPStatus.SERVICE_UNAVAILABLE, request.error)
        self._json(HTTPStatus.OK, {"kind": kind, "channel": channel, "value": value, "readback": request.readback})
