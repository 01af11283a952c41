"""Which other programs hold a device open: named beside the library's own
"in use" when a board's device is busy, so the user knows what to end."""

from __future__ import annotations

import errno
import os

from .errors import BoardError


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
    except (OSError, ValueError):
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


def why(error: BaseException) -> str:
    """The error in words; for a busy device, with the programs that hold it."""
    text = str(error)
    if isinstance(error, BoardError) and isinstance(error, OSError) and error.errno == errno.EBUSY \
            and error.filename is not None:
        held = holders_of(error.filename)
        if held:
            text += f" (held by {', '.join(held)})"
    return text
