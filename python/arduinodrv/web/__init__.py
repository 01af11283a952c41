"""python3 -m arduinodrv serve: the whole board live in a browser page."""

from __future__ import annotations

import argparse
import errno
import ipaddress
import secrets
import signal
from typing import Callable

from .._holders import why
from ..board import Board
from ..errors import PortError
from .sampler import Sampler
from .server import BoardServer

DEFAULT_HTTP_PORT = 8050
LOOPBACK = "127.0.0.1"


def _address(text: str) -> str:
    try:
        return str(ipaddress.ip_address(text.strip("[]")))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an IP address (e.g. 0.0.0.0 or 192.168.1.20)") from None


def _http_port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0-65535; 0 picks a free one)")
    return int(text)


def add_serve_command(commands, parents: list) -> None:
    serve = commands.add_parser(
        "serve", parents=parents, help="show the board live in a browser page, and drive its outputs",
        description="Serves a page that shows every input live and sets every output. It listens on "
                    f"{LOOPBACK} only unless --listen is given; the address to open, with its token, is "
                    "printed at start. Ctrl-C stops it.")
    serve.add_argument("--port-http", type=_http_port, default=DEFAULT_HTTP_PORT, metavar="N",
                       help=f"the HTTP port (default {DEFAULT_HTTP_PORT}; 0 picks a free one)")
    serve.add_argument("--listen", type=_address, default=LOOPBACK, metavar="ADDRESS",
                       help="listen on this address instead of loopback, e.g. 0.0.0.0 for every "
                            "network (anyone there with the printed address may drive the board)")


def _page_address(server: BoardServer, address: str) -> str:
    host = address
    if ipaddress.ip_address(address).is_unspecified:
        host = LOOPBACK if server.address_family.name == "AF_INET" else "::1"
    if ":" in host:
        host = f"[{host}]"
    return f"http://{host}:{server.port}/?token={server.token}"


def _stop_on_term(signum, frame):
    raise KeyboardInterrupt


def serve_command(options: argparse.Namespace, out, err, opener: Callable[[], Board], port: str | None) -> int:
    """Runs the page's server until Ctrl-C or SIGTERM; 1 when it cannot.
    opener opens the board on port (None: the one likely board)."""
    address = options.listen
    try:
        server = BoardServer(address, options.port_http, secrets.token_urlsafe(18))
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            err.write(f"arduinodrv serve: port {options.port_http} on {address} is already in use "
                      "(another serve? give another one with --port-http)\n")
        else:
            err.write(f"arduinodrv serve: cannot listen on {address} port {options.port_http}: "
                      f"{error.strerror or error}\n")
        return 1
    try:
        err.write("arduinodrv serve: opening the board (it gets 2 s to start)\n")
        err.flush()
        server.sampler = Sampler(opener, port or "the board")
        failed = server.sampler.open()
        if isinstance(failed, PortError) and failed.errno == errno.EBUSY:
            # Another program has it: most likely another serve, whose page is the one to open.
            err.write(f"arduinodrv serve: {why(failed)}: end it, or open its page instead\n")
            return 1
        if failed is not None:
            err.write(f"arduinodrv serve: {server.sampler.problem} (the page says so)\n")
        server.sampler.start()
        out.write(f"The board page: {_page_address(server, address)}\n")
        if not server.loopback:
            out.write(f"Listening on {address}: anyone who has this address can drive the board.\n")
        out.write("Ctrl-C stops it.\n")
        out.flush()
        previous = signal.signal(signal.SIGTERM, _stop_on_term)
        try:
            server.serve_forever(poll_interval=0.5)
        finally:
            signal.signal(signal.SIGTERM, previous)
    finally:
        if server.sampler is not None:
            server.sampler.stop()
        server.server_close()
    return 0
