"""Shared set-up: board emulators, silent and garbling terminals, and for
the session one Driver (the 71 functions' library) and one Board.

The build passes, in the environment:
  ARDUINODRV_TEST_LIBRARY        a 64-bit build whose device folder is ARDUINODRV_TEST_DEVICES
  ARDUINODRV_TEST_DEVICES        that folder (the emulator links its ttyUSB0 there)
  ARDUINODRV_TEST_BOARD_LIBRARY  libarduinoboard
  ARDUINODRV_TEST_BOARDSIM       the board emulator
"""

import contextlib
import ctypes
import os
import select
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import arduinodrv
from arduinodrv.channels import DIGITAL_INPUT_PINS

# What the emulated board reads: analog channel -> raw value, digital pin -> level.
ANALOG = {0: 512, 1: 0, 2: 1023, 3: 256, 4: 100, 5: 1000}
DIGITAL_PINS = dict(zip(DIGITAL_INPUT_PINS, (1, 0, 1, 0)))


def _setting(name):
    value = os.environ.get(name)
    if not value:
        pytest.skip(f"{name} is not set (ctest sets it)")
    return value


def _end_with_parent():
    # Should this process die without its finalizers (a sanitizer's abort),
    # the emulator goes too instead of holding the device folder's link.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@pytest.fixture(scope="session")
def library_path():
    return _setting("ARDUINODRV_TEST_LIBRARY")


@pytest.fixture(scope="session")
def boardsim_log(tmp_path_factory):
    """Starts the emulator on the test device folder; yields its traffic log."""
    devices = Path(_setting("ARDUINODRV_TEST_DEVICES"))
    devices.mkdir(parents=True, exist_ok=True)
    log = tmp_path_factory.mktemp("boardsim") / "traffic.log"
    sim = start_boardsim(devices / "ttyUSB0", *sim_options(log))
    try:
        yield log
    finally:
        stop_boardsim(sim)


@pytest.fixture(scope="session")
def board_port():
    """Where the session's emulator links its terminal: the board's path."""
    return str(Path(_setting("ARDUINODRV_TEST_DEVICES")) / "ttyUSB0")


@pytest.fixture(scope="session")
def driver(library_path, boardsim_log, board_port):
    return arduinodrv.Driver(board_port, library=library_path)


@pytest.fixture(scope="session")
def board_library():
    return _setting("ARDUINODRV_TEST_BOARD_LIBRARY")


def sim_options(log, analog=ANALOG, digital=DIGITAL_PINS):
    """The emulator's options for these readings, logging to log."""
    return (["--log", str(log)] + [f"--analog={channel}={raw}" for channel, raw in analog.items()]
            + [f"--digital={pin}={level}" for pin, level in digital.items()])


@pytest.fixture(scope="session")
def sim_link(tmp_path_factory):
    """(link, traffic log) of an emulator of the session's Board."""
    folder = tmp_path_factory.mktemp("board")
    sim = start_boardsim(folder / "ttyACM0", *sim_options(folder / "traffic.log"))
    try:
        yield folder / "ttyACM0", folder / "traffic.log"
    finally:
        stop_boardsim(sim)


@pytest.fixture(scope="session")
def board(board_library, sim_link):
    with arduinodrv.Board(sim_link[0], library=board_library) as board:
        yield board


@contextlib.contextmanager
def answering_terminal(answer):
    """A terminal's path where each command line (ended by CR) gets answer:
    b"" is a board that never answers."""
    controller, device = os.openpty()
    path = os.ttyname(device)
    os.close(device)  # the board's side is the library's to open
    stop = threading.Event()

    def board():
        while not stop.is_set():
            if not select.select([controller], [], [], 0.05)[0]:
                continue
            try:
                received = os.read(controller, 256)
            except OSError:  # nobody holds the other side now
                time.sleep(0.01)
                continue
            if answer:
                os.write(controller, answer * received.count(b"\r"))

    thread = threading.Thread(target=board, daemon=True)
    thread.start()
    try:
        yield path
    finally:
        stop.set()
        thread.join()
        os.close(controller)


def start_boardsim(link, *options):
    """An emulator of its own on link (a test that needs a board the session's
    process does not hold); stop it with stop_boardsim."""
    program = _setting("ARDUINODRV_TEST_BOARDSIM")
    sim = subprocess.Popen([program, "--link", str(link), "--quiet", *options], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, preexec_fn=_end_with_parent)
    ready, _, _ = select.select([sim.stdout], [], [], 10)
    if not ready or not sim.stdout.readline():
        sim.kill()
        pytest.fail("boardsim did not start: " + sim.stderr.read().decode(errors="replace"))
    return sim


def stop_boardsim(sim):
    if sim.poll() is None:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
    sim.stdout.close()
    sim.stderr.close()


def run_python(*arguments, timeout=60, **environment):
    """This package run by this interpreter in a process of its own (its own
    library state), with extra environment variables."""
    env = dict(os.environ, **environment)
    env["PYTHONPATH"] = str(Path(arduinodrv.__file__).parent.parent)
    return subprocess.run([sys.executable, *arguments], capture_output=True, text=True, timeout=timeout,
                          env=env)


def log_has(log, text, timeout_s=3.0):
    """Whether the emulator logged a line with text within timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        if text in log.read_text(errors="replace"):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
