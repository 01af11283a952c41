"""python3 -m arduinodrv on the board object, mostly in this process."""

import csv
import os
import statistics
import time
from datetime import datetime

import pytest

import arduinodrv
from arduinodrv.cli import main
from conftest import ANALOG, answering_terminal, run_python, sim_options, start_boardsim, stop_boardsim


@pytest.fixture(scope="module")
def where(board_library, tmp_path_factory):
    """--library and --port of an emulated board of the command line's own."""
    folder = tmp_path_factory.mktemp("cli")
    sim = start_boardsim(folder / "ttyUSB0", "--pace", *sim_options(folder / "traffic.log"))
    yield ["--library", board_library, "--port", str(folder / "ttyUSB0")]
    stop_boardsim(sim)


def test_read_prints_every_input_with_its_name(where, capsys):
    assert main(where) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 10
    assert lines[0].split() == ["analog", "input", "0", "(A0)", "512", "2.500", "V"]
    assert lines[3].split() == ["analog", "input", "3", "(A3)", "256", "1.250", "V"]
    assert lines[6].split() == ["digital", "input", "0", "(pin", "2)", "1"]
    assert lines[9].split() == ["digital", "input", "3", "(pin", "8)", "0"]


@pytest.mark.parametrize("answer, shown", [
    (b"", ["no answer"] * 10),  # one exchange: one wait for the whole silent board
    # A classic digital answer is one byte: the rest of this one is the next analog answer.
    (b"x4y\r\n", ['not a reading: the answer "x4y"'] + ['not a reading: the answer "4y"'] * 5
     + ['not a reading: the answer "x"'] * 4),
])
def test_read_says_why_each_input_gave_no_reading(board_library, answer, shown):
    with answering_terminal(answer) as port:
        run = run_python("-m", "arduinodrv", "--library", board_library, "--port", port)
    assert run.returncode == 1
    assert [line[26:] for line in run.stdout.splitlines()] == shown
    assert run.stderr == "arduinodrv: 10 of 10 inputs gave no reading\n"


def test_record_writes_each_reading_with_its_time(where, tmp_path, capsys):
    out = tmp_path / "a2.csv"
    started = time.time()
    assert main(["record", "ea", "2", "--every", "20ms", "--count", "4", "--out", str(out), *where]) == 0
    rows = list(csv.DictReader(out.open()))
    assert list(rows[0]) == ["time", "time_s", "ead 2", "ea 2"]
    assert [row["ea 2"] for row in rows] == [str(ANALOG[2])] * 4
    assert [float(row["ead 2"]) for row in rows] == [ANALOG[2] * 5 / 1024] * 4
    times = [float(row["time_s"]) for row in rows]
    assert 0 <= times[0] and times == sorted(times) and 0.06 <= times[-1] < time.time() - started
    # The reading's own time, local, with its offset.
    first = datetime.fromisoformat(rows[0]["time"])
    assert first.utcoffset() == datetime.now().astimezone().utcoffset()
    assert started - 1 < first.timestamp() < time.time()
    assert "4 rows written" in capsys.readouterr().err


def test_record_takes_several_channels_in_one_row_until_stopped(where, tmp_path, monkeypatch):
    real_scan = arduinodrv.Board.scan
    scans = []

    def scan(board):
        scans.append(1)
        if len(scans) > 3:
            raise KeyboardInterrupt  # Ctrl-C
        return real_scan(board)
    monkeypatch.setattr(arduinodrv.Board, "scan", scan)
    assert main(["record", "ead", "0", "3", "all", "--every", "1ms", "--out", str(tmp_path), *where]) == 130
    written = list(tmp_path.glob("board-*.csv"))  # named by the local time
    assert len(written) == 1 and time.strftime("%Y-%m-%d") in written[0].name
    rows = list(csv.DictReader(written[0].open()))
    assert list(rows[0])[2:6] == ["ead 0", "ea 0", "ead 3", "ea 3"] and len(rows[0]) == 2 + 2 * 6
    assert len(rows) == 3 and all(int(row[f"ea {c}"]) == raw for row in rows for c, raw in ANALOG.items())


@pytest.mark.parametrize("arguments, option", [
    (["--every", "100"], "--every"),
    (["--every", "0ms"], "--every"),
    (["--every", "-5ms"], "--every"),
    (["--every", "1h"], "--every"),
    (["--every", "2 days"], "--every"),
    (["--count", "0"], "--count"),
    (["--count", "x"], "--count"),
])
def test_record_refuses_bad_options(tmp_path, capsys, arguments, option):
    out = tmp_path / "never.csv"
    with pytest.raises(SystemExit) as stopped:
        main(["record", "ead", "0", "--out", str(out), "--library", "unused.so", *arguments])
    assert stopped.value.code == 2
    assert option in capsys.readouterr().err
    assert not out.exists()


@pytest.mark.parametrize("function, channel", [("ead", "6"), ("eb", "4"), ("ea", "-1")])
def test_record_refuses_a_channel_the_board_lacks(capsys, function, channel):
    with pytest.raises(SystemExit):
        main(["record", function, channel, "--library", "unused.so"])
    assert f"channel {channel}" in capsys.readouterr().err


def failing_after(samples, error):
    calls = []

    def read(self, channel):
        calls.append(channel)
        if len(calls) > samples:
            raise error
        return arduinodrv.Reading(205, 1.0, time.time_ns(), 0.001)
    return read


@pytest.mark.parametrize("error, status", [
    (KeyboardInterrupt(), 130),
    (OSError(5, "Input/output error"), 1),
])
def test_half_written_csv_kept_when_stopped_or_failing(where, tmp_path, monkeypatch, capsys, error, status):
    # What was written stays, whatever ends the recording.
    monkeypatch.setattr(arduinodrv.Board, "read_analog", failing_after(2, error))
    out = tmp_path / "partial.csv"
    assert main(["record", "ead", "0", "--every", "1ms", "--count", "5", "--out", str(out), *where]) == status
    assert len(out.read_text().splitlines()) == 3


def test_unloadable_library_is_reported(tmp_path):
    missing = tmp_path / "missing.so"
    run = run_python("-m", "arduinodrv", "--port", "/dev/null", "--library", str(missing))
    assert run.returncode == 1
    assert str(missing) in run.stderr and "Traceback" not in run.stderr


def test_no_board_said_at_once(board_library, tmp_path):
    start = time.monotonic()
    run = run_python("-m", "arduinodrv", "--library", board_library, ARDUINODRV_PORT=str(tmp_path / "ttyACM7"))
    assert time.monotonic() - start < 10  # no readings of a board that is not there
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr == f"arduinodrv: no board: {tmp_path / 'ttyACM7'}: No such file or directory\n"


def test_silent_board_warned_and_exit_1(board_library, tmp_path):
    out = tmp_path / "silent.csv"
    with answering_terminal(b"") as port:
        run = run_python("-m", "arduinodrv", "record", "ead", "1", "--count", "2", "--out", str(out),
                         "--port", port, "--library", board_library)
    assert run.returncode == 1
    assert f"record: ead 1: no answer ({port}: no whole answer within 1000 ms)" in run.stderr
    assert "2 of 2 rows miss a reading" in run.stderr
    rows = list(csv.DictReader(out.open()))
    assert [(row["ead 1"], row["ea 1"]) for row in rows] == [("", "")] * 2
    assert 0.9 < float(rows[0]["time_s"]) < 5


def test_interval_shorter_than_a_request_is_stated(where, capsys):
    # On the slow line, which the paced emulator keeps: about 10 ms a request.
    assert main(["record", "ea", "0", "--every", "1ms", "--count", "2", "--baud", "9600", *where]) == 0
    assert "longer than --every 1ms" in capsys.readouterr().err


def test_write_error_reported_and_device_left_alone(where, capsys):
    assert main(["record", "ea", "0", "--count", "2", "--every", "1ms", "--out", "/dev/full", *where]) == 1
    assert "No space left" in capsys.readouterr().err
    assert os.path.exists("/dev/full")


@pytest.mark.parametrize("folder", ["missing/deeper", "read-only"])
def test_a_path_that_cannot_be_written_is_said_before_the_board_opens(tmp_path, capsys, folder):
    (tmp_path / "read-only").mkdir(mode=0o500)
    out = tmp_path / folder / "a.csv"
    started = time.monotonic()
    status = main(["record", "ead", "0", "--out", str(out), "--library", "unused.so", "--port", "/dev/null"])
    if folder == "read-only" and os.geteuid() == 0:
        pytest.skip("root writes into a read-only folder")
    assert status == 1 and time.monotonic() - started < 1
    assert f"record: cannot write {out}: " in capsys.readouterr().err


def test_record_with_a_rate_writes_the_boards_samples_and_time(where, tmp_path, capsys):
    out = tmp_path / "stream.csv"
    status = main(["record", "ead", "0", "2", "--rate", "500Hz", "--count", "300", "--baud", "1000000",
                   "--out", str(out), *where])
    if status == 1 and "needs the project's sketch" in capsys.readouterr().err:
        pytest.skip("the emulator plays a classic sketch: no streams")
    assert status == 0
    rows = list(csv.DictReader(out.open()))
    assert list(rows[0]) == ["time", "time_s", "board_time_s", "sample", "ead 0", "ea 0", "ead 2", "ea 2"]
    assert len(rows) == 300 and [int(row["ea 2"]) for row in rows] == [ANALOG[2]] * 300
    board_times = [float(row["board_time_s"]) for row in rows]
    steps = [b - a for a, b in zip(board_times, board_times[1:])]
    assert statistics.median(steps) == pytest.approx(0.002, abs=1e-4)  # the board's 500 Hz
