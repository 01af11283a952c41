"""python3 -m arduinodrv ports on a fake /sys and /dev/serial/by-id."""

import os
from pathlib import Path

import pytest

from arduinodrv import ports
from arduinodrv.cli import main

CH340 = "usb-1a86_USB_Serial-if00-port0"


def usb_tty(root, name, bus_path, ids, interface_driver, strings=None, port_folder=False):
    """A tty under a USB device with ids (vendor, product), as the kernel lays it out."""
    device = root / "sys/devices/pci0000:00/usb1" / bus_path
    device.mkdir(parents=True)
    (device / "idVendor").write_text(ids[0] + "\n")
    (device / "idProduct").write_text(ids[1] + "\n")
    for key, value in (strings or {}).items():
        (device / key).write_text(value + "\n")
    interface = device / f"{bus_path}:1.0"
    interface.mkdir()
    (interface / "bInterfaceNumber").write_text("00\n")
    driver = root / "sys/bus/usb/drivers" / interface_driver
    driver.mkdir(parents=True, exist_ok=True)
    (interface / "driver").symlink_to(driver)
    tty_device = interface / name if port_folder else interface  # usb-serial adds a port folder
    tty_device.mkdir(exist_ok=True)
    link_tty(root, name, tty_device)


def link_tty(root, name, device):
    entry = root / "sys/class/tty" / name
    entry.mkdir(parents=True)
    (entry / "device").symlink_to(os.path.relpath(device, entry))


@pytest.fixture
def fake_root(tmp_path):
    usb_tty(tmp_path, "ttyACM0", "1-1", ("2341", "0043"), "cdc_acm",
            {"manufacturer": "Arduino (www.arduino.cc)", "product": "Uno", "serial": "8573"})
    usb_tty(tmp_path, "ttyUSB0", "1-2", ("1a86", "7523"), "ch341", {"product": "USB Serial"}, port_folder=True)
    usb_tty(tmp_path, "ttyUSB1", "1-3", ("abcd", "0001"), "pl2303", {"product": "Bo\x1b[2Jard"}, port_folder=True)
    uart = tmp_path / "sys/devices/platform/serial8250/tty/ttyS0"
    uart.mkdir(parents=True)
    link_tty(tmp_path, "ttyS0", uart)  # the machine's own UART: left out
    (tmp_path / "sys/class/tty/tty1").mkdir()  # a console: no device
    by_id = tmp_path / "dev/serial/by-id"
    by_id.mkdir(parents=True)
    (by_id / CH340).symlink_to("../../ttyUSB0")
    return tmp_path


def test_devices_listed_known_marked_and_how_to_use(fake_root, capsys):
    assert main(["ports", "--root", str(fake_root)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 4
    acm, ch340, other, legend = lines
    assert acm.startswith("* /dev/ttyACM0  usb 2341:0043  [Arduino board]")
    assert 'maker "Arduino (www.arduino.cc)"  product "Uno"  serial "8573"  driver cdc_acm' in acm
    assert acm.endswith("-> ARDUINODRV_PORT=/dev/ttyACM0  Board('/dev/ttyACM0')")
    # The stable name is the one to use: it survives replugging.
    assert ch340.startswith("* /dev/ttyUSB0  usb 1a86:7523  [CH340 USB-serial chip]")
    assert f"driver ch341  /dev/serial/by-id/{CH340}" in ch340
    assert ch340.endswith(f"ARDUINODRV_PORT=/dev/serial/by-id/{CH340}  Board('/dev/serial/by-id/{CH340}')")
    # What the device says of itself reaches the terminal without its controls.
    assert other.startswith('  /dev/ttyUSB1  usb abcd:0001  product "Bo?[2Jard"  driver pl2303')
    assert legend.startswith("* ")


@pytest.mark.parametrize("content, error", [
    (None, "cannot read"),
    ("2341 *\n", ":1: not 'vendor product description'"),
    ("# ok\n\n2341 ZZZZ board\n", ":3: not"),
    (b"\xff\xfe", "cannot read"),
])
def test_bad_usb_ids_named(tmp_path, content, error):
    path = tmp_path / "usb_ids.txt"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    with pytest.raises(ports.UsbIdsError, match=error) as raised:
        ports.read_usb_ids(path)
    assert str(path) in str(raised.value)


def test_ids_of_the_project_read():
    known = ports.read_usb_ids(ports.find_usb_ids())
    assert known["2341", "*"] == "Arduino board"


def test_missing_ids_still_lists_and_exits_1(fake_root, monkeypatch, capsys):
    monkeypatch.setattr(ports._install, "usb_ids_candidates", lambda: [Path("/nowhere/usb_ids.txt")])
    assert main(["ports", "--root", str(fake_root)]) == 1
    captured = capsys.readouterr()
    assert "/nowhere/usb_ids.txt" in captured.err
    assert len(captured.out.splitlines()) == 3 and "*" not in captured.out


def test_no_device_exits_1(tmp_path, capsys):
    assert main(["ports", "--root", str(tmp_path)]) == 1
    assert "no USB serial device" in capsys.readouterr().err
