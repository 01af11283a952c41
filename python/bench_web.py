"""The board page's figures, against the emulator at a real line's pace:
readings a second that one and ten open pages receive, the delay from an
input the emulator changes to the page's lamp, and the server's CPU and
memory with ten pages open.

    cmake --build build/w64 --target web_bench        # 10 minutes of load
    WEB_BENCH_MINUTES=1 cmake --build build/w64 --target web_bench

Ten pages are one headless Chromium page (which times the lamp) and nine
event streams read by this script, as a browser would read them."""

import http.client
import json
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "tests"))
from test_web_helpers import Emulator, Server, chromium, wait_for  # noqa: E402

HALF_PERIOD_S = 1.0  # the blinking input's level holds this long
SAMPLE_S = 20.0      # each readings-a-second figure is taken over this long


class Stream(threading.Thread):
    """One page's event stream, counting the readings it brings."""

    def __init__(self, server):
        super().__init__(daemon=True)
        self.server, self.readings, self.rounds, self.done = server, 0, 0, threading.Event()

    def run(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        connection.request("GET", f"/api/events?token={self.server.token}")
        response = connection.getresponse()
        while not self.done.is_set():
            line = response.readline()
            if not line:
                break
            if line.startswith(b"data: "):
                round_ = json.loads(line[6:])
                self.rounds += 1
                self.readings += sum(v is not None for v in round_.get("ea") or [])
                self.readings += sum(v is not None for v in round_.get("eb") or [])
        connection.close()


def readings_per_second(browser, streams):
    """Readings a second each page received: the browser's, then each stream's."""
    def counts():
        return [browser.execute_script("return window.boardPage.readings")] + [s.readings for s in streams]
    before = counts()
    time.sleep(SAMPLE_S)
    return [(after - b) / SAMPLE_S for after, b in zip(counts(), before)]


def lamp_delays_ms(browser, sim_started_wall, since_ms):
    changes = browser.execute_script("return window.boardPage.lampChanges")
    delays = []
    for change in changes:
        if change["channel"] != 0 or change["level"] == "unknown" or change["at"] < since_ms:
            continue
        since_start = change["at"] / 1000 - sim_started_wall
        edge = int(since_start / HALF_PERIOD_S) * HALF_PERIOD_S
        delays.append((since_start - edge) * 1000)
    return delays


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    library = os.environ["ARDUINODRV_TEST_BOARD_LIBRARY"]
    devices = os.environ["ARDUINODRV_WEB_DEVICES"]
    boardsim = os.environ["ARDUINODRV_TEST_BOARDSIM"]
    minutes = float(os.environ.get("WEB_BENCH_MINUTES", "10"))
    with tempfile.TemporaryDirectory() as scratch:
        sim = Emulator(boardsim, devices, Path(scratch) / "traffic.log", "--pace", "--analog=0=512",
                       f"--digital=2=square:{2 * HALF_PERIOD_S:g}s")
        sim_started_wall = time.time() - (time.monotonic() - sim.started)
        server = browser = None
        streams = []
        try:
            server = Server(library, "--port", str(sim.link))
            browser = chromium(Path(scratch) / "profile")
            browser.get(server.url)
            wait_for(lambda: browser.execute_script("return document.querySelector('#status').dataset.state")
                     == "answers", 20, "the page's first answer")
            one = readings_per_second(browser, streams)[0]
            for _ in range(9):
                streams.append(Stream(server))
                streams[-1].start()
            time.sleep(2)
            ten = readings_per_second(browser, streams)
            print(f"readings/s: one page {one:.1f}; ten pages {statistics.mean(ten):.1f} a page "
                  f"(lowest {min(ten):.1f})")
            cpu_before, started = server.cpu_s(), time.monotonic()
            memory = [server.memory_kb()]
            since_ms = time.time() * 1000
            while time.monotonic() - started < minutes * 60:
                time.sleep(min(30.0, minutes * 60))
                memory.append(server.memory_kb())
            cpu = (server.cpu_s() - cpu_before) / (time.monotonic() - started)
            delays = lamp_delays_ms(browser, sim_started_wall, since_ms)
            if delays:
                print(f"input change to lamp: median {statistics.median(delays):.0f} ms, "
                      f"p90 {percentile(delays, 0.9):.0f} ms ({len(delays)} changes)")
            print(f"server over {minutes:g} min with ten pages: CPU {100 * cpu:.1f} % of a core, "
                  f"memory {memory[0] / 1024:.1f} MiB at start, {max(memory) / 1024:.1f} MiB at most, "
                  f"{memory[-1] / 1024:.1f} MiB at end")
        finally:
            for stream in streams:
                stream.done.set()
            if browser is not None:
                browser.quit()
            if server is not None:
                server.stop()
            sim.stop()


if __name__ == "__main__":
    main()
