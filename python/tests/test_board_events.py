"""What the library tells of a board without a request: a device unplugged
and back, through next_event and events(), the descriptor for select, and
on_event's thread."""

import queue
import select
import threading
import time

import pytest

import arduinodrv
from conftest import start_boardsim, stop_boardsim


def test_unplug_and_replug_are_events_and_the_descriptor_says_when_they_wait(board_library, tmp_path):
    link = tmp_path / "ttyUSB6"
    sim = start_boardsim(link, "--analog=0=77")
    try:
        with arduinodrv.Board(link, start=1.2, library=board_library) as board:
            opened = list(board.events(timeout=0))  # those of the open, waiting already
            assert [(e.kind, e.value) for e in opened] == [("rate_changed", board.link.baud)]
            fd = board.event_fd
            assert fd >= 0 and select.select([fd], [], [], 0)[0] == []
            unplugged = time.time_ns()
            stop_boardsim(sim)
            assert select.select([fd], [], [], 5)[0] == [fd]
            detached = board.next_event()
            assert detached.kind == "detached" and detached.missed == 0
            assert unplugged < detached.time_ns < time.time_ns()
            assert abs(detached.time.timestamp() - detached.time_ns / 1e9) < 2e-6 and detached.time.tzinfo
            assert board.next_event(0.05) is None
            sim = start_boardsim(link, "--analog=0=77")
            kinds = []
            for event in board.events(timeout=10):
                kinds.append(event.kind)
                if event.kind == "attached":
                    break
            assert kinds[:1] == ["attached"]
            assert board.read_analog(0).raw == 77
    finally:
        stop_boardsim(sim)
    assert board.event_fd == -1 and list(board.events()) == []
    with pytest.raises(arduinodrv.BoardClosed):
        board.next_event()


def test_on_event_calls_back_until_cancelled_a_failing_callback_included(board_library, tmp_path, monkeypatch):
    told = []
    monkeypatch.setattr(threading, "excepthook", lambda hook: told.append(hook.exc_value))
    got = queue.Queue()

    def callback(event):
        got.put((event.kind, threading.current_thread()))
        if event.kind == "detached":
            raise RuntimeError("a fault of the callback's")

    def next_kind(kind, timeout_s):
        deadline = time.monotonic() + timeout_s
        while True:
            seen, thread = got.get(timeout=max(0.0, deadline - time.monotonic()))
            if seen == kind:
                return thread

    link = tmp_path / "ttyUSB7"
    sim = start_boardsim(link)
    try:
        board = arduinodrv.Board(link, start=1.2, library=board_library)
        watch = board.on_event(callback)
        stop_boardsim(sim)
        thread = next_kind("detached", 5)
        assert thread is not threading.current_thread() and thread.daemon
        sim = start_boardsim(link)
        next_kind("attached", 15)  # delivered after the callback raised
        assert [str(error) for error in told] == ["a fault of the callback's"]
        watch.cancel()
        assert not watch.active
        # Closing ends the calls, and an events() waiting in another thread.
        second = board.on_event(lambda event: None)
        waiting = threading.Thread(target=lambda: list(board.events()))
        waiting.start()
        time.sleep(0.1)
        board.close()
        waiting.join(5)
        deadline = time.monotonic() + 5
        while second.active and time.monotonic() < deadline:
            time.sleep(0.02)
        assert not waiting.is_alive() and not second.active
    finally:
        stop_boardsim(sim)
