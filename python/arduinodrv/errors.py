"""What a board request raises when it did not give what was asked.

Every one is a BoardError, and also the built-in exception a Python program
would expect for its kind of trouble: a board that does not answer is a
TimeoutError, a device that does not open an OSError naming its path, an
answer that is not a reading, a channel or a value the board lacks a
ValueError."""

from __future__ import annotations

import errno


def shown(path: str) -> str:
    """The path as a message shows it: quoted when it holds characters that a
    terminal would not show (a newline, a control character)."""
    return path if path.isprintable() and path.strip() == path else repr(path)


class BoardError(Exception):
    """A board request that did not give what was asked. port is the
    board's device (None when no device was chosen), reason what went wrong
    without it."""

    port: str | None = None
    reason: str = ""


class _OnDevice(OSError):
    # "path: reason", without Python's "[Errno 2]".
    def __str__(self) -> str:
        if self.filename is None:
            return str(self.strerror)
        return f"{shown(self.filename)}: {self.strerror}"


class PortError(BoardError, _OnDevice):
    """The board's device is not there or not to be had: errno says which
    (ENOENT missing or unplugged, EBUSY held by another program or Board,
    EACCES no permission, ENOTTY not a serial device, ENOTUNIQ several
    devices may be the board, EINVAL a path that cannot be one), filename
    is the device's path and strerror the reason."""


class NoAnswer(BoardError, _OnDevice, TimeoutError):
    """The board sent no whole answer within the time limit."""


class NotAReading(BoardError, ValueError):
    """The board answered something that is not a reading."""


class BadChannel(BoardError, ValueError):
    """No such channel on the board: nothing was sent."""


class BadValue(BoardError, ValueError):
    """A value the output cannot take: nothing was sent."""


class BoardClosed(BoardError, ValueError):
    """The Board is closed (or was closed while the call waited for it)."""


class NotSupported(BoardError, _OnDevice):
    """The board's sketch cannot do this (a classic sketch: no streams, no
    fast line); errno is ENOTSUP."""


class Streaming(BoardError, RuntimeError):
    """A stream is running on the board already: stop it before starting
    another."""


class NotStreaming(BoardError, RuntimeError):
    """A stream call, and no stream is running: it was stopped, or it ended
    and said so."""


class NoMemory(BoardError, MemoryError):
    """The system gave no memory (or no thread) for the call."""


class BoardInUseError(RuntimeError):
    """Driver: this process already has a board on another port: the
    library's state is the process's, so close that Driver first."""


def board_error(kind: type, reason: str, port: str | None, code: int = 0) -> BoardError:
    """An error of kind about port, with its reason; code is the errno of
    the kinds that are OSErrors."""
    if issubclass(kind, OSError):
        code = code or (errno.ETIMEDOUT if issubclass(kind, TimeoutError) else errno.EIO)
        error = kind(code, reason) if port is None else kind(code, reason, port)
    else:
        error = kind(reason if port is None else f"{shown(port)}: {reason}")
    error.port = port
    error.reason = reason
    return error
