"""Finding and loading libarduinoboard, once per file for the whole process:
every Board on it shares it (the library is thread-safe, each board has its
own lock in it)."""

from __future__ import annotations

import ctypes
import errno
import os
import threading

from . import _install, _library

LIBRARY_FILE = "libarduinoboard.so.1"
# Where an install puts it under its prefix, and where a build makes it, for
# this Python's width.
INSTALL_FOLDER = {64: "lib/x86_64-linux-gnu", 32: "lib32"}[_library.PYTHON_BITS]
BUILD_FOLDER = {64: "lib64", 32: "lib"}[_library.PYTHON_BITS]
MAJOR_VERSION = "1"

# The statuses of arduinoboard.h's ab_status, by value.
OK, NO_ANSWER, NOT_A_READING, NO_PORT, PORT_BUSY, NO_PERMISSION, NOT_A_PORT, BAD_CHANNEL, BAD_VALUE, \
    BAD_ARGUMENT, SEVERAL_PORTS, NOT_SUPPORTED, STREAMING, NO_MEMORY, NOT_STREAMING = range(15)
# The kinds of ab_event, by value.
EVENT_NONE, EVENT_ATTACHED, EVENT_DETACHED, EVENT_RESTARTED, EVENT_RATE_CHANGED, EVENT_STREAM_ENDED = range(6)


class CReading(ctypes.Structure):
    _fields_ = [("raw", ctypes.c_int32), ("volts", ctypes.c_double), ("time_ns", ctypes.c_int64),
                ("round_trip_ns", ctypes.c_int64)]


class CScanResult(ctypes.Structure):
    _fields_ = [("analog", CReading * 6), ("analog_status", ctypes.c_int * 6),
                ("digital", CReading * 4), ("digital_status", ctypes.c_int * 4)]


class CSample(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_uint32), ("board_time_us", ctypes.c_int64), ("time_ns", ctypes.c_int64),
                ("analog_mask", ctypes.c_uint8), ("analog", ctypes.c_int32 * 6), ("digital", ctypes.c_uint8)]


class COptions(ctypes.Structure):
    _fields_ = [("timeout_ms", ctypes.c_int), ("start_ms", ctypes.c_int), ("exclusive", ctypes.c_int),
                ("baud", ctypes.c_int)]


class CLink(ctypes.Structure):
    _fields_ = [("connected", ctypes.c_int), ("opens", ctypes.c_uint64), ("requests", ctypes.c_uint64),
                ("no_answer", ctypes.c_uint64), ("not_a_reading", ctypes.c_uint64),
                ("last_answer_ns", ctypes.c_int64), ("pwm", ctypes.c_int32 * 4), ("digital", ctypes.c_int32 * 4),
                ("no_port", ctypes.c_uint64), ("opened_ns", ctypes.c_int64), ("baud", ctypes.c_int32),
                ("frames_lost", ctypes.c_uint64), ("frames_bad", ctypes.c_uint64),
                ("samples_dropped", ctypes.c_uint64), ("sketch", ctypes.c_int32)]


class CEvent(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("value", ctypes.c_int32), ("time_ns", ctypes.c_int64),
                ("missed", ctypes.c_uint64)]


BOARD = ctypes.c_void_p  # an ab_board *, the handle of one board
_SIGNATURES = {
    "ab_status_text": ([ctypes.c_int], ctypes.c_char_p),
    "ab_last_error": ([], ctypes.c_char_p),
    "ab_version": ([], ctypes.c_char_p),
    "ab_default_options": ([ctypes.POINTER(COptions)], None),
    "ab_open": ([ctypes.c_char_p, ctypes.POINTER(COptions), ctypes.POINTER(BOARD)], ctypes.c_int),
    "ab_close": ([BOARD], None),
    "ab_port": ([BOARD], ctypes.c_char_p),
    "ab_read_analog": ([BOARD, ctypes.c_int, ctypes.POINTER(CReading)], ctypes.c_int),
    "ab_read_digital": ([BOARD, ctypes.c_int, ctypes.POINTER(CReading)], ctypes.c_int),
    "ab_write_pwm": ([BOARD, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "ab_write_digital": ([BOARD, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "ab_link_state": ([BOARD, ctypes.POINTER(CLink)], ctypes.c_int),
    "ab_scan": ([BOARD, ctypes.POINTER(CScanResult)], ctypes.c_int),
    "ab_stream_start": ([BOARD, ctypes.c_uint, ctypes.c_uint, ctypes.c_int], ctypes.c_int),
    "ab_stream_read": ([BOARD, ctypes.POINTER(CSample), ctypes.c_size_t, ctypes.c_int,
                        ctypes.POINTER(ctypes.c_size_t)], ctypes.c_int),
    "ab_stream_stop": ([BOARD], ctypes.c_int),
    "ab_event_fd": ([BOARD], ctypes.c_int),
    "ab_next_event": ([BOARD, ctypes.POINTER(CEvent), ctypes.c_int], ctypes.c_int),
}

# What every libarduinoboard.so.1 has had: one that lacks only later ones is
# an earlier build of it.
_FIRST_FUNCTIONS = ("ab_version", "ab_open", "ab_close", "ab_read_analog")


class BoardLibrary:
    """libarduinoboard loaded: its functions as attributes (ab_open, ...)."""

    def __init__(self, library: ctypes.CDLL, path: str):
        missing = [name for name in _SIGNATURES if not hasattr(library, name)]
        if missing:
            named = f"{', '.join(missing[:3])}{', ...' if len(missing) > 3 else ''}"
            if all(hasattr(library, name) for name in _FIRST_FUNCTIONS):
                # An earlier build of the same library: say so, not that it is another one.
                raise OSError(f"{path}: a libarduinoboard older than this package (it has no {named}): "
                              "build or install this release's")
            raise OSError(f"{path}: not libarduinoboard (it has no {named})")
        for name, (argtypes, restype) in _SIGNATURES.items():
            function = getattr(library, name)
            function.argtypes = argtypes
            function.restype = restype
            setattr(self, name, function)
        self.version = self.ab_version().decode("ascii", "replace")
        if self.version.split(".")[0] != MAJOR_VERSION:
            raise OSError(f"{path}: libarduinoboard {self.version}, this package takes version "
                          f"{MAJOR_VERSION}.x")
        self.path = _mapped_file(ctypes.cast(self.ab_open, ctypes.c_void_p).value) or path
        self._library = library  # kept loaded for the process's life

    def last_error(self) -> str:
        """This thread's last call's reason (bytes of a path kept as they are)."""
        return os.fsdecode(self.ab_last_error())


def _mapped_file(address: int | None) -> str | None:
    """The file mapped at address in this process: where the loader found
    the library."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="surrogateescape") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                start, _, end = fields[0].partition("-")
                if len(fields) == 6 and address is not None and int(start, 16) <= address < int(end, 16):
                    return fields[5].rstrip("\n")
    except (OSError, ValueError):
        pass
    return None


def candidate_paths() -> list[str]:
    """Where libarduinoboard may be, most likely first: inside the package
    (a pip install), beside an install of it, then in the build tree it sits
    in. After these the system's loader searches its own folders."""
    candidates = []
    if _library.PYTHON_BITS == 64:
        candidates.append(_install.BUNDLED_LIBRARIES / LIBRARY_FILE)
    prefix = _install.install_prefix()
    if prefix is not None:
        candidates.append(prefix / INSTALL_FOLDER / LIBRARY_FILE)
    source = _install.source_tree()
    if source is not None:
        candidates.append(source / "build" / BUILD_FOLDER / LIBRARY_FILE)
    unique = []
    for candidate in map(str, candidates):
        if candidate not in unique:
            unique.append(candidate)
    return unique


_lock = threading.Lock()
_loaded: dict[object, BoardLibrary] = {}  # by file identity, or by the loader's name


def _load_file(path: str | os.PathLike) -> BoardLibrary:
    path, identity, _ = _library.library_key(path)  # an OSError naming a file that is no library for here
    if identity not in _loaded:
        try:
            library = ctypes.CDLL(os.path.abspath(path))
        except OSError as error:
            raise OSError(f"{path}: cannot load the library: {error}") from None
        _loaded[identity] = BoardLibrary(library, path)
    return _loaded[identity]


def load(path: str | os.PathLike | None = None) -> BoardLibrary:
    """The library at path, else the one found; loaded once per process.
    OSError naming the file, or listing what was tried when none is there."""
    with _lock:
        if path is not None:
            return _load_file(path)
        tried = candidate_paths()
        for candidate in tried:
            if os.path.isfile(candidate):
                return _load_file(candidate)
        if LIBRARY_FILE not in _loaded:
            try:
                library = ctypes.CDLL(LIBRARY_FILE)
            except OSError as error:
                raise FileNotFoundError(
                    errno.ENOENT, f"no {_library.PYTHON_BITS}-bit libarduinoboard found (build it, install it, or "
                    f"give library=); tried {', '.join(tried + [LIBRARY_FILE + ' through the loader'])}: "
                    f"{error}") from None
            _loaded[LIBRARY_FILE] = BoardLibrary(library, LIBRARY_FILE)
        return _loaded[LIBRARY_FILE]


def _after_fork_in_child() -> None:
    # A fork while another thread loaded would leave the lock held.
    global _lock
    _lock = threading.Lock()


os.register_at_fork(after_in_child=_after_fork_in_child)
