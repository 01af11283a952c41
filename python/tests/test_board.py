"""Board (libarduinoboard) against the emulated board and fake terminals:
readings with their time, an exception for each real failure, several
boards, threads, close, fork, and a board that restarts."""

import errno
import gc
import math
import os
import threading
import time
from datetime import datetime

import pytest

import arduinodrv
from conftest import ANALOG, answering_terminal, log_has, run_python, sim_options, start_boardsim, stop_boardsim

DIGITAL = {0: True, 1: False, 2: True, 3: False}  # channel -> level of its pin (2, 4, 7, 8)


def test_readings_carry_their_value_time_and_round_trip(board):
    for channel, raw in ANALOG.items():
        before = time.time_ns()
        reading = board.read_analog(channel)
        after = time.time_ns()
        assert (reading.raw, reading.volts) == (raw, raw * 5 / 1024)
        assert before < reading.time_ns < after
        assert 0 < reading.round_trip < (after - before) / 1e9
        assert reading.time.tzinfo is not None and reading.time.utcoffset() is not None
        assert abs(reading.time.timestamp() - reading.time_ns / 1e9) < 2e-6
        assert board.read_volts(channel) == raw * 5 / 1024
    assert {c: board.read_digital(c) for c in DIGITAL} == DIGITAL
    assert board.read_digital_reading(0).volts == 5.0


def test_outputs_reach_the_board_and_the_link_holds_them(board, sim_link):
    board.write_pwm(3, 255)
    assert board.write_volts(1, 2.5) == 128
    assert board.write_volts(2, 0.01) == 1  # rounded, not cut
    board.write_digital(2, True)
    board.write_digital(0, 0)
    link = board.link
    assert link.connected and link.opens == 1 and not link.restarted
    assert link.pwm[1:] == (128, 1, 255) and link.digital[:3] == (False, False, True)
    assert link.opened <= link.last_answer <= datetime.now().astimezone()
    for line in ("SA9255", "SA5128", "SA61", "SBC1", "SBA0"):
        assert log_has(sim_link[1], line), line


@pytest.mark.parametrize("method, args, error", [
    ("read_analog", (6,), arduinodrv.BadChannel),
    ("read_analog", (-1,), arduinodrv.BadChannel),
    ("read_digital", (4,), arduinodrv.BadChannel),
    ("read_volts", (2**31,), arduinodrv.BadChannel),
    ("write_pwm", (4, 0), arduinodrv.BadChannel),
    ("write_pwm", (0, 256), arduinodrv.BadValue),
    ("write_pwm", (0, -(2**40)), arduinodrv.BadValue),
    ("write_digital", (0, 2), arduinodrv.BadValue),
    ("write_volts", (0, math.nan), arduinodrv.BadValue),
    ("write_volts", (0, math.inf), arduinodrv.BadValue),
    ("write_volts", (0, -math.inf), arduinodrv.BadValue),
    ("write_volts", (0, -0.1), arduinodrv.BadValue),
    ("write_volts", (0, 5.1), arduinodrv.BadValue),
    ("write_volts", (0, 10**400), arduinodrv.BadValue),
    ("write_volts", (9, 1.0), arduinodrv.BadChannel),
    ("read_analog", (True,), TypeError),
    ("read_analog", (1.0,), TypeError),
    ("read_digital", ("0",), TypeError),
    ("write_pwm", (0, 9.0), TypeError),
    ("write_pwm", (0, False), TypeError),
    ("write_digital", (0, 1.0), TypeError),
    ("write_volts", (0, "2.5"), TypeError),
])
def test_a_bad_channel_or_value_raises_before_anything_is_sent(board, method, args, error):
    requests = board.link.requests
    with pytest.raises(error) as raised:
        getattr(board, method)(*args)
    if error is not TypeError:
        assert isinstance(raised.value, (arduinodrv.BoardError, ValueError))
    assert board.link.requests == requests


@pytest.mark.parametrize("kind, code", [
    ("missing", errno.ENOENT), ("folder", errno.ENOTTY), ("file", errno.ENOTTY), ("null", errno.ENOTTY),
    ("line\n", errno.EINVAL), ("long", errno.EINVAL),
])
def test_a_path_that_is_no_board_is_a_port_error_naming_it(board_library, tmp_path, kind, code):
    path = {"null": "/dev/null", "long": "/dev/" + "x" * 5000}.get(kind, str(tmp_path / kind))
    if kind == "folder":
        os.mkdir(path)
    elif kind == "file":
        open(path, "w").close()
    with pytest.raises(arduinodrv.PortError) as raised:
        arduinodrv.Board(path, start=0, library=board_library)
    assert (raised.value.errno, raised.value.filename) == (code, path)
    assert isinstance(raised.value, OSError) and raised.value.strerror


@pytest.mark.parametrize("port, error", [("", ValueError), ("/dev/tty\0USB0", ValueError), (0, TypeError)])
def test_a_port_that_cannot_be_a_path_is_refused(board_library, port, error):
    with pytest.raises(error):
        arduinodrv.Board(port, library=board_library)


def test_a_silent_board_raises_no_answer_and_a_garbling_one_not_a_reading(board_library):
    with answering_terminal(b"") as silent, answering_terminal(b"x12\r\n") as garbling:
        with arduinodrv.Board(silent, start=0, timeout=0.3, library=board_library) as quiet, \
                arduinodrv.Board(garbling, start=0, library=board_library) as wrong:
            started = time.monotonic()
            with pytest.raises(arduinodrv.NoAnswer) as raised:
                quiet.read_analog(0)
            assert 0.25 < time.monotonic() - started < 5
            assert isinstance(raised.value, TimeoutError) and raised.value.filename == silent
            with pytest.raises(arduinodrv.NotAReading, match="x12"):
                wrong.read_analog(0)
            with pytest.raises(arduinodrv.NotAReading):
                wrong.read_digital(1)
            assert (quiet.link.no_answer, wrong.link.not_a_reading) == (1, 2)


def test_two_boards_on_one_port_the_second_is_busy(board, board_library, sim_link):
    with pytest.raises(arduinodrv.PortError) as raised:
        arduinodrv.Board(sim_link[0], start=0, library=board_library)
    assert (raised.value.errno, raised.value.filename) == (errno.EBUSY, str(sim_link[0]))
    assert board.read_analog(0).raw == ANALOG[0]


def test_a_closed_board_raises_value_error(board_library):
    with answering_terminal(b"") as silent:
        with arduinodrv.Board(silent, start=0, library=board_library) as board:
            assert not board.closed
        board.close()  # again: nothing
        assert board.closed
        for call in (lambda: board.read_analog(0), lambda: board.write_pwm(0, 1), lambda: board.link):
            with pytest.raises(arduinodrv.BoardClosed) as raised:
                call()
            assert isinstance(raised.value, ValueError)
        # The device is free again.
        arduinodrv.Board(silent, start=0, library=board_library).close()


def test_two_boards_in_one_program_each_read_their_own(board, board_library, tmp_path):
    other_values = {c: 1023 - raw for c, raw in ANALOG.items()}
    sim = start_boardsim(tmp_path / "ttyUSB1", *sim_options(tmp_path / "log", analog=other_values))
    wrong = []
    try:
        with arduinodrv.Board(tmp_path / "ttyUSB1", library=board_library) as other:
            def reads(one, values):
                for n in range(60):
                    if one.read_analog(n % 6).raw != values[n % 6]:
                        wrong.append((one.port, n))
            threads = [threading.Thread(target=reads, args=(board, ANALOG)),
                       threading.Thread(target=reads, args=(other, other_values))]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    finally:
        stop_boardsim(sim)
    assert wrong == []


def test_threads_on_one_board_each_get_their_own_answer(board):
    wrong = []

    def reads(offset):
        for n in range(40):
            channel = (n + offset) % 6
            if board.read_analog(channel).raw != ANALOG[channel]:
                wrong.append(channel)
            board.write_pwm(offset, n)

    threads = [threading.Thread(target=reads, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == [] and board.link.pwm == (39, 39, 39, 39)


def test_close_while_other_threads_wait_on_the_board(board_library):
    with answering_terminal(b"") as silent:
        board = arduinodrv.Board(silent, start=0, timeout=1.0, library=board_library)
        results = {}

        def read(name):
            try:
                board.read_analog(0)
            except arduinodrv.BoardError as error:
                results[name] = type(error)

        first = threading.Thread(target=read, args=("in progress",))
        first.start()
        time.sleep(0.2)
        waiting = [threading.Thread(target=read, args=(f"waiting {n}",)) for n in range(3)]
        for thread in waiting:
            thread.start()
        time.sleep(0.1)
        started = time.monotonic()
        board.close()
        took = time.monotonic() - started
        for thread in [first, *waiting]:
            thread.join()
    assert results.pop("in progress") is arduinodrv.NoAnswer
    assert set(results.values()) == {arduinodrv.BoardClosed}
    assert took < 3  # the request in progress, not one per waiting thread


STORM = r"""
import os, random, select, subprocess, sys
import arduinodrv
board = arduinodrv.Board(sys.argv[1], library=sys.argv[2])
# Ctrl-C from outside, at any moment: a thread of this process would send
# each while the main thread waits for the GIL, just after a C call.
SENDER = "import os, random, sys, time\nfor _ in range(400):\n    time.sleep(random.uniform(0.001, 0.003))\n" \
         "    os.kill(int(sys.argv[1]), 2)\n"
# Its end is the end of its output: Popen.poll() is no help here, being
# itself cut short by the interrupts.
sender = subprocess.Popen([sys.executable, "-c", SENDER, str(os.getpid())], stdout=subprocess.PIPE)
caught, stream = 0, None

def steps():
    global caught, stream
    while not select.select([sender.stdout], [], [], 0)[0]:
        try:
            board.read_analog(0)
            board.write_pwm(1, 7)
            board.read_digital(1)
            board.link
            board.next_event(0.001)
            if stream is None or not stream.running:
                stream = board.stream([0], 1000)
            stream.read(0.002)
            if random.random() < 0.3:
                stream.stop()
        except KeyboardInterrupt:
            caught += 1
        except arduinodrv.NotStreaming:
            pass  # a stop cut short after the board took it: the next round starts again

done = False
while not done:
    try:
        steps()
        done = True
    except KeyboardInterrupt:  # one that came between two steps
        caught += 1
sender.wait()
if stream is not None:
    stream.stop()
with board.stream([2], 500) as after:  # none left running by a start cut short
    assert after.read(2.0)[0].analog[2] == int(sys.argv[3])
board.write_pwm(1, 9)
print(sender.returncode, caught, board.read_analog(0).raw, board.link.pwm[1], flush=True)
board.close()
print("closed", board.closed)
"""


def test_interrupts_at_any_moment_leave_the_board_usable_and_closable(board_library, tmp_path):
    sim = start_boardsim(tmp_path / "ttyUSB5", *sim_options(tmp_path / "log"))
    try:
        # A process of its own: a board that wedges is a timeout there, not a hung run.
        run = run_python("-c", STORM, str(tmp_path / "ttyUSB5"), board_library, str(ANALOG[2]), timeout=90)
    finally:
        stop_boardsim(sim)
    assert run.returncode == 0, run.stderr
    sender, caught, raw, pwm = map(int, run.stdout.split("\n")[0].split())
    assert sender == 0 and caught > 100
    assert (raw, pwm) == (ANALOG[0], 9) and run.stdout.split("\n")[1] == "closed True"


def test_a_child_forked_after_open_gets_port_error_at_once(board):
    busy = threading.Event()
    stop = threading.Event()

    def reads():  # a request in progress at the fork, now and then
        while not stop.is_set():
            board.read_analog(1)
            busy.set()

    reader = threading.Thread(target=reads)
    reader.start()
    busy.wait(5)
    pid = os.fork()
    if pid == 0:
        try:
            board.read_analog(0)
            code = 1
        except arduinodrv.PortError as error:
            code = 0 if error.errno == errno.EBUSY and board.event_fd == -1 else 2
        board.close()  # the child's copy only
        os._exit(code)
    stop.set()
    reader.join()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert board.read_analog(0).raw == ANALOG[0]  # the parent's board goes on


def test_after_an_unplug_and_replug_the_link_shows_the_outputs_off(board_library, tmp_path):
    link = tmp_path / "ttyUSB3"
    sim = start_boardsim(link, "--analog=0=77")
    try:
        with arduinodrv.Board(link, start=1.2, library=board_library) as board:
            board.write_pwm(0, 200)
            board.write_digital(3, True)
            first = board.link
            stop_boardsim(sim)  # unplugged
            with pytest.raises(arduinodrv.PortError) as raised:
                board.read_analog(0)
            assert raised.value.errno == errno.ENOENT and not board.link.connected
            sim = start_boardsim(link, "--analog=0=77")  # plugged in again
            deadline = time.monotonic() + 10
            while True:
                try:
                    assert board.read_analog(0).raw == 77
                    break
                except arduinodrv.PortError:
                    assert time.monotonic() < deadline, "the board did not come back"
                    time.sleep(0.1)
            now = board.link
    finally:
        stop_boardsim(sim)
    assert first.pwm[0] == 200 and first.digital[3]
    assert now.restarted and now.opens == 2 and now.opened > first.opened and now.no_port >= 1
    assert now.pwm == (0, 0, 0, 0) and now.digital == (False,) * 4


def test_scan_gives_every_input_with_its_own_result(board, board_library):
    before = time.time_ns()
    scan = board.scan()
    assert scan.complete and not scan.errors
    assert [(r.raw, r.volts) for r in scan.analog] == [(raw, raw * 5 / 1024) for raw in ANALOG.values()]
    assert [r.raw == 1 for r in scan.digital] == list(DIGITAL.values())
    assert all(before < r.time_ns < time.time_ns() for r in scan.analog + scan.digital)
    # A garbling board: each input's own exception, with its answer.
    with answering_terminal(b"x4y\r\n") as port, arduinodrv.Board(port, library=board_library, start=0) as garbling:
        scan = garbling.scan()
    assert not scan.complete and len(scan.errors) == 10
    assert isinstance(scan.analog[0], arduinodrv.NotAReading) and '"x4y"' in str(scan.analog[0])
    # Nothing to scan: the scan itself raises.
    with pytest.raises(arduinodrv.BoardClosed):
        garbling.scan()


def test_a_classic_sketch_cannot_stream_and_says_so(board):
    if board.link.sketch:
        pytest.skip("the emulator plays the project's sketch")
    with pytest.raises(arduinodrv.NotSupported) as refused:
        board.stream([0, 1], 10)
    assert isinstance(refused.value, OSError) and refused.value.errno == errno.ENOTSUP
    assert board.read_analog(0).raw == ANALOG[0]  # nothing left running
    for channels, rate, error in (([6], 10, arduinodrv.BadChannel), ([0], 0, arduinodrv.BadValue),
                                  ([0], math.nan, arduinodrv.BadValue), ([0], "1kHz", TypeError)):
        with pytest.raises(error):
            board.stream(channels, rate)


@pytest.fixture
def streaming(board_library, tmp_path):
    """A Board of its own on an emulator that plays the project's sketch."""
    sim = start_boardsim(tmp_path / "ttyUSB0", *sim_options(tmp_path / "traffic.log"))
    try:
        with arduinodrv.Board(tmp_path / "ttyUSB0", library=board_library) as board:
            if not board.link.sketch:
                pytest.skip("the emulator plays a classic sketch: no streams")
            yield board
    finally:
        stop_boardsim(sim)


def test_a_stream_yields_samples_in_order_and_requests_go_on_meanwhile(streaming):
    assert streaming.link.baud == 1000000  # the fastest both ends take, by default
    with streaming.stream([0, 2], 1000, digital=[1]) as stream:
        samples = []
        for sample in stream:
            samples.append(sample)
            if len(samples) % 100 == 0:  # between frames, each with its own answer
                assert streaming.read_analog(3).raw == ANALOG[3]
                streaming.write_pwm(2, len(samples) // 100)
            if len(samples) == 500:
                break
        with pytest.raises(arduinodrv.Streaming):
            streaming.stream([1], 10)
    assert streaming.link.pwm[2] == 5
    # In order; a frame the line lost is a gap that the link counts, never a silent one.
    numbers = [s.sequence for s in samples]
    assert numbers == sorted(set(numbers))
    assert numbers[-1] - numbers[0] + 1 - len(numbers) <= streaming.link.frames_lost
    # The board's own time: exactly the interval per frame number, also
    # across frames a busy machine made the emulator skip.
    assert all(b.board_time_us - a.board_time_us == 1000 * (b.sequence - a.sequence)
               for a, b in zip(samples, samples[1:]))
    assert samples[0].analog == (ANALOG[0], None, ANALOG[2], None, None, None)
    assert samples[0].digital == (None, 0, None, None)


def test_stop_gives_the_samples_not_read_yet(streaming):
    stream = streaming.stream([0], 1000)
    read = stream.read(2.0)
    time.sleep(0.3)  # samples come meanwhile, read by nobody
    rest = stream.stop()
    assert len(rest) > 50
    numbers = [s.sequence for s in read + rest]
    assert numbers == sorted(set(numbers)) and numbers[0] == read[0].sequence
    assert numbers[-1] - numbers[0] + 1 - len(numbers) <= streaming.link.frames_lost
    assert stream.stop() == [] and not stream.running
    with pytest.raises(arduinodrv.BoardClosed):
        stream.read()
    assert list(stream) == []
    # Nothing left running: a new stream starts, and its samples are its own.
    with streaming.stream([1], 200) as again:
        assert again.read(2.0)[0].analog[1] == ANALOG[1]


def cut_short_after(library, name, monkeypatch):
    """library's function name, which then raises KeyboardInterrupt once, as
    a Ctrl-C that came while it ran would."""
    function = getattr(library, name)

    def interrupted(*arguments):
        monkeypatch.setattr(library, name, function)
        function(*arguments)
        raise KeyboardInterrupt
    monkeypatch.setattr(library, name, interrupted)


def test_a_stream_start_or_stop_cut_short_leaves_nothing_stuck(streaming, monkeypatch):
    cut_short_after(streaming._library, "ab_stream_start", monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        streaming.stream([0], 500)  # the board streams, and no Stream stands for it
    stream = streaming.stream([1], 500)
    assert stream.read(2.0)[0].analog[1] == ANALOG[1]
    time.sleep(0.1)  # samples come, read by nobody
    cut_short_after(streaming._library, "ab_stream_stop", monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        stream.stop()
    assert stream.stop() and stream.stop() == []  # asked again: what came before the first
    with streaming.stream([2], 500) as again:
        assert again.read(2.0)


def test_an_open_or_close_cut_short_leaves_the_board_closed_or_closable(board_library, sim_link, board, monkeypatch):
    # The session's Board holds the emulator: an open of a silent terminal.
    library = board._library
    with answering_terminal(b"") as silent:
        cut_short_after(library, "ab_open", monkeypatch)
        with pytest.raises(KeyboardInterrupt):
            arduinodrv.Board(silent, start=0, library=board_library)
        gc.collect()  # the Board that never was: its device closed with it
        other = arduinodrv.Board(silent, start=0, library=board_library)
        cut_short_after(library, "ab_close", monkeypatch)
        with pytest.raises(KeyboardInterrupt):
            other.close()
        with pytest.raises(arduinodrv.BoardClosed):
            other.read_analog(0)
        other.close()
        assert other.closed
        arduinodrv.Board(silent, start=0, library=board_library).close()  # free again


def test_a_stream_of_a_board_unplugged_raises_port_error_once(board_library, tmp_path):
    link = tmp_path / "ttyUSB4"
    sim = start_boardsim(link)
    try:
        with arduinodrv.Board(link, library=board_library, baud=9600) as board:
            assert board.link.baud == 9600
            with pytest.raises(arduinodrv.BadValue):
                board.stream([0], 500)  # more than the slow line carries
            stream = board.stream([0], 20)
            assert stream.read(2.0)
            stop_boardsim(sim)
            with pytest.raises(arduinodrv.PortError) as raised:
                for _ in stream:
                    pass
            assert raised.value.errno == errno.ENOENT
            assert list(stream) == [] and not stream.running  # told once, then the end
            assert stream.stop() == []
    finally:
        stop_boardsim(sim)


def test_baud_must_be_a_line_rate(board_library):
    for baud in (115200, "1000000", True):
        with pytest.raises(ValueError):
            arduinodrv.Board("/dev/null", library=board_library, baud=baud)
