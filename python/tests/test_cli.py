"""python3 -m arduinodrv on the board object, mostly in this process."""

import os
import time

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
    (b"", ["no answer"] * 2 + ["not asked: the board does not answer"] * 8),
    (b"x45\r\n", ['not a reading: the answer "x45"'] * 6 + ['not a reading: the answer "x"'] * 4),
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
    lines = out.read_text().splitlines()
    assert lines[0] == "time_s,ea 2"
    times = [float(line.split(",")[0]) for line in lines[1:]]
    assert [line.split(",")[1] for line in lines[1:]] == [str(ANALOG[2])] * 4
    assert 0 <= times[0] and times == sorted(times) and 0.06 <= times[-1] < time.time() - started
    assert "4 samples written" in capsys.readouterr().err


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


@pytest.mark.parametrize("error, status, kept", [
    (KeyboardInterrupt(), 130, True),
    (OSError(5, "Input/output error"), 1, False),
])
def test_half_written_csv_kept_only_when_stopped(where, tmp_path, monkeypatch, capsys, error, status, kept):
    monkeypatch.setattr(arduinodrv.Board, "read_analog", failing_after(2, error))
    out = tmp_path / "partial.csv"
    assert main(["record", "ead", "0", "--every", "1ms", "--count", "5", "--out", str(out), *where]) == status
    assert out.exists() == kept
    if kept:
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
    assert "2 of 2 samples gave no reading" in run.stderr
    rows = out.read_text().splitlines()[1:]
    assert [row.split(",")[1] for row in rows] == ["", ""] and 0.9 < float(rows[0].split(",")[0]) < 5


def test_interval_shorter_than_a_request_is_stated(where, capsys):
    assert main(["record", "ea", "0", "--every", "1ms", "--count", "2", *where]) == 0
    assert "longer than --every 1ms" in capsys.readouterr().err


def test_write_error_reported_and_device_left_alone(where, capsys):
    assert main(["record", "ea", "0", "--count", "2", "--every", "1ms", "--out", "/dev/full", *where]) == 1
    assert "No space left" in capsys.readouterr().err
    assert os.path.exists("/dev/full")
