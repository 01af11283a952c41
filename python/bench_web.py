"""The board page's figures, against the emulator at a real line's pace:
rounds a second that one and ten open pages receive, the delay from an
input the emulator changes to the page's lamp and to its plot, the page's
memory in the browser and the server's CPU and memory over the run, and
what hostile or busy clients do to the sampler's rate.

    cmake --build build/w64 --target web_bench        # 10 minutes of load
    WEB_BENCH_MINUTES=1 cmake --build build/w64 --target web_bench

Ten pages are one headless Chromium page (which times the lamp and the
plot) and nine event streams read by this script, as a browser would."""

import http.client
import json
import os
import socket
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "tests"))
from test_web_helpers import Emulator, Server, chromium, wait_for  # noqa: E402

HALF_PERIOD_S = 1.0  # the blinking input's level holds this long
SAMPLE_S = 20.0      # each rounds-a-second figure is taken over this long
BUSY_CLIENTS = 200
HALF_OPEN = 256


class Stream(threading.Thread):
    """One page's event stream, counting the rounds it brings."""

    def __init__(self, server):
        super().__init__(daemon=True)
        self.server, self.rounds, self.done = server, 0, threading.Event()

    def run(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        connection.request("GET", f"/api/events?token={self.server.token}")
        response = connection.getresponse()
        while not self.done.is_set():
            line = response.readline()
            if not line:
                break
            if line.startswith(b"data: "):
                self.rounds += 1
        connection.close()


class Busy(threading.Thread):
    """A client that asks for the board's labels without pause."""

    def __init__(self, server, done):
        super().__init__(daemon=True)
        self.server, self.done, self.answers = server, done, 0

    def run(self):
        while not self.done.is_set():
            try:
                connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
                connection.request("GET", f"/api/board?token={self.server.token}")
                connection.getresponse().read()
                connection.close()
                self.answers += 1
            except OSError:
                time.sleep(0.05)


def page_rate(browser, seconds=SAMPLE_S):
    """The rounds a second the board's own page reports (the sampler's)."""
    rates = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(1)
        rates.append(browser.execute_script("return window.boardPage.last && window.boardPage.last.rate") or 0)
    return statistics.median(rates)


def rounds_per_second(browser, streams):
    """Rounds a second each page received: the browser's, then each stream's."""
    def counts():
        return [browser.execute_script("return window.boardPage.rounds")] + [s.rounds for s in streams]
    before = counts()
    time.sleep(SAMPLE_S)
    return [(after - b) / SAMPLE_S for after, b in zip(counts(), before)]


def delays_ms(changes, sim_started_wall, since_ms):
    """How long after each edge of the blinking input its change showed."""
    delays = []
    for at in changes:
        if at < since_ms:
            continue
        since_start = at / 1000 - sim_started_wall
        edge = int(since_start / HALF_PERIOD_S) * HALF_PERIOD_S
        delays.append((since_start - edge) * 1000)
    return delays


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def page_memory_mib(browser):
    metrics = browser.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return {m["name"]: m["value"] for m in metrics}.get("JSHeapUsedSize", 0) / 2**20


# The page notes when its plot first shows A1 above the middle: the
# emulator's square wave on A1 (0 / 1023) flips every HALF_PERIOD_S.
_WATCH_PLOT = """
window.plotEdges = [];
let high = null;
setInterval(() => {
  const plot = window.boardPage.plot;
  if (!plot || !plot.data[2].length) return;
  const value = plot.data[2][plot.data[2].length - 1];
  const now = value !== null && value > 2.5;
  if (high !== null && now !== high) window.plotEdges.push(performance.timeOrigin + performance.now());
  high = now;
}, 5);
"""


def main():
    library = os.environ["ARDUINODRV_TEST_BOARD_LIBRARY"]
    devices = os.environ["ARDUINODRV_WEB_DEVICES"]
    boardsim = os.environ["ARDUINODRV_TEST_BOARDSIM"]
    minutes = float(os.environ.get("WEB_BENCH_MINUTES", "10"))
    with tempfile.TemporaryDirectory() as scratch:
        sim = Emulator(boardsim, devices, Path(scratch) / "traffic.log", "--pace", "--analog=0=512",
                       f"--analog=1=ramp:0:1023:{2 * HALF_PERIOD_S:g}s",
                       f"--digital=2=square:{2 * HALF_PERIOD_S:g}s")
        sim_started_wall = time.time() - (time.monotonic() - sim.started)
        server = browser = None
        streams = []
        try:
            server = Server(library, "--port", str(sim.link))
            browser = chromium(Path(scratch) / "profile")
            browser.execute_cdp_cmd("Performance.enable", {})
            browser.get(server.url)
            wait_for(lambda: browser.execute_script("return document.querySelector('#status').dataset.state")
                     == "answers", 20, "the page's first answer")
            browser.execute_script(_WATCH_PLOT)
            one = rounds_per_second(browser, streams)[0]
            for _ in range(9):
                streams.append(Stream(server))
                streams[-1].start()
            time.sleep(2)
            ten = rounds_per_second(browser, streams)
            print(f"rounds/s (all ten inputs each): one page {one:.1f}; ten pages {statistics.mean(ten):.1f} a page "
                  f"(lowest {min(ten):.1f})")
            cpu_before, started = server.cpu_s(), time.monotonic()
            memory, page_memory = [server.memory_kb()], [page_memory_mib(browser)]
            since_ms = time.time() * 1000
            while time.monotonic() - started < minutes * 60:
                time.sleep(min(30.0, minutes * 60))
                memory.append(server.memory_kb())
                page_memory.append(page_memory_mib(browser))
            cpu = (server.cpu_s() - cpu_before) / (time.monotonic() - started)
            lamp = [c["at"] for c in browser.execute_script("return window.boardPage.lampChanges")
                    if c["channel"] == 0 and c["level"] != "unknown"]
            for what, changes in (("lamp", lamp), ("plot", browser.execute_script("return window.plotEdges"))):
                delays = delays_ms(changes, sim_started_wall, since_ms)
                if delays:
                    print(f"input change to its {what}: median {statistics.median(delays):.0f} ms, "
                          f"p90 {percentile(delays, 0.9):.0f} ms ({len(delays)} changes)")
            print(f"server over {minutes:g} min with ten pages: CPU {100 * cpu:.1f} % of a core, "
                  f"memory {memory[0] / 1024:.1f} MiB at start, {max(memory) / 1024:.1f} MiB at most, "
                  f"{memory[-1] / 1024:.1f} MiB at end")
            print(f"the page's JavaScript heap: {page_memory[0]:.1f} MiB at start, {max(page_memory):.1f} MiB at "
                  f"most, {page_memory[-1]:.1f} MiB at end")
            for stream in streams:
                stream.done.set()
            load(server, browser)
        finally:
            for stream in streams:
                stream.done.set()
            if browser is not None:
                browser.quit()
            if server is not None:
                server.stop()
            sim.stop()


def load(server, browser):
    """Half-open connections and busy clients: the sampler's rate and a real
    page's answer time meanwhile."""
    calm = page_rate(browser, 10)
    held = []
    try:
        for _ in range(HALF_OPEN):
            try:
                held.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            except OSError:
                break
        started = time.monotonic()
        status = None
        try:
            connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=15)
            connection.request("GET", f"/api/board?token={server.token}")
            status = connection.getresponse().status
        except OSError as error:
            status = error
        answer_ms = (time.monotonic() - started) * 1000
        half_open_rate = page_rate(browser, 10)
    finally:
        for connection in held:
            connection.close()
    time.sleep(2)
    done = threading.Event()
    busy = [Busy(server, done) for _ in range(BUSY_CLIENTS)]
    for client in busy:
        client.start()
    try:
        busy_rate = page_rate(browser, 15)
    finally:
        done.set()
    answers = sum(client.answers for client in busy)
    print(f"sampler rounds/s: {calm:.1f} calm; {half_open_rate:.1f} with {len(held)} half-open connections (a "
          f"new request then: {status} in {answer_ms:.0f} ms); {busy_rate:.1f} with {BUSY_CLIENTS} busy clients "
          f"({answers / 15:.0f} answers/s)")


if __name__ == "__main__":
    main()
