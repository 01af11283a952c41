"""Driver (the original interface) against the emulated board: results, types, refused arguments, threads."""

import math
import os
import signal
import threading
import time
from fractions import Fraction

import pytest

import arduinodrv
from conftest import ANALOG, log_has

DIGITAL = {0: 1, 1: 0, 2: 1, 3: 0}  # channel -> level of its pin (2, 4, 7, 8)


@pytest.mark.parametrize("channel", sorted(ANALOG))
def test_analog_inputs_raw_and_volts(driver, channel):
    raw = driver.ea(channel)
    volts = driver.ead(channel)
    assert type(raw) is int and raw == ANALOG[channel]
    assert type(volts) is float and volts == ANALOG[channel] * 5.0 / 1024.0


@pytest.mark.parametrize("channel, level", sorted(DIGITAL.items()))
def test_digital_inputs(driver, channel, level):
    assert driver.eb(channel) == level


def test_outputs_reach_the_board_and_read_back(driver, boardsim_log):
    assert driver.sb(2, 1) == 1
    assert driver.rsb(2) == 1
    assert driver.sa(3, 255) == 127
    assert driver.rsa(3) == 255
    result = driver.sad(1, 2.5)
    assert type(result) is float and result == 64.0
    assert driver.rsad(1) == 2.5 and driver.rsa(1) == 128
    for line in ("SBC1", "SA9255", "SA5128"):
        assert log_has(boardsim_log, line), line


@pytest.mark.parametrize("method, channel, text", [
    ("nea", 0, "EA0"), ("nea", 6, ""), ("nead", 2, "EA2 (V)"), ("neb", 3, "EB3 br8"),
    ("nsa", 0, "SA 0..255 (PWM) br3"), ("nsad", -1, ""), ("nsb", 3, "SB3 br 13 (diode)"),
    ("nsb", 2**31 - 1, ""), ("nea", -(2**31), ""),
])
def test_labels(driver, method, channel, text):
    assert getattr(driver, method)(channel) == text


def test_titles_decoded_from_latin1(driver):
    assert driver.titre() == "Arduino en "
    assert driver.stdtitre() == "Arduino"
    assert driver.detail() == "Pilote pour Arduino en , par Tervalique, le 15 ao\u00fbt 2012"
    assert driver.stddetail() == "Arduino 2009, par Tervalique, le 23 f\u00e9vrier 2011"


ONE_INT = ["ea", "ead", "eb", "rsa", "rsad", "rsb", "nea", "nead", "neb", "nsa", "nsad", "nsb"]


@pytest.mark.parametrize("method", ONE_INT)
@pytest.mark.parametrize("channel, error", [
    (True, TypeError), (1.0, TypeError), ("0", TypeError), (None, TypeError),
    (2**31, ValueError), (-(2**31) - 1, ValueError), (2**64, ValueError),
])
def test_bad_channel_refused(driver, method, channel, error):
    with pytest.raises(error, match="channel"):
        getattr(driver, method)(channel)


@pytest.mark.parametrize("method, args, error", [
    ("sb", (0, True), TypeError),
    ("sb", (0, 1.0), TypeError),
    ("sb", (0, 2**32 + 1), ValueError),
    ("sb", (False, 1), TypeError),
    ("sa", (0, 200.7), TypeError),
    ("sa", (0, "200"), TypeError),
    ("sad", (0, "2.5"), TypeError),
    ("sad", (0, True), TypeError),
    ("sad", (0, 10**400), ValueError),
    ("sad", (0.0, 2.5), TypeError),
])
def test_bad_output_refused_before_the_call(driver, method, args, error):
    driver.sb(0, 0)
    driver.sad(0, 0.5)
    driver.sa(0, 7)
    with pytest.raises(error):
        getattr(driver, method)(*args)
    # Nothing reached the library: the read-back values are untouched.
    assert (driver.rsb(0), driver.rsa(0), driver.rsad(0)) == (0, 7, 0.5)


@pytest.mark.parametrize("volts, raw, result", [
    (math.nan, -(2**31), -(2**30) * 1.0), (-math.inf, -(2**31), -(2**30) * 1.0), (6.0, 306, 153.0),
])
def test_volts_the_board_cannot_take_keep_the_library_result(driver, volts, raw, result):
    assert driver.sad(0, volts) == result
    assert driver.rsa(0) == raw


def test_other_real_numbers_accepted_as_volts(driver):
    assert driver.sad(2, Fraction(5, 2)) == 64.0
    assert driver.rsad(2) == 2.5
    assert driver.sad(2, 5) == 127.0


def test_calls_from_many_threads_never_overlap(driver):
    expected = {("nea", c): f"EA{c}" for c in range(6)}
    expected.update({("nsb", c): driver.nsb(c) for c in range(4)})
    expected.update({("neb", c): driver.neb(c) for c in range(4)})
    keys = sorted(expected)
    wrong = []

    def labels(offset):
        for i in range(3000):
            method, channel = keys[(i + offset) % len(keys)]
            text = getattr(driver, method)(channel)
            if text != expected[method, channel]:
                wrong.append((method, channel, text))

    def readings():
        for _ in range(20):
            if driver.ea(0) != ANALOG[0] or driver.ead(3) != ANALOG[3] * 5 / 1024:
                wrong.append("reading")

    threads = [threading.Thread(target=labels, args=(n,)) for n in range(4)]
    threads.append(threading.Thread(target=readings))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []


def test_second_board_on_the_same_port_shares_it(driver, library_path, board_port):
    # The build's own default port is the session's: both name the same.
    for other in (arduinodrv.Driver(library=library_path), arduinodrv.Driver(board_port, library=library_path)):
        assert other.library == driver.library
        other.sb(1, 5)
        assert driver.rsb(1) == 5
        other.close()
    assert driver.nea(0) == "EA0"  # the first Driver keeps the library


def test_second_board_on_another_port_names_the_port_in_use(driver, library_path, board_port, tmp_path):
    other = tmp_path / "fifo"
    os.mkfifo(other)  # a path the library would take
    with pytest.raises(arduinodrv.BoardInUseError, match=board_port):
        arduinodrv.Driver(other, library=library_path)


@pytest.mark.parametrize("kind, reason", [
    ("missing", "no such device"), ("folder", "a folder"), ("file", "a regular file"),
    ("line\n", "control character"), ("library.so", "looks like a library"),
])
def test_port_that_is_no_device_refused_before_loading(tmp_path, kind, reason):
    path = tmp_path / kind
    if kind == "folder":
        path.mkdir()
    elif kind == "file":
        path.write_text("")
    with pytest.raises((arduinodrv.PortError, ValueError), match=reason) as raised:
        arduinodrv.Driver(path)
    assert repr(str(path))[1:-1] in str(raised.value)


def test_fork_while_another_thread_calls(driver):
    held = threading.Event()

    def long_call():
        with driver._lock:  # stands for a call in progress
            held.set()
            time.sleep(0.2)

    caller = threading.Thread(target=long_call)
    caller.start()
    held.wait(5)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if driver.nea(1) == "EA1" else 1)
    caller.join()
    deadline = time.monotonic() + 10
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if ended[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the child hung at its first call")
    assert os.waitstatus_to_exitcode(ended[1]) == 0
