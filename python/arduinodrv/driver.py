"""The original interface: the arduinodrv library's functions under their
own names, one board per process."""

from __future__ import annotations

import numbers
import operator
import os
import weakref

from . import _library, _port
from .channels import ANALOG_INPUTS, ANALOG_OUTPUTS, DIGITAL_INPUTS, DIGITAL_OUTPUTS

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
    return value


def _text(raw: bytes | None) -> str:
    return (raw or b"").decode("latin-1")


class Driver:
    """The original interface: the arduinodrv library's 71 functions under
    their own names (ea, ead, eb, sa, sad, sb, rsa, ...), for programs written
    against them. New programs use Board, which has a status for every
    request, a time with every reading and several boards in one program.

    Driver("/dev/ttyACM0") loads the 64-bit build of the library, which opens
    that device: any path, a /dev/serial/by-id/ name or a link of your own
    (it is handed to the library as ARDUINODRV_PORT). Driver() opens the
    device that ARDUINODRV_PORT names, else /dev/ttyUSB0. library= loads
    that very file instead of the build found beside an install of this
    package (<prefix>/lib/arduinodrv/ttyUSB0/), in the build tree
    (build/lib64/ttyUSB0/) or in /usr/local/lib and /usr/lib.

    Loading opens the device and waits 2 s while the board restarts. When
    the device does not open, Driver raises PortError (an OSError naming the
    path and the reason); with require_port=False it stays silent, as the
    library does, and every input then reads 0. A folder, a regular file or
    a pipe is refused either way.

    The library's state is the process's: a process has one board at a
    time. A second Driver on the same port shares the first one's library,
    with its port and read-back values; one on another port raises
    BoardInUseError until the others are closed. close(), or the end of a
    with block, releases the board: once the last Driver on it is closed, the
    library is unloaded, which closes the device for other programs. Calls
    on a closed Driver raise ValueError.

    The methods are named after the library's exports. They may be called
    from several threads: a lock keeps calls one at a time, as the library
    requires. Channels and values are ints in the signed 32-bit range
    (TypeError for a bool, a float or a str; ValueError beyond the range).
    A channel the board lacks is not refused: each method's docstring says
    what the library gives for it. No error comes from the board itself: a
    board that does not answer reads 0 (0.0 in volts) after about one
    second.
    """

    ANALOG_INPUTS = ANALOG_INPUTS
    DIGITAL_INPUTS = DIGITAL_INPUTS
    ANALOG_OUTPUTS = ANALOG_OUTPUTS
    DIGITAL_OUTPUTS = DIGITAL_OUTPUTS

    def __init__(self, port: str | os.PathLike | None = None, *, library: str | os.PathLike | None = None,
                 require_port: bool = True):
        self._functions = None
        if port is not None:
            port = _port.port_path(port)
            self._refuse_library_as_port(port, library)
            _port.check_port(port, missing_ok=not require_port)
        elif os.environ.get(_library.PORT_VARIABLE) or library is None:
            # Told before a search for the library: "no board" is the news.
            port = os.environ.get(_library.PORT_VARIABLE) or _library.DEFAULT_PORT
            _port.check_port(port, missing_ok=not require_port)
        library_file, key, header = _library.library_key(
            library if library is not None else _library.find_library())
        if port is None:
            port = _library.build_port(library_file)
            if port is not None:
                _port.check_port(port, missing_ok=not require_port)
        with _library.guard:
            loaded = self._attach(library_file, key, header, port, require_port)
            loaded.users += 1
        self._loaded = loaded
        self._lock = loaded.lock
        self._port = port
        self._functions = loaded.functions
        # A Driver dropped without close() gives its place up: another port
        # may then load (the library stays loaded until then).
        self._release = weakref.finalize(self, _release, loaded)

    @staticmethod
    def _refuse_library_as_port(port: str, library) -> None:
        if library is None and port.endswith(".so"):
            raise ValueError(f"{_port.shown(port)} looks like a library: the first argument is the board's "
                             f"device (Driver(port, library=...))")

    @staticmethod
    def _attach(library_file, key, header, port, require_port) -> _library.LoadedLibrary:
        loaded = _library.current
        if loaded is not None and loaded.key == key and _same_port(loaded.port, port):
            if require_port and port is not None and not _port.opened_since({}, port):
                raise _port.why_not_open(port)
            return loaded
        if loaded is not None and loaded.users > 0:
            raise _port.BoardInUseError(
                f"this process has a board on {_port.shown(loaded.port or 'its default port')} "
                f"(library {loaded.path}): close it before opening {_port.shown(port or 'another')}")
        if loaded is not None:
            with loaded.lock:
                _library.unload()
        before = _port.open_devices()
        loaded = _library.load(library_file, key, header, port)
        if require_port and not _port.opened_since(before, port):
            with loaded.lock:
                _library.unload()
            raise _port.why_not_open(port)
        return loaded

    def close(self) -> None:
        """Releases the board. When no other Driver of this process uses it,
        the library is unloaded: its port closes and its claim ends, as at
        the end of the process. Closing again does nothing."""
        with _library.guard:
            if self._functions is None:
                return
            with self._lock:
                self._functions = None
            self._release()
            if self._loaded.users == 0 and _library.current is self._loaded:
                with self._lock:
                    _library.unload()

    @property
    def closed(self) -> bool:
        return self._functions is None

    def __enter__(self) -> "Driver":
        self._live()
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    @property
    def library(self) -> str:
        """Absolute path of the loaded library file."""
        return self._loaded.path

    @property
    def port(self) -> str | None:
        """The device the library opens (None when the build does not say)."""
        return self._port

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        return f"Driver({self._port!r}, library={self._loaded.path!r}{state})"

    def _live(self) -> dict:
        functions = self._functions
        if functions is None:
            raise ValueError(f"Driver({self._port!r}) is closed")
        return functions

    def _call(self, name: str, *arguments):
        # Inside the lock: a close() from another thread unloads the library
        # only between calls.
        with self._lock:
            return self._live()[name](*arguments)

    def _one(self, name: str, channel: int):
        return self._call(name, _int32(channel, "channel"))

    def _label(self, name: str, channel: int) -> str:
        return _text(self._one(name, channel))  # a copy, made before the lock goes

    def _title(self, name: str) -> str:
        return _text(self._call(name))

    # Analog inputs 0-5.

    def ea(self, channel: int) -> int:
        """Analog input channel (0-5) as the board's raw reading (0-1023).
        Waits up to 1 s for the answer; 0 when none comes, or when the
        answer is no number. Another channel is sent as the character of
        code 48 + channel (10 as ":"), and whatever the board answers to it
        is returned."""
        return self._one("ea", channel)

    def ead(self, channel: int) -> float:
        """Analog input channel (0-5) in volts (raw x 5 / 1024).
        Waits up to 1 s for the answer; 0.0 when none comes, or when the
        answer is no number. Another channel is sent in decimal (EA12,
        EA-1), and whatever the board answers to it is returned in volts."""
        return self._one("ead", channel)

    # Digital inputs 0-3 (pins 2, 4, 7, 8).

    def eb(self, channel: int) -> int:
        """Digital input channel (0-3: pins 2, 4, 7, 8): 0 or 1.
        Waits up to 1 s for the answer; 0 when none comes. Any other
        channel asks for pin 0 and gives the board's answer to that."""
        return self._one("eb", channel)

    # Analog (PWM) outputs 0-3 (pins 3, 5, 6, 9).

    def sa(self, channel: int, value: int) -> int:
        """Sets PWM output channel (0-3) to the raw duty value (0-255; any
        other value is sent unchanged). Returns half the value, truncated
        toward 0. Another channel sends nothing and still returns half the
        value; channels 4-8 keep it for rsa."""
        channel = _int32(channel, "channel")
        value = _int32(value, "value")
        return self._call("sa", channel, value)

    def sad(self, channel: int, volts: float) -> float:
        """Sets PWM output channel (0-3) to volts (0-5 V: volts x 255 / 5,
        rounded, is the raw value sent). Returns half the raw value,
        truncated. Volts outside 0-5 are sent as they are (6 V sends 306);
        NaN, an infinity or more than about 4.2e7 V sends -2147483648 and
        returns -1073741824.0. Another channel sends nothing, as sa."""
        channel = _int32(channel, "channel")
        volts = _volts(volts)
        return self._call("sad", channel, volts)

    def rsa(self, channel: int) -> int:
        """The last raw value set on PWM output channel (0-8; 0 for others),
        without asking the board."""
        return self._one("rsa", channel)

    def rsad(self, channel: int) -> float:
        """The last voltage set with sad on PWM output channel (0-8; 0.0 for
        others), without asking the board."""
        return self._one("rsad", channel)

    # Digital outputs 0-3 (pins 10-13).

    def sb(self, channel: int, value: int) -> int:
        """Switches digital output channel (0-3: pins 10-13): exactly 1 is on,
        any other value off. Returns value. Any other channel switches pin
        0's code ("SB0"), which the board has no output for."""
        channel = _int32(channel, "channel")
        value = _int32(value, "value")
        return self._call("sb", channel, value)

    def rsb(self, channel: int) -> int:
        """The last value given to sb for channel (0-8; 0 for others),
        without asking the board."""
        return self._one("rsb", channel)

    # Labels ("" for a channel the board lacks) and titles.

    def nea(self, channel: int) -> str:
        """Label of analog input channel read raw: "EA0" to "EA5"; "" for
        another channel (so for the labels that follow)."""
        return self._label("nea", channel)

    def nead(self, channel: int) -> str:
        """Label of analog input channel read in volts: "EA0 (V)" to "EA5 (V)"."""
        return self._label("nead", channel)

    def neb(self, channel: int) -> str:
        """Label of digital input channel, e.g. "EB0 br 2"."""
        return self._label("neb", channel)

    def nsa(self, channel: int) -> str:
        """Label of PWM output channel set raw, e.g. "SA 0..255 (PWM) br3"."""
        return self._label("nsa", channel)

    def nsad(self, channel: int) -> str:
        """Label of PWM output channel set in volts, e.g. "SA0 0..5V(PWM) br3"."""
        return self._label("nsad", channel)

    def nsb(self, channel: int) -> str:
        """Label of digital output channel, e.g. "SB3 br 13 (diode)"."""
        return self._label("nsb", channel)

    def titre(self) -> str:
        """The driver's title, plain form: "Arduino en "."""
        return self._title("titre")

    def detail(self) -> str:
        """The driver's one-line description, plain form."""
        return self._title("detail")

    def stdtitre(self) -> str:
        """The driver's title, std form: "Arduino"."""
        return self._title("stdtitre")

    def stddetail(self) -> str:
        """The driver's one-line description, std form."""
        return self._title("stddetail")


def _release(loaded: _library.LoadedLibrary) -> None:
    with _library.guard:
        loaded.users -= 1


def _same_port(a: str | None, b: str | None) -> bool:
    if a == b:
        return True
    if a is None or b is None:
        return False
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.stat(a).st_rdev == os.stat(b).st_rdev != 0
    except OSError:
        return False
