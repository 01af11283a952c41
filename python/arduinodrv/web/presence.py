"""Opening the board for the page, and telling a missing library, a board
that is not there and a board that another program holds apart: the library
itself never says whether its port opened."""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass

from .. import _library
from .._port import PortError
from ..driver import Driver as Board

# The device path a build keeps as one of its texts, e.g. /dev/ttyUSB0.
_PORT_TEXT = re.compile(rb"\0(/[\x21-\x7e]*/tty(?:USB|ACM)\d{1,2})\0")
_LARGEST_LIBRARY = 64 * 1024 * 1024


@dataclass
class Opened:
    board: Board | None
    port: str          # the device the build opens, "" when it cannot be told
    problem: str = ""  # "" when the port is open; else what the page shows
    held_by: str = ""  # the other program that holds the device


def port_of_library(path: str) -> str:
    """The device the build in path opens, "" unless it names exactly one."""
    try:
        with open(path, "rb") as f:
            data = f.read(_LARGEST_LIBRARY)
    except OSError:
        return ""
    found = {match.decode("ascii") for match in _PORT_TEXT.findall(data)}
    return found.pop() if len(found) == 1 else ""


def _devices_open() -> dict[int, str]:
    """This process's descriptors on character devices, with their paths."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fd = int(name)
            if stat.S_ISCHR(os.fstat(fd).st_mode):
                found[fd] = os.readlink(f"/proc/self/fd/{name}")
        except (ValueError, OSError):
            continue
    return found


def _command_line(pid: str) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            words = f.read(4096).rstrip(b"\0").split(b"\0")
    except OSError:
        return "?"
    return " ".join(w.decode("utf-8", "replace") for w in words if w) or "?"


def holders_of(device: str) -> list[str]:
    """The other processes that hold device open: "pid 812 (python3 ...)"."""
    try:
        target = os.path.realpath(device)
    except OSError:
        return []
    ours = str(os.getpid())
    holders = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if pid == ours:
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue  # gone, or another user's
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == target:
                    holders.append(f"pid {pid} ({_command_line(pid)})")
                    break
            except OSError:
                continue
    return holders


def _device_of(library: str | None, port: str | None) -> str:
    """The device the board will be opened on, "" when it cannot be told:
    the port given, else ARDUINODRV_PORT, else the build's own default."""
    chosen = port or os.environ.get(_library.PORT_VARIABLE)
    if chosen:
        return str(chosen)
    try:
        return port_of_library(library if library is not None else _library.find_library())
    except (OSError, ValueError, TypeError):
        return ""


def open_board(library: str | None, port: str | None) -> Opened:
    """Loads the library (2 s while the board restarts) and finds out
    whether it got its port."""
    device = _device_of(library, port)
    # Before loading: opening a held port again restarts a real board under
    # its first program, and root may open it despite its claim.
    held = holders_of(device) if device else []
    if held:
        return Opened(None, device, f"the board on {device} is held by {', '.join(held)}", held[0])
    before = _devices_open()
    try:
        # The page itself tells a missing board; the library loads without one.
        board = Board(port, library=library, require_port=False)
    except PortError as error:
        return Opened(None, device, f"no board: {error}")
    except (OSError, ValueError, TypeError) as error:
        return Opened(None, device, f"no library: {error}")
    device = board.port or device
    if any(fd not in before for fd in _devices_open()):
        return Opened(board, device)
    where = device or "its port"
    held = holders_of(device) if device else []
    if held:
        return Opened(board, device, f"the board on {where} is held by {', '.join(held)}", held[0])
    return Opened(board, device, f"no board: the library could not open {where}, "
                                 "so inputs read nothing and outputs go nowhere")
