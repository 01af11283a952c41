"""Finding and loading the library: every wrong file is an OSError naming it."""

import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import arduinodrv

PACKAGE = Path(arduinodrv.__file__).parent


def elf_header(elf_class, machine):
    ident = b"\x7fELF" + bytes([elf_class, 1, 1]) + bytes(9)
    return ident + struct.pack("<HHI", 3, machine, 1) + bytes(44)


def loaded_library(name):
    """Path of a library this process has loaded already (loading it again runs nothing)."""
    for line in Path("/proc/self/maps").read_text().splitlines():
        path = line.split()[-1]
        if Path(path).name.startswith(name):
            return path
    pytest.skip(f"no {name} in this process")


@pytest.mark.parametrize("content, message", [
    (None, "no such library file"),
    (b"", "no ELF header"),
    (b"INPUT(-lfoo)\n", "no ELF header"),
    (elf_header(1, 3), "32-bit library, this Python is 64-bit"),
    (elf_header(5, 62), "damaged ELF header"),
    (elf_header(2, 183), "library built for AArch64"),
])
def test_wrong_file_named_in_the_error(tmp_path, content, message):
    path = tmp_path / "libarduinodrv.so"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError, match=message) as raised:
        arduinodrv.Board(library=path)
    assert str(path) in str(raised.value)


@pytest.mark.parametrize("kind, message", [("folder", "is a folder"), ("pipe", "is a device or a pipe")])
def test_not_a_file_refused_without_opening_it(tmp_path, kind, message):
    path = tmp_path / kind
    if kind == "folder":
        path.mkdir()
    else:
        os.mkfifo(path)  # opening it would wait for a writer
    with pytest.raises(OSError, match=message) as raised:
        arduinodrv.Board(library=path)
    assert str(path) in str(raised.value)


def test_other_library_refused():
    path = loaded_library("libm.so")
    with pytest.raises(OSError, match="not the arduinodrv library") as raised:
        arduinodrv.Board(library=path)
    assert path in str(raised.value)


@pytest.mark.parametrize("arguments, error", [
    ({"library": 3}, TypeError),
    ({"library": ""}, ValueError),
    ({"port": 0}, TypeError),
    ({"port": "/dev/"}, ValueError),
    ({"library": "x.so", "port": "/dev/ttyUSB0"}, ValueError),
])
def test_bad_arguments(arguments, error):
    with pytest.raises(error):
        arduinodrv.Board(**arguments)


def test_missing_build_lists_what_was_tried():
    with pytest.raises(OSError) as raised:
        arduinodrv.Board(port="/dev/ttyNOPE9")
    message = str(raised.value)
    assert "/usr/lib/arduinodrv/ttyNOPE9/libarduinodrv.so" in message
    assert "/usr/local/lib/arduinodrv/ttyNOPE9/libarduinodrv.so" in message
    assert "build/lib64/ttyNOPE9/libarduinodrv.so" in message


@pytest.mark.parametrize("package_folder, library_folder", [
    ("lib/python3/dist-packages", "lib/arduinodrv/ttyACM0"),  # installed under a prefix
    ("python", "build/lib64/ttyACM0"),                         # the source tree
])
@pytest.mark.parametrize("port", ["/dev/ttyACM0", "ttyACM0"])
def test_build_found_beside_the_package(tmp_path, package_folder, library_folder, port):
    shutil.copytree(PACKAGE, tmp_path / package_folder / "arduinodrv",
                    ignore=shutil.ignore_patterns("__pycache__"))
    library = tmp_path / library_folder / "libarduinodrv.so"
    library.parent.mkdir(parents=True)
    library.touch()
    found = subprocess.run(
        [sys.executable, "-c", f"import arduinodrv; print(arduinodrv.find_library({port!r}))"],
        env={"PYTHONPATH": str(tmp_path / package_folder), "PYTHONDONTWRITEBYTECODE": "1"},
        capture_output=True, text=True, timeout=60, check=True)
    assert found.stdout.strip() == str(library)
