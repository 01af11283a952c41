"""The Driver's device: checked before the library loads, and found among
the process's descriptors after, since that library itself never says."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import termios

from .errors import BoardInUseError, PortError, board_error, shown  # noqa: F401  (the Driver's errors)


def port_path(port: object) -> str:
    if not isinstance(port, (str, os.PathLike)):
        raise TypeError(f"port must be a device path (str or os.PathLike), not {type(port).__name__}")
    path = os.fsdecode(os.fspath(port))
    if not path:
        raise ValueError("port is an empty path")
    if "\0" in path:
        raise ValueError(f"port {path!r} holds a zero byte")
    return path


def _error(code: int, why: str, path: str) -> PortError:
    return board_error(PortError, why, path, code)


# The library opens no path of PATH_MAX bytes or more, nor one holding a
# control character (the newline of a careless echo).
_PATH_MAX = os.pathconf("/", "PC_PATH_MAX") if hasattr(os, "pathconf") else 4096


def check_port(path: str, missing_ok: bool) -> os.stat_result | None:
    """The device's status; PortError naming path when it is no device at
    all (a folder, a regular file, a socket), or when it does not exist,
    unless missing_ok (a board plugged in later)."""
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in path):
        raise _error(errno.EINVAL, "holds a control character: the library opens no such path", path)
    if len(os.fsencode(path)) >= _PATH_MAX:
        raise _error(errno.ENAMETOOLONG, f"longer than the library takes ({_PATH_MAX - 1} bytes)", path)
    try:
        info = os.stat(path)
    except FileNotFoundError:
        if missing_ok:
            return None
        raise _error(errno.ENOENT, "no such device: is the board plugged in?", path) from None
    except OSError as error:
        raise _error(error.errno, f"cannot reach the device: {error.strerror}", path) from None
    if stat.S_ISDIR(info.st_mode):
        raise _error(errno.EISDIR, "a folder, not a serial device", path)
    if stat.S_ISREG(info.st_mode):
        raise _error(errno.ENOTTY, "a regular file, not a serial device", path)
    if not stat.S_ISCHR(info.st_mode) and not stat.S_ISFIFO(info.st_mode):
        raise _error(errno.ENOTTY, "not a serial device (a socket or a block device)", path)
    if not missing_ok and not os.access(path, os.R_OK | os.W_OK):
        raise _error(errno.EACCES, "no permission to read and write it (is this user in the dialout group?)",
                     path)
    return info


def _identity(info: os.stat_result) -> tuple | None:
    if stat.S_ISCHR(info.st_mode):
        return ("device", info.st_rdev)
    if stat.S_ISFIFO(info.st_mode):
        return ("fifo", info.st_dev, info.st_ino)
    return None


def open_devices() -> dict[int, tuple]:
    """Descriptor -> identity of every device (or FIFO) this process has
    open."""
    devices = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            identity = _identity(os.fstat(int(name)))
        except (OSError, ValueError):
            continue
        if identity is not None:
            devices[int(name)] = identity
    return devices


def opened_since(before: dict[int, tuple], path: str | None) -> bool:
    """Whether a descriptor not open before is the device at path (any
    device when the path is not known)."""
    try:
        wanted = _identity(os.stat(path)) if path is not None else None
    except (OSError, ValueError):
        return False
    return any(before.get(fd) != identity
               for fd, identity in open_devices().items() if wanted is None or identity == wanted)


_IN_USE = "in use by another program (the library claims its port for one program)"


def why_not_open(path: str | None) -> PortError:
    """Why the library's open of path failed: tried again here, now that the
    library holds nothing."""
    if path is None:
        return PortError(errno.ENODEV, "the library opened no device (its default port; give the port)")
    check_port(path, missing_ok=False)
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return _error(error.errno, _IN_USE, path)
        return _error(error.errno, f"does not open: {error.strerror}", path)
    try:
        if not stat.S_ISFIFO(os.fstat(fd).st_mode):
            termios.tcgetattr(fd)
            # The library's claim is a lock (flock), which a plain open passes.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except termios.error:
        return _error(errno.ENOTTY, "not a serial device (not a terminal)", path)
    except BlockingIOError:
        return _error(errno.EBUSY, _IN_USE, path)
    except OSError:
        pass
    finally:
        os.close(fd)
    return _error(errno.EIO, "the library could not open it (it opens now: it may have been busy; the library "
                  "never opens a terminal that a session uses, someone's shell or console)", path)
