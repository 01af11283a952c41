"""python3 -m arduinodrv serve: the whole board live in a browser page."""

from __future__ import annotations

import argparse
import errno
import ipaddress
import os
import re
import secrets
import stat
from pathlib import Path
from typing import Callable

from .._holders import why
from ..board import Board
from ..errors import PortError, shown
from .sampler import Sampler
from .server import BoardServer

DEFAULT_HTTP_PORT = 8050
LOOPBACK = "127.0.0.1"
TOKEN_FILE_NAME = "serve-token"
_TOKEN = re.compile(r"[A-Za-z0-9_-]{16,128}")


class TokenError(Exception):
    """A token file that cannot be used, with the reason and what to do."""


def default_token_file() -> Path:
    """The user's state folder ($XDG_STATE_HOME, else ~/.local/state)."""
    state = os.environ.get("XDG_STATE_HOME") or ""
    base = Path(state) if os.path.isabs(state) else Path.home() / ".local" / "state"
    return base / "arduinodrv" / TOKEN_FILE_NAME


def _new_token(path: Path) -> str:
    """A new token written to path (mode 0600, whole or not at all)."""
    token = secrets.token_urlsafe(18)
    path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    temporary = path.with_name(f".{path.name}.{os.getpid()}")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    try:
        with os.fdopen(descriptor, "w", encoding="ascii") as f:
            f.write(token + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return token


def load_token(path: Path, renew: bool) -> tuple[str, bool]:
    """(token, made now): the token kept in path, so that open pages carry on
    when serve comes back; a new one when there is none or renew asks.
    TokenError for a file others may read or that holds no token."""
    if renew:
        return _new_token(path), True
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        return _new_token(path), True
    except OSError as error:
        raise TokenError(f"{shown(str(path))}: {error.strerror}") from None
    with os.fdopen(descriptor, "rb") as f:
        status = os.fstat(f.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise TokenError(f"{shown(str(path))} is not a regular file")
        if status.st_uid != os.geteuid() or status.st_mode & 0o077:
            raise TokenError(f"{shown(str(path))} may be read by others (mode {stat.S_IMODE(status.st_mode):04o}): "
                             f"chmod 600 it if it is yours, or make a new token with --new-token")
        text = f.read(256).decode("ascii", "replace").strip()
    if not _TOKEN.fullmatch(text):
        raise TokenError(f"{shown(str(path))} holds no token: make a new one with --new-token")
    return text, False


def _address(text: str) -> str:
    try:
        return str(ipaddress.ip_address(text.strip("[]")))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an IP address (e.g. 0.0.0.0 or 192.168.1.20)") from None


def _http_port(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0-65535; 0 picks a free one)")
    return int(text)


def add_serve_command(commands, parents: list) -> None:
    serve = commands.add_parser(
        "serve", parents=parents, help="show the board live in a browser page, and drive its outputs",
        description="Serves a page that shows every input live and sets every output. It listens on "
                    f"{LOOPBACK} only unless --listen is given; the address to open, with its token, is "
                    "printed at start. The token is kept in the user's state folder "
                    f"({default_token_file()}), so open pages carry on when serve starts again. Ctrl-C "
                    "stops it.")
    serve.add_argument("--http-port", "--port-http", dest="port_http", type=_http_port, default=DEFAULT_HTTP_PORT,
                       metavar="N", help=f"the web page's TCP port (default {DEFAULT_HTTP_PORT}; 0 picks a free "
                                         "one); the board's device is --device")
    serve.add_argument("--listen", type=_address, default=LOOPBACK, metavar="ADDRESS",
                       help="listen on this address instead of loopback, e.g. 0.0.0.0 for every "
                            "network (anyone there with the printed address may drive the board)")
    serve.add_argument("--token-file", type=Path, default=None, metavar="FILE",
                       help="keep the page's token in FILE (mode 0600) instead of the state folder")
    serve.add_argument("--new-token", action="store_true",
                       help="make a new token (pages open with the old one are refused)")


def _page_address(server: BoardServer, address: str) -> str:
    host = address
    if ipaddress.ip_address(address).is_unspecified:
        host = LOOPBACK if server.address_family.name == "AF_INET" else "::1"
    if ":" in host:
        host = f"[{host}]"
    return f"http://{host}:{server.port}/?token={server.token}"


def serve_command(options: argparse.Namespace, out, err, opener: Callable[[], Board], port: str | None) -> int:
    """Runs the page's server until Ctrl-C or SIGTERM; 1 when it cannot.
    opener opens the board on port (None: the one likely board)."""
    address = options.listen
    token_file = options.token_file or default_token_file()
    try:
        token, made = load_token(token_file, options.new_token)
    except TokenError as error:
        err.write(f"arduinodrv serve: the token file {error}\n")
        return 1
    except OSError as error:
        err.write(f"arduinodrv serve: cannot keep the token in {shown(str(token_file))}: "
                  f"{error.strerror or error}\n")
        return 1
    try:
        server = BoardServer(address, options.port_http, token, err)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            err.write(f"arduinodrv serve: port {options.port_http} on {address} is already in use "
                      "(another serve? give another one with --http-port)\n")
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
        if made:
            out.write(f"(a new token, kept in {token_file})\n")
        if not server.loopback:
            out.write(f"Listening on {address}: anyone who has this address can drive the board.\n")
        out.write("Ctrl-C stops it.\n")
        out.flush()
        server.serve()
    finally:
        if server.sampler is not None:
            server.sampler.stop()
        server.server_close()
    return 0
