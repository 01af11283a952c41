"""Finding, checking and loading the arduinodrv shared library."""

from __future__ import annotations

import ctypes
import errno
import os
import stat
import struct
import sys
import threading
from pathlib import Path

LIBRARY_NAME = "libarduinodrv.so"
DEFAULT_PORT = "/dev/ttyUSB0"

# The exports the package binds. Every one of them takes int arguments only.
_SIGNATURES: dict[str, tuple[list, type]] = {
    "ea": ([ctypes.c_int], ctypes.c_int),
    "ead": ([ctypes.c_int], ctypes.c_double),
    "eb": ([ctypes.c_int], ctypes.c_int),
    "sa": ([ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "sad": ([ctypes.c_int, ctypes.c_double], ctypes.c_double),
    "sb": ([ctypes.c_int, ctypes.c_int], ctypes.c_int),
    "rsa": ([ctypes.c_int], ctypes.c_int),
    "rsad": ([ctypes.c_int], ctypes.c_double),
    "rsb": ([ctypes.c_int], ctypes.c_int),
    "nea": ([ctypes.c_int], ctypes.c_char_p),
    "nead": ([ctypes.c_int], ctypes.c_char_p),
    "neb": ([ctypes.c_int], ctypes.c_char_p),
    "nsa": ([ctypes.c_int], ctypes.c_char_p),
    "nsad": ([ctypes.c_int], ctypes.c_char_p),
    "nsb": ([ctypes.c_int], ctypes.c_char_p),
    "titre": ([], ctypes.c_char_p),
    "detail": ([], ctypes.c_char_p),
    "stdtitre": ([], ctypes.c_char_p),
    "stddetail": ([], ctypes.c_char_p),
}

_ELF_MAGIC = b"\x7fELF"
_ELF_CLASS_BITS = {1: 32, 2: 64}
_EM_386 = 3
_EM_X86_64 = 62
_MACHINE_NAMES = {_EM_386: "x86", _EM_X86_64: "x86-64", 40: "ARM", 183: "AArch64", 243: "RISC-V"}

PYTHON_BITS = struct.calcsize("P") * 8


class LoadedLibrary:
    """One loaded file: the loader keeps a single copy per process, so every
    Board on it shares its functions, its state and this lock."""

    def __init__(self, path: str, functions: dict[str, object]):
        self.path = path
        self.functions = functions
        self.lock = threading.Lock()


_loaded: dict[tuple[int, int], LoadedLibrary] = {}
_loaded_guard = threading.Lock()


# A child forked while another thread was inside a call would inherit a held
# lock and hang at its first call: fork waits for calls to end instead.
def _before_fork() -> None:
    _loaded_guard.acquire()
    for loaded in _loaded.values():
        loaded.lock.acquire()


def _after_fork() -> None:
    for loaded in _loaded.values():
        loaded.lock.release()
    _loaded_guard.release()


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork, after_in_child=_after_fork)


def _elf_header(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(20)
    except OSError as error:
        raise OSError(error.errno, f"cannot read the library {path}: {error.strerror}") from None


def _elf_machine(header: bytes) -> int | None:
    if len(header) < 20 or not header.startswith(_ELF_MAGIC):
        return None
    order = "<" if header[5] == 1 else ">"
    return struct.unpack(order + "H", header[18:20])[0]


def _python_machine() -> int | None:
    try:
        with open(sys.executable, "rb") as f:
            return _elf_machine(f.read(20))
    except OSError:
        return None


def check_library_file(path: str) -> bytes:
    """Returns the ELF header of path; raises OSError naming path unless it
    is a shared library that this Python can load (word size, processor)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "no such library file", path) from None
    except OSError as error:
        raise OSError(error.errno, f"cannot reach the library {path}: {error.strerror}") from None
    if stat.S_ISDIR(mode):
        raise OSError(f"{path}: is a folder, not a library file")
    if not stat.S_ISREG(mode):
        # Opening a serial device or a pipe could block, or reset a board.
        raise OSError(f"{path}: is a device or a pipe, not a library file")
    header = _elf_header(path)
    if not header.startswith(_ELF_MAGIC):
        raise OSError(f"{path}: not a shared library (no ELF header)")
    bits = _ELF_CLASS_BITS.get(header[4]) if len(header) > 4 else None
    if bits is None:
        raise OSError(f"{path}: damaged ELF header (unknown class)")
    if bits != PYTHON_BITS:
        raise OSError(f"{path}: {bits}-bit library, this Python is {PYTHON_BITS}-bit")
    machine = _elf_machine(header)
    ours = _python_machine()
    if machine is not None and ours is not None and machine != ours:
        theirs = _MACHINE_NAMES.get(machine, f"machine {machine}")
        raise OSError(f"{path}: library built for {theirs}, this Python runs on "
                      f"{_MACHINE_NAMES.get(ours, f'machine {ours}')}")
    return header


def _bind(library: ctypes.CDLL, path: str, header: bytes) -> dict[str, object]:
    # On 32-bit x86 the plain names are stdcall, which ctypes cannot call on
    # Linux: take the cdecl twins there. The four text functions without
    # arguments are the same in both conventions; their "c" forms return
    # other texts, so they keep their own names.
    cdecl_twins = PYTHON_BITS == 32 and _elf_machine(header) == _EM_386
    if not hasattr(library, "titre"):
        raise OSError(f"{path}: not the arduinodrv library (it has no titre export)")
    functions = {}
    missing = []
    for name, (argtypes, restype) in _SIGNATURES.items():
        symbol = "c" + name if cdecl_twins and argtypes else name
        try:
            function = getattr(library, symbol)
        except AttributeError:
            missing.append(symbol)
            continue
        function.argtypes = argtypes
        function.restype = restype
        functions[name] = function
    if missing:
        raise OSError(f"{path}: not a complete arduinodrv library (missing {', '.join(missing)})")
    return functions


def load(path: str | os.PathLike) -> LoadedLibrary:
    """Loads the library file at path once per process and returns it."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"library must be a path (str or os.PathLike), not {type(path).__name__}")
    path = os.fspath(path)
    if not isinstance(path, str):
        path = os.fsdecode(path)
    if not path:
        raise ValueError("library is an empty path")
    header = check_library_file(path)
    info = os.stat(path)
    key = (info.st_dev, info.st_ino)
    with _loaded_guard:
        if key in _loaded:
            return _loaded[key]
        # A name without a slash would send the loader searching its own
        # folders: load exactly the file named.
        absolute = os.path.abspath(path)
        try:
            library = ctypes.CDLL(absolute)
        except OSError as error:
            raise OSError(f"{path}: cannot load the library: {error}") from None
        loaded = LoadedLibrary(absolute, _bind(library, path, header))
        _loaded[key] = loaded
        return loaded


def port_folder(port: str | os.PathLike | None) -> str:
    """The folder name of the builds for port: "/dev/ttyACM0" gives "ttyACM0"."""
    if port is None:
        port = DEFAULT_PORT
    if not isinstance(port, (str, os.PathLike)):
        raise TypeError(f"port must be a device path or name (str), not {type(port).__name__}")
    name = os.path.basename(os.fsdecode(port))
    if not name or name in (".", ".."):
        raise ValueError(f"port {os.fsdecode(port)!r} names no device")
    return name


def candidate_paths(port: str | os.PathLike | None = None) -> list[str]:
    """Where the build for port may be, most likely first: an install beside
    this package, the build tree around it, then /usr/local and /usr."""
    name = port_folder(port)
    package = Path(__file__).resolve().parent
    lib_folder = "lib" if PYTHON_BITS == 64 else "lib32"
    build_folder = "lib64" if PYTHON_BITS == 64 else "lib"
    candidates = []
    # Installed: <prefix>/lib/python3/dist-packages/arduinodrv
    packages = package.parent
    if packages.name in ("dist-packages", "site-packages") and packages.parent.parent.name == "lib":
        prefix = packages.parent.parent.parent
        candidates.append(prefix / lib_folder / "arduinodrv" / name / LIBRARY_NAME)
    # Source tree: <repo>/python/arduinodrv
    if package.parent.name == "python":
        candidates.append(package.parent.parent / "build" / build_folder / name / LIBRARY_NAME)
    for prefix in (Path("/usr/local"), Path("/usr")):
        candidates.append(prefix / lib_folder / "arduinodrv" / name / LIBRARY_NAME)
    unique = []
    for candidate in map(str, candidates):
        if candidate not in unique:
            unique.append(candidate)
    return unique


def find_library(port: str | os.PathLike | None = None) -> str:
    """The path of the build of the library for port (default /dev/ttyUSB0).
    Raises OSError listing every place tried."""
    tried = candidate_paths(port)
    for candidate in tried:
        if os.path.isfile(candidate):
            return candidate
    raise FileNotFoundError(
        errno.ENOENT, f"no {PYTHON_BITS}-bit build of arduinodrv for {port_folder(port)}; tried: " + ", ".join(tried))
