"""Which serial device is the board: the USB serial devices with what sysfs
knows of them, those whose USB ids are known marked, and how to use each."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

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


_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _read(folder: Path, name: str) -> str | None:
    """A sysfs value, its controls as '?': a device names itself, and its
    names must not drive the user's terminal."""
    try:
        value = (folder / name).read_text(encoding="utf-8", errors="replace").strip()
    except OSError:
        return None
    return _CONTROL.sub("?", value.replace("\ufffd", "?")) or None


def _usb_device(folder: Path, sys_root: Path) -> Path | None:
    """The USB device (the folder with idVendor) that folder is part of."""
    while folder != sys_root and sys_root in folder.parents:
        if (folder / "idVendor").is_file():
            return folder
        folder = folder.parent
    return None


def _driver(device: Path, sys_root: Path) -> str | None:
    """The kernel driver of the USB interface (cdc_acm, ch341, ftdi_sio,
    cp210x), else of the device itself."""
    folder = device
    while folder != sys_root and sys_root in folder.parents:
        if (folder / "bInterfaceNumber").is_file() and (folder / "driver").exists():
            return os.path.basename(os.path.realpath(folder / "driver"))
        if (folder / "idVendor").is_file():
            break
        folder = folder.parent
    driver = device / "driver"
    return os.path.basename(os.path.realpath(driver)) if driver.exists() else None


def _by_id_names(dev: Path) -> dict[str, list[str]]:
    """Device name -> its /dev/serial/by-id/ links (named as under /dev)."""
    names: dict[str, list[str]] = {}
    folder = dev / "serial" / "by-id"
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return names
    for entry in entries:
        try:
            target = os.readlink(folder / entry)
        except OSError:
            continue
        names.setdefault(os.path.basename(target), []).append(f"/dev/serial/by-id/{entry}")
    return names


def list_serial_devices(root: str | os.PathLike = "/", known: dict | None = None) -> list[SerialDevice]:
    """The USB serial devices (and every ttyUSB and ttyACM) that sysfs under
    root lists, in name order."""
    root = Path(root)
    sys_root = root / "sys"
    by_id = _by_id_names(root / "dev")
    devices = []
    try:
        names = sorted(os.listdir(sys_root / "class" / "tty"), key=_natural)
    except OSError:
        return devices
    for name in names:
        link = sys_root / "class" / "tty" / name / "device"
        if not link.exists():
            continue  # a console or a pseudo-terminal
        device = Path(os.path.realpath(link))
        usb = _usb_device(device, sys_root)
        if usb is None and not _SERIAL_NAME.fullmatch(name):
            continue  # the machine's own UARTs: no board behind them
        found = SerialDevice(name=name, device=f"/dev/{name}", by_id=by_id.get(name, []),
                             driver=_driver(device, sys_root))
        if usb is not None:
            found.vendor, found.product = _read(usb, "idVendor"), _read(usb, "idProduct")
            found.maker, found.product_name = _read(usb, "manufacturer"), _read(usb, "product")
            found.serial = _read(usb, "serial")
            if known and found.vendor:
                vendor, product = found.vendor.lower(), (found.product or "").lower()
                found.known = known.get((vendor, product)) or known.get((vendor, "*"))
        devices.append(found)
    return devices


def _natural(name: str) -> tuple:
    return tuple(int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name))


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


def print_ports(out: TextIO, err: TextIO, root: str | os.PathLike = "/") -> int:
    """Prints the list; 1 when there is no serial device or the known ids
    could not be read (the list is printed, unmarked)."""
    status = 0
    known = {}
    try:
        known = read_usb_ids(find_usb_ids())
    except UsbIdsError as error:
        err.write(f"ports: {error}: no device is marked\n")
        status = 1
    devices = list_serial_devices(root, known)
    for device in devices:
        out.write(describe(device) + "\n")
    if not devices:
        err.write("ports: no USB serial device (is the board plugged in, with its cable's data lines?)\n")
        return 1
    if any(device.known for device in devices):
        out.write("* its USB ids are a board's or a usual USB-serial chip's\n")
    return status
