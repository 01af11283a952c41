"""Which serial device is the board: the USB serial devices that pyserial
lists, with what the system knows of them, those whose USB ids are known
marked, and how to use each."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

from serial.tools import list_ports

from . import _install
from ._library import PORT_VARIABLE

_ID = re.compile(r"[0-9a-f]{4}")
# Names of serial devices whatever their bus: the library's own families.
_SERIAL_NAME = re.compile(r"tty(USB|ACM)[0-9]+")


class UsbIdsError(ValueError):
    """The list of known USB ids is missing or has a line it cannot read."""


def read_usb_ids(path: Path) -> dict[tuple[str, str], str]:
    """(vendor, product or '*') -> description, from a file of lines
    'vendor product description'; UsbIdsError naming file and line."""
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeError) as error:
        raise UsbIdsError(f"{path}: cannot read the known USB ids: {error}") from None
    known = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        words = line.split(None, 2)
        if (len(words) < 3 or not _ID.fullmatch(words[0]) or not (words[1] == "*" or _ID.fullmatch(words[1]))):
            raise UsbIdsError(f"{path}:{number}: not 'vendor product description' (4 lowercase hex "
                              f"digits each, product '*' for any): {line!r}")
        known[words[0], words[1]] = words[2]
    return known


def find_usb_ids() -> Path:
    tried = _install.usb_ids_candidates()
    for candidate in tried:
        if candidate.is_file():
            return candidate
    raise UsbIdsError("the list of known USB ids is not installed; tried " + ", ".join(map(str, tried)))


@dataclass
class SerialDevice:
    name: str                      # ttyACM0
    device: str                    # /dev/ttyACM0
    by_id: list[str] = field(default_factory=list)
    vendor: str | None = None      # 4 hex digits
    product: str | None = None
    maker: str | None = None
    product_name: str | None = None
    serial: str | None = None
    driver: str | None = None
    known: str | None = None       # the known id's description

    @property
    def usable_path(self) -> str:
        """The stable name when there is one: it survives replugging."""
        return self.by_id[0] if self.by_id else self.device


# udev's names for each serial device, from what the device says it is.
BY_ID_FOLDER = Path("/dev/serial/by-id")
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
# A device unplugged while pyserial reads it fails the whole listing (its
# files go from under it): pyserial is asked again, this many times at most.
_LISTING_ATTEMPTS = 3


def _shown(value: str | None) -> str | None:
    """A device's own text, its controls as '?': a device names itself, and
    its names must not drive the user's terminal."""
    if value is None:
        return None
    return _CONTROL.sub("?", value.replace("\ufffd", "?")).strip() or None


def _driver(port) -> str | None:
    """The kernel driver of the USB interface (cdc_acm, ch341, ftdi_sio,
    cp210x), else of the device itself."""
    for folder in (getattr(port, "usb_interface_path", None), getattr(port, "device_path", None)):
        if folder and os.path.exists(os.path.join(folder, "driver")):
            return os.path.basename(os.path.realpath(os.path.join(folder, "driver")))
    return None


def _by_id_names(folder: Path) -> dict[str, list[str]]:
    """Device name -> its by-id links."""
    names: dict[str, list[str]] = {}
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return names
    for entry in entries:
        try:
            target = os.readlink(folder / entry)
        except OSError:
            continue
        names.setdefault(os.path.basename(target), []).append(str(folder / entry))
    return names


def _comports() -> list:
    """pyserial's ports now."""
    for _ in range(_LISTING_ATTEMPTS - 1):
        try:
            return list(list_ports.comports())
        except (OSError, ValueError, TypeError):
            pass  # a device left while it was read
    return list(list_ports.comports())


def list_serial_devices(known: dict | None = None, ports: list | None = None) -> list[SerialDevice]:
    """The USB serial devices (and every ttyUSB and ttyACM) among ports,
    pyserial's port descriptions (by default what it finds now), in name
    order, those whose USB ids are known marked. Raises OSError, ValueError
    or TypeError where pyserial cannot list them."""
    by_id = _by_id_names(BY_ID_FOLDER)
    devices = []
    for port in sorted(_comports() if ports is None else ports):
        usb = port.vid is not None
        if not usb and not _SERIAL_NAME.fullmatch(port.name):
            continue  # the machine's own UARTs: no board behind them
        found = SerialDevice(name=port.name, device=port.device, by_id=by_id.get(port.name, []),
                             driver=_driver(port))
        if usb:
            found.vendor, found.product = f"{port.vid:04x}", f"{port.pid or 0:04x}"
            found.maker, found.product_name = _shown(port.manufacturer), _shown(port.product)
            found.serial = _shown(port.serial_number)
            if known:
                found.known = known.get((found.vendor, found.product)) or known.get((found.vendor, "*"))
        devices.append(found)
    return devices


def describe(device: SerialDevice) -> str:
    """One line: the device, what is known of it, and how to use it."""
    parts = [("* " if device.known else "  ") + device.device]
    if device.vendor:
        parts.append(f"usb {device.vendor}:{device.product or '????'}")
    if device.known:
        parts.append(f"[{device.known}]")
    for label, value in (("maker", device.maker), ("product", device.product_name), ("serial", device.serial)):
        if value:
            parts.append(f'{label} "{value}"')
    if device.driver:
        parts.append(f"driver {device.driver}")
    parts.extend(device.by_id)
    path = device.usable_path
    parts.append(f"-> {PORT_VARIABLE}={path}  Board({path!r})")
    return "  ".join(parts)


def print_ports(out: TextIO, err: TextIO) -> int:
    """Prints the list; 1 when there is no serial device, the known ids
    could not be read (the list is printed, unmarked) or the devices could
    not be listed."""
    status = 0
    known = {}
    try:
        known = read_usb_ids(find_usb_ids())
    except UsbIdsError as error:
        err.write(f"ports: {error}: no device is marked\n")
        status = 1
    try:
        devices = list_serial_devices(known)
    except (OSError, ValueError, TypeError) as error:
        err.write(f"ports: cannot list the serial devices: {error!r}\n")
        return 1
    for device in devices:
        out.write(describe(device) + "\n")
    if not devices:
        err.write("ports: no USB serial device (is the board plugged in, with its cable's data lines?)\n")
        return 1
    if any(device.known for device in devices):
        out.write("* its USB ids are a board's or a usual USB-serial chip's\n")
    return status
