"""A process of its own for each life of the Driver's library: load, refusal, close."""

import errno
import fcntl
import json
import os

import arduinodrv  # noqa: F401  (the package under test, for run_python)
from conftest import run_python, start_boardsim, stop_boardsim

LIFE = r"""
import json, os, sys
import arduinodrv
port, library, later = sys.argv[1:4]

def state():
    devices = {os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")}
    return library in open("/proc/self/maps").read(), os.path.realpath(port) in devices

seen = {}
try:
    arduinodrv.Driver("/dev/null", library=library)
except arduinodrv.PortError as error:
    seen["null"] = [error.filename, error.strerror, state()]
with arduinodrv.Driver(port, library=library) as board:
    seen["reading"] = board.ea(0)
    seen["open"] = state()
seen["closed"] = state()
try:
    board.ea(0)
except ValueError as error:
    seen["after"] = str(error)
board.close()
quiet = arduinodrv.Driver(later, library=library, require_port=False)
seen["quiet"] = [quiet.port, quiet.nea(1)]
print(json.dumps(seen))
"""


def test_load_refuse_close_and_reload(library_path, tmp_path):
    link = tmp_path / "board"
    sim = start_boardsim(link, "--analog=0=321")
    try:
        run = run_python("-c", LIFE, str(link), library_path, str(tmp_path / "later"))
    finally:
        stop_boardsim(sim)
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout)
    # A device that is no terminal: named with the reason, and unloaded.
    assert seen["null"] == ["/dev/null", "not a serial device (not a terminal)", [False, False]]
    assert seen["reading"] == 321
    assert seen["open"] == [True, True]
    # Closed: the library unloaded and its device closed, as at exit.
    assert seen["closed"] == [False, False]
    assert "closed" in seen["after"]
    # The old silent way: no device yet, and no error.
    assert seen["quiet"] == [str(tmp_path / "later"), "EA1"]


HELD = r"""
import sys
import arduinodrv
try:
    arduinodrv.Driver(sys.argv[1], library=sys.argv[2])
except arduinodrv.PortError as error:
    print(error.errno, error.strerror)
"""


def test_a_port_another_program_claims_is_named_in_use(library_path):
    # The other program's claim on a pty is its lock alone: a plain open passes it.
    master, slave = os.openpty()
    try:
        fcntl.flock(slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
        run = run_python("-c", HELD, os.ttyname(slave), library_path)
    finally:
        os.close(slave)
        os.close(master)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"{errno.EBUSY} in use by another program"), run.stdout
