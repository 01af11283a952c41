"""Finding, checking, loading and unloading the arduinodrv shared library."""

from __future__ import annotations

import _ctypes
import ctypes
import errno
import os
import re
import stat
import struct
import sys
import threading
from pathlib import Path

from . import _install

LIBRARY_NAME = "libarduinodrv.so"
# The build Python loads; ARDUINODRV_PORT points it at any device.
DEFAULT_BUILD = "ttyUSB0"
DEFAULT_PORT = "/dev/" + DEFAULT_BUILD
PORT_VARIABLE = "ARDUINODRV_PORT"

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
_ELF_TYPES = {1: "an object file", 2: "a program", 3: "a shared library", 4: "a core dump"}
_ET_DYN = 3
_EM_386 = 3
_EM_X86_64 = 62
_MACHINE_NAMES = {_EM_386: "x86", _EM_X86_64: "x86-64", 8: "MIPS", 20: "PowerPC", 21: "PowerPC 64",
                  22: "S/390", 40: "ARM", 83: "AVR", 183: "AArch64", 243: "RISC-V"}

PYTHON_BITS = struct.calcsize("P") * 8


class LoadedLibrary:
    """The one library this process has loaded, for one port: every Board on
    it shares its functions, its state and this lock."""

    def __init__(self, path: str, key: tuple[int, int], port: str | None, handle: int,
                 functions: dict[str, object]):
        self.path = path
        self.key = key
        self.port = port
        self.handle = handle
        self.functions = functions
        self.lock = threading.Lock()
        self.users = 0


# The library's state is the process's: one loaded library at a time.
current: LoadedLibrary | None = None
guard = threading.RLock()  # a Board collected during a guarded step releases under it


# A child forked while another thread was inside a call would inherit a held
# lock and hang at its first call: fork waits for calls to end instead.
def _before_fork() -> None:
    guard.acquire()
    if current is not None:
        current.lock.acquire()


def _after_fork() -> None:
    if current is not None:
        current.lock.release()
    guard.release()


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork, after_in_child=_after_fork)


def _elf_header(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(20)
    except OSError as error:
        raise OSError(error.errno, f"cannot read the library {path}: {error.strerror}") from None


def _elf_fields(header: bytes) -> tuple[int, int] | None:
    """(type, machine) of an ELF header, None when it is too short."""
    if len(header) < 20 or not header.startswith(_ELF_MAGIC):
        return None
    order = "<" if header[5] == 1 else ">"
    return struct.unpack(order + "HH", header[16:20])


def _python_machine() -> int | None:
    try:
        with open(sys.executable, "rb") as f:
            fields = _elf_fields(f.read(20))
    except OSError:
        return None
    return fields[1] if fields else None


def _machine_name(machine: int) -> str:
    return _MACHINE_NAMES.get(machine, f"machine {machine}")


def check_library_file(path: str) -> bytes:
    """Returns the ELF header of path; raises OSError naming path unless it
    is a shared library that this Python can load (processor, word size)."""
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
    fields = _elf_fields(header)
    if bits is None or fields is None:
        raise OSError(f"{path}: damaged ELF header")
    kind, machine = fields
    ours = _python_machine()
    x86 = (_EM_386, _EM_X86_64)
    if ours is not None and machine != ours and not (machine in x86 and ours in x86):
        # An AVR firmware, a library of a Raspberry Pi: not a file for here.
        raise OSError(f"{path}: an ELF file for {_machine_name(machine)}, not for this "
                      f"{_machine_name(ours)} computer")
    if kind != _ET_DYN:
        raise OSError(f"{path}: {_ELF_TYPES.get(kind, 'an ELF file')}, not a shared library")
    if bits != PYTHON_BITS:
        raise OSError(f"{path}: a {bits}-bit library, this Python is {PYTHON_BITS}-bit "
                      f"(load the {PYTHON_BITS}-bit build)")
    return header


def _bind(library: ctypes.CDLL, path: str, header: bytes) -> dict[str, object]:
    # On 32-bit x86 the plain names are stdcall, which ctypes cannot call on
    # Linux: take the cdecl twins there. The four text functions without
    # arguments are the same in both conventions; their "c" forms return
    # other texts, so they keep their own names.
    fields = _elf_fields(header)
    cdecl_twins = PYTHON_BITS == 32 and fields is not None and fields[1] == _EM_386
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


def library_key(path: str | os.PathLike) -> tuple[str, tuple[int, int], bytes]:
    """(path, file identity, ELF header) of a library file that this Python
    can load; TypeError, ValueError or OSError naming it otherwise."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"library must be a path (str or os.PathLike), not {type(path).__name__}")
    path = os.fsdecode(os.fspath(path))
    if not path:
        raise ValueError("library is an empty path")
    header = check_library_file(path)
    info = os.stat(path)
    return path, (info.st_dev, info.st_ino), header


def load(path: str, key: tuple[int, int], header: bytes, port: str | None) -> LoadedLibrary:
    """Loads the library file, which opens port (None: its own default) and
    waits for the board. The caller holds guard and nothing is loaded."""
    global current
    assert current is None
    # A name without a slash would send the loader searching its own
    # folders: load exactly the file named.
    absolute = os.path.abspath(path)
    # The load routine reads the variable; programs this process starts
    # later should not inherit it.
    before = os.environ.get(PORT_VARIABLE)
    if port is not None:
        os.environ[PORT_VARIABLE] = port
    try:
        library = ctypes.CDLL(absolute)
    except OSError as error:
        raise OSError(f"{path}: cannot load the library: {error}") from None
    finally:
        if port is not None:
            if before is None:
                del os.environ[PORT_VARIABLE]
            else:
                os.environ[PORT_VARIABLE] = before
    try:
        functions = _bind(library, path, header)
    except OSError:
        _ctypes.dlclose(library._handle)
        raise
    current = LoadedLibrary(absolute, key, port, library._handle, functions)
    return current


def unload() -> None:
    """Unloads the current library: its unload routine closes its port. The
    caller holds guard and no call is running."""
    global current
    loaded, current = current, None
    if loaded is not None:
        loaded.functions = {}
        _ctypes.dlclose(loaded.handle)


def candidate_paths() -> list[str]:
    """Where the build may be, most likely first: inside the package (a pip
    install), an install beside it, the build tree around it, then
    /usr/local and /usr."""
    lib_folder = "lib" if PYTHON_BITS == 64 else "lib32"
    build_folder = "lib64" if PYTHON_BITS == 64 else "lib"
    candidates = []
    if PYTHON_BITS == 64:
        candidates.append(_install.BUNDLED_LIBRARIES / DEFAULT_BUILD / LIBRARY_NAME)
    prefix = _install.install_prefix()
    if prefix is not None:
        candidates.append(prefix / lib_folder / "arduinodrv" / DEFAULT_BUILD / LIBRARY_NAME)
    source = _install.source_tree()
    if source is not None:
        candidates.append(source / "build" / build_folder / DEFAULT_BUILD / LIBRARY_NAME)
    for prefix in (Path("/usr/local"), Path("/usr")):
        candidates.append(prefix / lib_folder / "arduinodrv" / DEFAULT_BUILD / LIBRARY_NAME)
    unique = []
    for candidate in map(str, candidates):
        if candidate not in unique:
            unique.append(candidate)
    return unique


def find_library() -> str:
    """The path of the build of the library that Python loads. Raises
    FileNotFoundError listing every place tried."""
    tried = candidate_paths()
    for candidate in tried:
        if os.path.isfile(candidate):
            return candidate
    raise FileNotFoundError(
        errno.ENOENT, f"no {PYTHON_BITS}-bit build of arduinodrv found (build it, or give library=); tried: "
        + ", ".join(tried))


_PORT_TEXT = re.compile(rb"(/[\x21-\x7e]*/tty(?:USB|ACM)[0-9]+)\0")
_LARGEST_LIBRARY = 64 * 1024 * 1024


def build_port(path: str) -> str | None:
    """The device a build opens when ARDUINODRV_PORT is not set: the path it
    keeps as a text, else its folder's name (.../ttyUSB2/libarduinodrv.so
    opens /dev/ttyUSB2); None when neither tells."""
    try:
        with open(path, "rb") as f:
            found = set(_PORT_TEXT.findall(f.read(_LARGEST_LIBRARY)))
    except OSError:
        found = set()
    if len(found) == 1:
        return os.fsdecode(found.pop())
    folder = os.path.basename(os.path.dirname(os.path.abspath(path)))
    return "/dev/" + folder if re.fullmatch(r"tty(USB|ACM)[0-9]+", folder) else None
