"""python3 -m arduinodrv, run in this process so it shares the loaded library."""

import os
import time

import pytest

import arduinodrv
from arduinodrv.cli import main
from conftest import ANALOG, run_python


def test_read_prints_every_input_with_its_label(driver, library_path, capsys):
    assert main(["--library", library_path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 10
    assert lines[0].split() == ["EA0", "512", "EA0", "(V)", "2.500"]
    assert lines[3].split() == ["EA3", "256", "EA3", "(V)", "1.250"]
    assert lines[6].split() == ["EB0", "br", "2", "1"]
    assert lines[9].split() == ["EB3", "br8", "0"]


def test_record_writes_csv(driver, library_path, tmp_path, capsys):
    out = tmp_path / "a2.csv"
    assert main(["record", "ea", "2", "--every", "20ms", "--count", "4", "--out", str(out),
                 "--library", library_path]) == 0
    lines = out.read_text().splitlines()
    assert lines[0] == "time_s,ea 2"
    times = [float(line.split(",")[0]) for line in lines[1:]]
    assert [line.split(",")[1] for line in lines[1:]] == [str(ANALOG[2])] * 4
    assert times == sorted(times) and times[-1] >= 0.06
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
        return 1.0
    return read


@pytest.mark.parametrize("error, status, kept", [
    (KeyboardInterrupt(), 130, True),
    (OSError(5, "Input/output error"), 1, False),
])
def test_half_written_csv_kept_only_when_stopped(driver, library_path, tmp_path, monkeypatch, capsys,
                                                  error, status, kept):
    monkeypatch.setattr(arduinodrv.Driver, "ead", failing_after(2, error))
    out = tmp_path / "partial.csv"
    assert main(["record", "ead", "0", "--every", "1ms", "--count", "5", "--out", str(out),
                 "--library", library_path]) == status
    assert out.exists() == kept
    if kept:
        assert len(out.read_text().splitlines()) == 3


def test_unloadable_library_is_reported(tmp_path):
    missing = tmp_path / "missing.so"
    run = run_python("-m", "arduinodrv", "--port", "/dev/null", "--library", str(missing))
    assert run.returncode == 1
    assert str(missing) in run.stderr and "Traceback" not in run.stderr


def test_no_board_said_at_once(tmp_path):
    start = time.monotonic()
    run = run_python("-m", "arduinodrv", ARDUINODRV_PORT=str(tmp_path / "ttyACM7"))
    assert time.monotonic() - start < 10  # no load, no readings of a board that is not there
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr == f"arduinodrv: no board: {tmp_path / 'ttyACM7'}: no such device: is the board plugged in?\n"


def test_silent_board_warned_and_exit_1(library_path, tmp_path):
    controller, device = os.openpty()  # a terminal that nobody answers on
    try:
        out = tmp_path / "silent.csv"
        run = run_python("-m", "arduinodrv", "record", "ead", "1", "--count", "1", "--out", str(out),
                         "--port", os.ttyname(device), "--library", library_path)
    finally:
        os.close(controller)
        os.close(device)
    assert run.returncode == 1
    assert "no answer from the board within the library's limit of 1000 ms (ead 1)" in run.stderr
    assert out.read_text().splitlines()[1].endswith(",0.0")


def test_interval_shorter_than_a_request_is_stated(driver, library_path, capsys):
    assert main(["record", "ea", "0", "--every", "1ms", "--count", "2", "--library", library_path]) == 0
    assert "longer than --every 1ms" in capsys.readouterr().err


def test_write_error_reported_and_device_left_alone(driver, library_path, capsys):
    assert main(["record", "ea", "0", "--count", "2", "--every", "1ms", "--out", "/dev/full",
                 "--library", library_path]) == 1
    assert "No space left" in capsys.readouterr().err
    assert os.path.exists("/dev/full")
