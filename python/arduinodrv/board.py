"""The board seen through the arduinodrv library."""

from __future__ import annotations

import math
import numbers
import operator
import os

from . import _library

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def _int32(value: object, name: str) -> int:
    """value as a signed 32-bit int; ctypes would silently wrap a larger one
    and truncate a float, so both are refused here."""
    if type(value) is not int:
        if isinstance(value, bool) or not hasattr(type(value), "__index__"):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        value = operator.index(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"{name} {value} is outside the signed 32-bit range")
    return value


def _volts(value: object) -> float:
    if type(value) is not float:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"volts must be a real number, not {type(value).__name__}")
        try:
            value = float(value)
        except OverflowError:
            raise ValueError(f"volts {value} is beyond the range of a float") from None
    if not math.isfinite(value):
        # The library would send the raw value -2147483648: full scale asked,
        # output switched off.
        raise ValueError(f"volts must be a finite number, not {value}")
    return value


def _text(raw: bytes | None) -> str:
    return (raw or b"").decode("latin-1")


class Board:
    """A board on a serial port, driven through the arduinodrv library.

    Board() loads the 64-bit build for /dev/ttyUSB0; Board(port="/dev/ttyACM0")
    the build for that port (each build opens one fixed device); and
    Board(library="path/to/libarduinodrv.so") that very file. The build is
    looked for beside an install of this package (<prefix>/lib/arduinodrv/
    <port>/), in /usr/local/lib and /usr/lib, and in the build tree
    (build/lib64/<port>/) when the package runs from the source tree.

    Loading opens the port and waits 2 s while the board restarts; the port
    stays open until the process ends. The loader keeps one copy of a library
    file per process: a second Board on the same file shares it, with its
    port, its read-back values and its lock.

    The methods are named after the library's exports. They may be called
    from several threads: a lock keeps calls one at a time, as the library
    requires. Channels and values are ints in the signed 32-bit range
    (TypeError for a bool, a float or a str; ValueError beyond the range).
    No error comes from the board itself: a board that does not answer reads
    0 (0.0 in volts) after about one second.
    """

    def __init__(self, library: str | os.PathLike | None = None, port: str | os.PathLike | None = None):
        if library is not None and port is not None:
            raise ValueError("give library or port, not both: each build of the library opens one fixed port")
        if library is None:
            library = _library.find_library(port)
        loaded = _library.load(library)
        self._lock = loaded.lock
        self._path = loaded.path
        f = loaded.functions
        self._ea, self._ead, self._eb = f["ea"], f["ead"], f["eb"]
        self._sa, self._sad, self._sb = f["sa"], f["sad"], f["sb"]
        self._rsa, self._rsad, self._rsb = f["rsa"], f["rsad"], f["rsb"]
        self._nea, self._nead, self._neb = f["nea"], f["nead"], f["neb"]
        self._nsa, self._nsad, self._nsb = f["nsa"], f["nsad"], f["nsb"]
        self._titre, self._detail = f["titre"], f["detail"]
        self._stdtitre, self._stddetail = f["stdtitre"], f["stddetail"]

    @property
    def library(self) -> str:
        """Absolute path of the loaded library file."""
        return self._path

    def __repr__(self) -> str:
        return f"Board(library={self._path!r})"

    def _one(self, function, channel: int):
        channel = _int32(channel, "channel")
        with self._lock:
            return function(channel)

    def _label(self, function, channel: int) -> str:
        channel = _int32(channel, "channel")
        with self._lock:
            raw = function(channel)  # a copy, made before the lock goes
        return _text(raw)

    def _title(self, function) -> str:
        with self._lock:
            raw = function()
        return _text(raw)

    # Analog inputs 0-5.

    def ea(self, channel: int) -> int:
        """Analog input channel (0-5) as the board's raw reading (0-1023).
        Waits up to 1 s for the answer; 0 when none comes."""
        return self._one(self._ea, channel)

    def ead(self, channel: int) -> float:
        """Analog input channel (0-5) in volts (raw x 5 / 1024).
        Waits up to 1 s for the answer; 0.0 when none comes."""
        return self._one(self._ead, channel)

    # Digital inputs 0-3 (pins 2, 4, 7, 8).

    def eb(self, channel: int) -> int:
        """Digital input channel (0-3: pins 2, 4, 7, 8): 0 or 1.
        Waits up to 1 s for the answer; 0 when none comes."""
        return self._one(self._eb, channel)

    # Analog (PWM) outputs 0-3 (pins 3, 5, 6, 9).

    def sa(self, channel: int, value: int) -> int:
        """Sets PWM output channel (0-3) to the raw duty value (0-255).
        Returns half the value (truncated)."""
        channel = _int32(channel, "channel")
        value = _int32(value, "value")
        with self._lock:
            return self._sa(channel, value)

    def sad(self, channel: int, volts: float) -> float:
        """Sets PWM output channel (0-3) to volts (0-5 V, rounded to the raw
        value 0-255). Returns half the raw value sent (truncated)."""
        channel = _int32(channel, "channel")
        volts = _volts(volts)
        with self._lock:
            return self._sad(channel, volts)

    def rsa(self, channel: int) -> int:
        """The last raw value set on PWM output channel (0-8; 0 for others),
        without asking the board."""
        return self._one(self._rsa, channel)

    def rsad(self, channel: int) -> float:
        """The last voltage set with sad on PWM output channel (0-8; 0.0 for
        others), without asking the board."""
        return self._one(self._rsad, channel)

    # Digital outputs 0-3 (pins 10-13).

    def sb(self, channel: int, value: int) -> int:
        """Switches digital output channel (0-3: pins 10-13): exactly 1 is on,
        any other value off. Returns value."""
        channel = _int32(channel, "channel")
        value = _int32(value, "value")
        with self._lock:
            return self._sb(channel, value)

    def rsb(self, channel: int) -> int:
        """The last value given to sb for channel (0-8; 0 for others),
        without asking the board."""
        return self._one(self._rsb, channel)

    # Labels ("" for a channel the board lacks) and titles.

    def nea(self, channel: int) -> str:
        """Label of analog input channel read raw: "EA0" to "EA5"."""
        return self._label(self._nea, channel)

    def nead(self, channel: int) -> str:
        """Label of analog input channel read in volts: "EA0 (V)" to "EA5 (V)"."""
        return self._label(self._nead, channel)

    def neb(self, channel: int) -> str:
        """Label of digital input channel, e.g. "EB0 br 2"."""
        return self._label(self._neb, channel)

    def nsa(self, channel: int) -> str:
        """Label of PWM output channel set raw, e.g. "SA 0..255 (PWM) br3"."""
        return self._label(self._nsa, channel)

    def nsad(self, channel: int) -> str:
        """Label of PWM output channel set in volts, e.g. "SA0 0..5V(PWM) br3"."""
        return self._label(self._nsad, channel)

    def nsb(self, channel: int) -> str:
        """Label of digital output channel, e.g. "SB3 br 13 (diode)"."""
        return self._label(self._nsb, channel)

    def titre(self) -> str:
        """The driver's title, plain form: "Arduino en "."""
        return self._title(self._titre)

    def detail(self) -> str:
        """The driver's one-line description, plain form."""
        return self._title(self._detail)

    def stdtitre(self) -> str:
        """The driver's title, std form: "Arduino"."""
        return self._title(self._stdtitre)

    def stddetail(self) -> str:
        """The driver's one-line description, std form."""
        return self._title(self._stddetail)
