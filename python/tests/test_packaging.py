"""The package as a project's part: its version, channel counts and pins agree
with the build's, and pip installs it into a virtual environment."""

import ctypes
import fnmatch
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import arduinodrv
from arduinodrv import channels

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


def test_pins_are_the_boards():
    header = (SOURCE / "protocol" / "board_channels.h").read_text()
    names = ["DIGITAL_INPUT_PINS", "PWM_OUTPUT_PINS", "DIGITAL_OUTPUT_PINS"]
    lists = {name: re.search(rf"{name.lower()}\[\] = {{([0-9, ]+)}}", header).group(1) for name in names}
    assert {name: tuple(map(int, pins.split(","))) for name, pins in lists.items()} == \
        {name: getattr(channels, name) for name in names}


def _copy_of_the_source_tree(destination):
    """The clone as a user has it: its sources, no build folders (build,
    build-*, and the top-level ones .gitignore names, such as /b64/)."""
    ignore_file = SOURCE / ".gitignore"
    lines = ignore_file.read_text().splitlines() if ignore_file.is_file() else []
    top_folders = [line.strip("/") for line in lines if line.startswith("/") and line.endswith("/")]

    def ignored(folder, names):
        return [name for name in names if name in (".git", "__pycache__") or name.endswith(".egg-info")
                or os.path.isdir(os.path.join(folder, name)) and (
                    name == "build" or name.startswith("build-")
                    or Path(folder) == SOURCE and any(fnmatch.fnmatch(name, pattern) for pattern in top_folders))]
    shutil.copytree(SOURCE, destination, ignore=ignored)


def test_pip_install_stands_alone_once_the_clone_is_gone(tmp_path):
    venv = tmp_path / "venv"
    # Offline, its one dependency (pyserial) is the system's: Debian's python3-serial.
    made = subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)],
                          capture_output=True, text=True, timeout=300)
    if made.returncode != 0:
        pytest.skip(f"no venv with pip here (python3-venv): {made.stderr.strip()}")
    wheels = sorted(Path("/usr/share/python-wheels").glob("wheel-*.whl"))
    if not wheels:
        pytest.skip("no wheel package to build with offline (python3-wheel-whl, scripts/setup.sh)")
    python = venv / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "--no-index", "-q", wheels[-1]], check=True, capture_output=True,
                   timeout=300)
    clone = tmp_path / "clone"
    _copy_of_the_source_tree(clone)
    # The build's compiler and CMake run without the sanitizer's runtime the tests may preload.
    plain = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    built = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "-q",
                            str(clone / "python")], capture_output=True, text=True, timeout=600, env=plain)
    assert built.returncode == 0, built.stderr[-2000:]
    shutil.rmtree(clone)
    # Run from elsewhere, with nothing of the clone left: the libraries are the package's.
    probe = ("import arduinodrv, arduinodrv.ports as p, arduinodrv._board_library as b; "
             "print(arduinodrv.__file__, p.find_usb_ids(), arduinodrv.find_library(), b.load().path, "
             "arduinodrv.__version__)")
    shown = subprocess.run([python, "-c", probe], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                           check=True, env={"PATH": "/usr/bin:/bin"}).stdout.split()
    assert all(path.startswith(str(venv)) for path in shown[:4]), shown
    assert shown[4] == arduinodrv.__version__
    # Its listing runs with the ids it carries, whatever devices this machine has.
    listing = subprocess.run([venv / "bin" / "arduinodrv", "ports"], capture_output=True, text=True, timeout=60)
    assert listing.returncode == 0 or "no USB serial device" in listing.stderr, listing.stderr
    assert listing.returncode in (0, 1) and "known USB ids" not in listing.stderr, listing.stderr


_C_TYPES = {"int": ctypes.c_int, "int32_t": ctypes.c_int32, "int64_t": ctypes.c_int64, "uint64_t": ctypes.c_uint64,
            "uint32_t": ctypes.c_uint32, "uint8_t": ctypes.c_uint8, "double": ctypes.c_double,
            "ab_status": ctypes.c_int}


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
    _C_TYPES["ab_reading"] = lib.CReading
    header = (SOURCE / "include" / "arduinoboard.h").read_text()
    for struct, mirror in (("ab_reading", lib.CReading), ("ab_options", lib.COptions), ("ab_link", lib.CLink),
                           ("ab_scan_result", lib.CScanResult), ("ab_sample", lib.CSample),
                           ("ab_event", lib.CEvent)):
        assert [tuple(field) for field in mirror._fields_] == _fields(header, struct), struct
