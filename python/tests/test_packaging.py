"""The package as a project's part: its version and channel counts agree
with the build's, and pip installs it into a virtual environment."""

import ctypes
import re
import subprocess
import sys
from pathlib import Path

import pytest

import arduinodrv

SOURCE = Path(arduinodrv.__file__).resolve().parent.parent.parent


def test_version_is_the_projects():
    project = re.search(r"project\(arduinodrv\s+VERSION\s+([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())
    assert arduinodrv.__version__ == project.group(1)


def test_channel_counts_are_the_headers():
    header = (SOURCE / "include" / "arduinodrv.h").read_text()
    names = ["ANALOG_INPUTS", "DIGITAL_INPUTS", "ANALOG_OUTPUTS", "DIGITAL_OUTPUTS"]
    found = {name: re.search(rf"#define\s+ARDUINODRV_{name}\s+(\d+)", header) for name in names}
    if not all(found.values()):
        pytest.skip("the header has no channel counts yet")
    assert {name: int(match.group(1)) for name, match in found.items()} == \
        {name: getattr(arduinodrv, name) for name in names}
    board_header = (SOURCE / "include" / "arduinoboard.h").read_text()
    counts = {name: int(re.search(rf"#define\s+AB_{name}\s+(\d+)", board_header).group(1))
              for name in ["ANALOG_INPUTS", "DIGITAL_INPUTS", "PWM_OUTPUTS", "DIGITAL_OUTPUTS"]}
    assert counts == {name: getattr(arduinodrv.Board, name) for name in counts}


def test_pip_installs_into_a_virtual_environment(tmp_path):
    venv = tmp_path / "venv"
    made = subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], capture_output=True, text=True, timeout=300)
    if made.returncode != 0:
        pytest.skip(f"no venv with pip here (python3-venv): {made.stderr.strip()}")
    python = venv / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--no-index", "-q", str(SOURCE / "python")],
                   check=True, capture_output=True, timeout=300)
    # Run from elsewhere, so that the source tree's copy is not the one found.
    probe = ("import arduinodrv, arduinodrv.ports as p, arduinodrv._install as i; "
             "print(arduinodrv.__file__, p.find_usb_ids(), i.source_tree(), arduinodrv.__version__)")
    shown = subprocess.run([python, "-c", probe], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                           check=True, env={"PATH": "/usr/bin:/bin"}).stdout.split()
    assert shown[0].startswith(str(venv)) and shown[1].startswith(str(venv))
    assert shown[2:] == [str(SOURCE), arduinodrv.__version__]
    listing = subprocess.run([venv / "bin" / "arduinodrv", "ports", "--root", str(tmp_path)],
                             capture_output=True, text=True, timeout=60)
    assert listing.returncode == 1 and "no USB serial device" in listing.stderr


_C_TYPES = {"int": ctypes.c_int, "int32_t": ctypes.c_int32, "int64_t": ctypes.c_int64, "uint64_t": ctypes.c_uint64,
            "double": ctypes.c_double}


def _fields(header: str, struct: str) -> list[tuple]:
    """(name, ctypes type) of each field of a struct of the header, in order."""
    body = re.search(rf"typedef struct {struct} {{(.*?)}} {struct};", header, re.S).group(1)
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    fields = []
    for declaration in filter(str.strip, body.split(";")):
        kind, names = declaration.split(None, 1)
        for name in names.split(","):
            count = re.search(r"\[(\d+)\]", name)
            fields.append((name.split("[")[0].strip(), _C_TYPES[kind] * int(count.group(1)) if count else _C_TYPES[kind]))
    return fields


def test_the_structs_are_the_headers():
    # The library writes and reads them whole: a field missing here is memory
    # overwritten or read beyond.
    from arduinodrv import _board_library as lib
    header = (SOURCE / "include" / "arduinoboard.h").read_text()
    for struct, mirror in (("ab_reading", lib.CReading), ("ab_options", lib.COptions), ("ab_link", lib.CLink)):
        assert [tuple(field) for field in mirror._fields_] == _fields(header, struct), struct
