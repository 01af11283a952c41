"""Finding and loading the libraries: every wrong file is an OSError naming it."""

import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import arduinodrv
from conftest import run_python

PACKAGE = Path(arduinodrv.__file__).parent
# A sanitized build loads only with the sanitizer's runtime preloaded.
SANITIZER = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS")}


def elf_header(elf_class, machine, kind=3):
    ident = b"\x7fELF" + bytes([elf_class, 1, 1]) + bytes(9)
    return ident + struct.pack("<HHI", kind, machine, 1) + bytes(44)


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
    (elf_header(1, 3), "a 32-bit library, this Python is 64-bit"),
    (elf_header(5, 62), "damaged ELF header"),
    (elf_header(2, 183), "an ELF file for AArch64, not for this x86-64 computer"),
    (elf_header(1, 83, kind=2), "an ELF file for AVR, not for this x86-64 computer"),  # a board's firmware
    (elf_header(2, 62, kind=2), "a program, not a shared library"),
])
def test_wrong_file_named_in_the_error(tmp_path, content, message):
    path = tmp_path / "libarduinodrv.so"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError, match=message) as raised:
        arduinodrv.Driver(library=path)
    assert str(path) in str(raised.value)


@pytest.mark.parametrize("kind, message", [("folder", "is a folder"), ("pipe", "is a device or a pipe")])
def test_not_a_file_refused_without_opening_it(tmp_path, kind, message):
    path = tmp_path / kind
    if kind == "folder":
        path.mkdir()
    else:
        os.mkfifo(path)  # opening it would wait for a writer
    with pytest.raises(OSError, match=message) as raised:
        arduinodrv.Driver(library=path)
    assert str(path) in str(raised.value)


def test_other_library_refused():
    # In a process of its own: this one has its board already.
    path = loaded_library("libm.so")
    run = run_python("-c", f"import arduinodrv; arduinodrv.Driver('/dev/null', library={path!r})")
    assert f"{path}: not the arduinodrv library" in run.stderr


@pytest.mark.parametrize("arguments, error", [
    ({"library": 3}, TypeError),
    ({"library": ""}, ValueError),
    ({"port": 0}, TypeError),
    ({"port": ""}, ValueError),
    ({"port": "/dev/tty\0USB0"}, ValueError),
])
def test_bad_arguments(arguments, error):
    with pytest.raises(error):
        arduinodrv.Driver(**arguments)


@pytest.mark.parametrize("layout, package_folder, library_folder, board_folder", [
    ("installed", "lib/python3/dist-packages", "lib/arduinodrv/ttyUSB0", "lib/x86_64-linux-gnu"),
    ("source", "python", "build/lib64/ttyUSB0", "build/lib64"),
    # pip's build puts the libraries inside the package.
    ("pip", "venv/lib/python3.11/site-packages", "venv/lib/python3.11/site-packages/arduinodrv/lib/ttyUSB0",
     "venv/lib/python3.11/site-packages/arduinodrv/lib"),
])
def test_build_found_beside_the_package(tmp_path, board_library, layout, package_folder, library_folder,
                                        board_folder):
    shutil.copytree(PACKAGE, tmp_path / package_folder / "arduinodrv",
                    ignore=shutil.ignore_patterns("__pycache__"))
    (tmp_path / "CMakeLists.txt").touch()
    (tmp_path / "python" / "arduinodrv").mkdir(parents=True, exist_ok=True)
    if layout == "pip":
        shutil.rmtree(tmp_path / "python")  # no source tree around it
        (tmp_path / "CMakeLists.txt").unlink()
    library = tmp_path / library_folder / "libarduinodrv.so"
    library.parent.mkdir(parents=True)
    library.touch()
    board = tmp_path / board_folder / "libarduinoboard.so.1"
    board.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(board_library, board)
    found = subprocess.run(
        [sys.executable, "-c", "import arduinodrv, arduinodrv._board_library as b; "
                               "print(arduinodrv.find_library()); print(b.load().path)"],
        env=dict(SANITIZER, PYTHONPATH=str(tmp_path / package_folder), PYTHONDONTWRITEBYTECODE="1"),
        capture_output=True, text=True, timeout=60, check=True)
    assert found.stdout.split() == [str(library), str(board)]


def test_no_board_library_anywhere_lists_what_was_tried(tmp_path):
    shutil.copytree(PACKAGE, tmp_path / "arduinodrv", ignore=shutil.ignore_patterns("__pycache__"))
    run = subprocess.run([sys.executable, "-c", "import arduinodrv; arduinodrv.Board()"],
                         env={"PYTHONPATH": str(tmp_path), "PYTHONDONTWRITEBYTECODE": "1"},
                         capture_output=True, text=True, timeout=60)
    if run.returncode == 0 or "PortError" in run.stderr:
        pytest.skip("this machine's loader finds an installed libarduinoboard")
    assert "FileNotFoundError: [Errno 2] no 64-bit libarduinoboard found" in run.stderr
    assert "libarduinoboard.so.1 through the loader" in run.stderr


def test_another_library_is_not_taken_for_the_board_library():
    path = loaded_library("libm.so")
    with pytest.raises(OSError, match=f"{path}: not libarduinoboard"):
        arduinodrv.Board(library=path)


def test_missing_build_lists_what_was_tried():
    tried = arduinodrv.candidate_paths()
    assert "/usr/lib/arduinodrv/ttyUSB0/libarduinodrv.so" in tried
    assert "/usr/local/lib/arduinodrv/ttyUSB0/libarduinodrv.so" in tried
    assert any(path.endswith("build/lib64/ttyUSB0/libarduinodrv.so") for path in tried)
