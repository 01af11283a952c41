"""python3 -m arduinodrv ports on what pyserial finds: made-up ports with a
fake sysfs for their drivers and a fake /dev/serial/by-id, and this
machine's own."""

import re
from pathlib import Path

import pytest
from serial.tools.list_ports_common import ListPortInfo

from arduinodrv import ports
from arduinodrv.cli import main

CH340 = "usb-1a86_USB_Serial-if00-port0"


def usb_port(root, name, bus_path, ids, interface_driver, strings=None, port_folder=False):
    """A tty under a USB device with ids (vendor, product) as pyserial
    describes it, its interface's driver linked as the kernel lays it out."""
    interface = root / "sys/devices/pci0000:00/usb1" / bus_path / f"{bus_path}:1.0"
    interface.mkdir(parents=True)
    driver = root / "sys/bus/usb/drivers" / interface_driver
    driver.mkdir(parents=True, exist_ok=True)
    (interface / "driver").symlink_to(driver)
    port = ListPortInfo(f"/dev/{name}", skip_link_detection=True)
    port.vid, port.pid = int(ids[0], 16), int(ids[1], 16)
    strings = strings or {}
    port.manufacturer, port.product = strings.get("manufacturer"), strings.get("product")
    port.serial_number = strings.get("serial")
    # usb-serial adds a port folder below the interface; cdc_acm's tty is the interface's.
    port.subsystem = "usb-serial" if port_folder else "usb"
    port.usb_interface_path = str(interface)
    port.device_path = str(interface / name) if port_folder else str(interface)
    return port


@pytest.fixture
def fake_ports(tmp_path, monkeypatch):
    """What pyserial finds on a machine with three USB serial devices and a
    UART of its own; /dev/serial/by-id names one of them."""
    found = [
        usb_port(tmp_path, "ttyUSB1", "1-3", ("abcd", "0001"), "pl2303", {"product": "Bo\x1b[2Jard"},
                 port_folder=True),
        usb_port(tmp_path, "ttyACM0", "1-1", ("2341", "0043"), "cdc_acm",
                 {"manufacturer": "Arduino (www.arduino.cc)", "product": "Uno", "serial": "8573"}),
        usb_port(tmp_path, "ttyUSB0", "1-2", ("1a86", "7523"), "ch341", {"product": "USB Serial"},
                 port_folder=True),
    ]
    uart = ListPortInfo("/dev/ttyS0", skip_link_detection=True)  # the machine's own UART: left out
    uart.subsystem, uart.device_path = "pnp", str(tmp_path / "sys/devices/pnp0/00:04")
    found.append(uart)
    by_id = tmp_path / "dev/serial/by-id"
    by_id.mkdir(parents=True)
    (by_id / CH340).symlink_to("../../ttyUSB0")
    monkeypatch.setattr(ports, "BY_ID_FOLDER", by_id)
    monkeypatch.setattr(ports.list_ports, "comports", lambda include_links=False: list(found))
    return by_id


def test_devices_listed_known_marked_and_how_to_use(fake_ports, capsys):
    assert main(["ports"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 4
    acm, ch340, other, legend = lines
    assert acm.startswith("* /dev/ttyACM0  usb 2341:0043  [Arduino board]")
    assert 'maker "Arduino (www.arduino.cc)"  product "Uno"  serial "8573"  driver cdc_acm' in acm
    assert acm.endswith("-> ARDUINODRV_PORT=/dev/ttyACM0  Board('/dev/ttyACM0')")
    # The stable name is the one to use: it survives replugging.
    assert ch340.startswith("* /dev/ttyUSB0  usb 1a86:7523  [CH340 USB-serial chip]")
    stable = fake_ports / CH340
    assert f"driver ch341  {stable}" in ch340
    assert ch340.endswith(f"ARDUINODRV_PORT={stable}  Board('{stable}')")
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


def test_missing_ids_still_lists_and_exits_1(fake_ports, monkeypatch, capsys):
    monkeypatch.setattr(ports._install, "usb_ids_candidates", lambda: [Path("/nowhere/usb_ids.txt")])
    assert main(["ports"]) == 1
    captured = capsys.readouterr()
    assert "/nowhere/usb_ids.txt" in captured.err
    assert len(captured.out.splitlines()) == 3 and "*" not in captured.out


def test_no_device_exits_1(monkeypatch, capsys):
    monkeypatch.setattr(ports.list_ports, "comports", lambda include_links=False: [])
    assert main(["ports"]) == 1
    assert "no USB serial device" in capsys.readouterr().err


def test_a_device_that_leaves_while_listed_is_asked_again(fake_ports, monkeypatch, capsys):
    listed = ports.list_ports.comports()
    calls = []

    def unplugged_once(include_links=False):
        calls.append(1)
        if len(calls) == 1:
            raise TypeError("int() can't convert non-string with explicit base")  # its idVendor went
        return listed
    monkeypatch.setattr(ports.list_ports, "comports", unplugged_once)
    assert [device.name for device in ports.list_serial_devices()] == ["ttyACM0", "ttyUSB0", "ttyUSB1"]

    def always_failing(include_links=False):
        raise OSError(5, "Input/output error")
    monkeypatch.setattr(ports.list_ports, "comports", always_failing)
    assert main(["ports"]) == 1
    assert "ports: cannot list the serial devices" in capsys.readouterr().err


def test_this_machines_listing_leaves_out_consoles_and_its_own_uarts():
    # pyserial on the real /sys: whatever the machine has, only USB devices
    # and the library's own families are listed.
    for device in ports.list_serial_devices():
        assert device.vendor or re.fullmatch(r"tty(USB|ACM)[0-9]+", device.name), device
        assert device.device == "/dev/" + device.name
