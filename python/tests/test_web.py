"""The board page (python3 -m arduinodrv serve) in a real headless Chromium,
against the board emulator; and its server refusing hostile requests."""

import asyncio
import csv
import http.client
import json
import os
import pty
import shutil
import socket
import time
from datetime import datetime
from pathlib import Path

import pytest

from test_web_helpers import Emulator, Server, chromium, wait_for

pytest.importorskip("selenium")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

from arduinodrv.web.server import CLIENT_BACKLOG, Client  # noqa: E402

# What the emulated board reads: analog channel -> raw, digital pin -> level.
ANALOG = {0: 512, 1: 0, 2: 1023, 3: 256, 4: 100, 5: 1000}
SQUARE_PIN_PERIOD = "2s"  # digital input 0 (pin 2) blinks; input 1 (pin 4) stays high


def _setting(name):
    value = os.environ.get(name)
    if not value:
        pytest.skip(f"{name} is not set (ctest sets it)")
    return value


@pytest.fixture(scope="module")
def setting():
    return {"library": _setting("ARDUINODRV_TEST_BOARD_LIBRARY"), "devices": Path(_setting("ARDUINODRV_WEB_DEVICES")),
            "boardsim": _setting("ARDUINODRV_TEST_BOARDSIM"), "output": Path(_setting("ARDUINODRV_WEB_OUTPUT"))}


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    return tmp_path_factory.mktemp("downloads")


@pytest.fixture(scope="module")
def browser(tmp_path_factory, downloads, setting):  # skipped, without a browser, where ctest set nothing
    driver = chromium(tmp_path_factory.mktemp("profile"), downloads)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def live(setting, tmp_path_factory):
    """The emulator at a real line's pace and a server on it."""
    sim = Emulator(setting["boardsim"], setting["devices"], tmp_path_factory.mktemp("sim") / "traffic.log", "--pace",
                   *[f"--analog={c}={raw}" for c, raw in ANALOG.items()],
                   f"--digital=2=square:{SQUARE_PIN_PERIOD}", "--digital=4=1")
    try:
        server = Server(setting["library"], "--port", str(sim.link))
        yield sim, server
        server.stop()
    finally:
        sim.stop()


def css(browser, selector):
    return browser.find_element(By.CSS_SELECTOR, selector)


def attribute(browser, selector, name):
    """The attribute of the element, None while the page has not built it."""
    found = browser.find_elements(By.CSS_SELECTOR, selector)
    return found[0].get_attribute(name) if found else None


def open_page(browser, server, state):
    browser.get(server.url)
    wait_for(lambda: attribute(browser, "#status", "data-state") == state, 15, f"the status {state}")
    return css(browser, "#status").text


def request(server, method, path, body=None, headers=None, host=None):
    """(status, decoded JSON or None) of one request to server."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        connection.putheader("Host", host or f"127.0.0.1:{server.port}")
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        if body is not None and "Content-Length" not in (headers or {}):
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        data = response.read()
        is_json = response.getheader("Content-Type") == "application/json"
        return response.status, json.loads(data) if is_json else None
    finally:
        connection.close()


def post_output(server, value, token=None, **headers):
    body = json.dumps(value).encode() if not isinstance(value, bytes) else value
    sent = {"Content-Type": "application/json", "X-Board-Token": server.token if token is None else token}
    sent.update(headers)
    return request(server, "POST", "/api/output", body, {k: v for k, v in sent.items() if v})


def test_page_shows_every_input_live_with_its_name(browser, live, setting):
    sim, server = live
    status = open_page(browser, server, "answers")
    assert "dev/ttyUSB0: the board answers" in status
    wait_for(lambda: "rounds/s" in css(browser, "#rate").text, 5, "the rate in rounds a second")
    assert not css(browser, "#restart").is_displayed()
    for channel, raw in ANALOG.items():
        card = f'#analog figure[data-channel="{channel}"]'
        assert css(browser, f"{card} .label").text == f"Analog input {channel} (A{channel})"
        assert css(browser, f"{card} .raw").text == f"raw {raw}"
        assert float(css(browser, f"{card} .volts").text.split()[0]) == pytest.approx(raw * 5 / 1024, abs=0.001)
    lamp = '#digital [data-channel="{}"]'
    assert css(browser, lamp.format(1)).get_attribute("data-level") == "1"
    assert css(browser, lamp.format(3)).text.startswith("Digital input 3 (pin 8)")
    # The lamp of the blinking input follows it both ways.
    first = css(browser, lamp.format(0)).get_attribute("data-level")
    wait_for(lambda: css(browser, lamp.format(0)).get_attribute("data-level") != first, 5, "the lamp's change")
    wait_for(lambda: css(browser, lamp.format(0)).get_attribute("data-level") == first, 5, "the lamp's change back")
    # Some of the plot's minute, for the picture.
    time.sleep(2)
    browser.save_screenshot(str(setting["output"] / "board-page.png"))


def test_slider_and_switch_reach_the_board_from_the_keyboard(browser, live):
    sim, server = live
    open_page(browser, server, "answers")
    slider = css(browser, '#pwm [data-channel="1"] input')
    slider.send_keys(Keys.END)
    assert sim.log_has("SA5255")
    wait_for(lambda: css(browser, '#pwm [data-channel="1"] .readback').text == "the board holds 255")
    assert css(browser, '#pwm [data-channel="1"] .volts').text == "5.00 V"
    switch = css(browser, '#switches [data-channel="3"] input')
    switch.send_keys(Keys.SPACE)
    assert sim.log_has("SBD1")
    wait_for(lambda: css(browser, '#switches [data-channel="3"] .readback').text == "the board holds it on")
    switch.send_keys(Keys.SPACE)
    assert sim.log_has("SBD0")
    # Another page opened now shows what the first set.
    browser.refresh()
    wait_for(lambda: attribute(browser, '#pwm [data-channel="1"] input', "value") == "255")


def test_recording_downloads_as_csv(browser, live, downloads):
    sim, server = live
    open_page(browser, server, "answers")
    css(browser, "#record").click()
    time.sleep(2)
    css(browser, "#record").click()
    assert css(browser, "#record-state").text.startswith("Recorded ")
    css(browser, "#download").click()
    saved = wait_for(lambda: [p for p in downloads.glob("board-*.csv")], 10, "the download")
    with open(saved[0], newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["time", "time_s"] + [f"{f} {c}" for c in range(6) for f in ("ead", "ea")] + \
        [f"eb {c}" for c in range(4)]
    assert saved[0].name.startswith(time.strftime("board-%Y-%m-%d_"))  # named by the local time
    samples = rows[1:]
    assert len(samples) >= 5  # a round takes about 60 ms at the line's pace
    times = [float(row[1]) for row in samples]
    assert times[0] == 0 and times == sorted(times) and times[-1] > 1
    first = datetime.fromisoformat(samples[0][0])  # local, with its offset
    assert first.utcoffset() == datetime.now().astimezone().utcoffset()
    assert abs(first.timestamp() - time.time()) < 60
    for row in samples:
        assert [int(v) for v in row[3:14:2]] == list(ANALOG.values())
        assert [float(v) for v in row[2:14:2]] == [raw * 5 / 1024 for raw in ANALOG.values()]
        assert row[15] == "1" and row[14] in ("0", "1")


def test_a_second_server_on_the_same_board_names_the_first(live, setting):
    _, first = live
    second = Server(setting["library"], "--port", str(live[0].link), wait_for_url=False)
    status, errors = second.finish()
    assert status == 1
    assert f"held by pid {first.process.pid} (" in errors and "serve" in errors


def test_hostile_requests_get_4xx_and_the_board_is_not_touched(live):
    sim, server = live
    good = {"kind": "sa", "channel": 0, "value": 9}
    refused = [
        (post_output(server, good, token="-"), 403),
        (post_output(server, good, token="wrong"), 403),
        (post_output(server, good, Origin="http://elsewhere.example"), 403),
        (post_output(server, good, **{"Sec-Fetch-Site": "cross-site"}), 403),
        (post_output(server, b"x" * 5000), 413),
        (post_output(server, b"{not json"), 400),
        (post_output(server, b"\xff\xfe"), 400),
        (post_output(server, [1, 2]), 400),
        (post_output(server, dict(good, extra=1)), 400),
        (post_output(server, dict(good, kind="ea")), 400),
        (post_output(server, dict(good, channel=4)), 400),
        (post_output(server, dict(good, channel=-1)), 400),
        (post_output(server, dict(good, value=256)), 400),
        (post_output(server, dict(good, value=9.0)), 400),
        (post_output(server, dict(good, value=True)), 400),
        (post_output(server, dict(good, kind="sb", value=2)), 400),
        (post_output(server, good, **{"Content-Type": "text/plain"}), 415),
        (request(server, "POST", "/api/output", None, {"X-Board-Token": server.token}), 411),
        (request(server, "POST", "/api/output", b"{}", {"X-Board-Token": server.token, "Content-Length": "x"}), 400),
        (request(server, "POST", "/api/output", b"{}", {"X-Board-Token": server.token, "Content-Length": "\u00b2"}),
         400),
        (request(server, "GET", "/", headers={"X-Long": "x" * 9000}), 431),
        (request(server, "POST", "/api/pace", b'{"interval_ms": 7}',
                 {"X-Board-Token": server.token, "Content-Type": "application/json"}), 400),
        (request(server, "POST", "/api/pace", b'{"interval_ms": 100}', {"Content-Type": "application/json"}), 403),
        (request(server, "GET", "/api/board"), 403),
        (request(server, "GET", "/api/events?token=wrong"), 403),
        (request(server, "GET", f"/api/board?token={server.token}", host="rebound.example"), 403),
        (request(server, "GET", "/../../etc/passwd"), 404),
        (request(server, "GET", "/page/../__init__.py"), 404),
        (request(server, "GET", "/page/..%2f__init__.py"), 404),
        (request(server, "GET", "/page/.page.js"), 404),
        (request(server, "GET", "/page/sampler.py"), 404),
        (request(server, "DELETE", "/api/output"), 405),
    ]
    for number, ((status, answer), expected) in enumerate(refused):
        assert (number, status) == (number, expected)
        assert answer and answer["error"]
    assert not sim.log_has("SA39", timeout_s=0.5)
    # The same request with its token and origin is taken.
    status, answer = post_output(server, good, Origin=f"http://127.0.0.1:{server.port}")
    assert status == 200 and answer["readback"] == 9
    assert sim.log_has("SA39")


def test_a_stalled_page_keeps_only_a_bounded_backlog():
    async def offered():
        client = Client()
        for n in range(10 * CLIENT_BACKLOG):
            client.offer(f"data: {n}\n\n".encode())
        return client, client.take()
    client, taken = asyncio.run(offered())
    assert len(taken) == CLIENT_BACKLOG and client.dropped == 9 * CLIENT_BACKLOG
    assert taken[-1] == f"data: {10 * CLIENT_BACKLOG - 1}\n\n".encode()


@pytest.fixture
def no_board_linked(setting):
    link = setting["devices"] / "ttyUSB0"
    if link.is_symlink() or link.exists():
        link.unlink()
    yield link
    if link.is_symlink():
        link.unlink()


@pytest.mark.parametrize("library, shown", [(None, "no board: {link}: No such file or directory"),
                                            ("/nonexistent/libarduinoboard.so.1", "no library:")])
def test_a_missing_board_or_library_is_shown_as_such(browser, setting, no_board_linked, library, shown):
    server = Server(library or setting["library"], "--port", str(no_board_linked))
    try:
        status = open_page(browser, server, "missing")
        assert shown.format(link=no_board_linked) in status
        assert all(e.text == "—" for e in browser.find_elements(By.CSS_SELECTOR, "#analog .volts"))
        lamps = browser.find_elements(By.CSS_SELECTOR, "#digital .lamp")
        assert len(lamps) == 4 and all(e.get_attribute("data-level") == "unknown" for e in lamps)
    finally:
        server.stop()


def test_a_board_plugged_in_later_is_opened_and_its_restart_said(browser, setting, tmp_path):
    def emulator():
        return Emulator(setting["boardsim"], tmp_path, tmp_path / "traffic.log", "--analog=0=300")

    server = Server(setting["library"], "--port", str(tmp_path / "ttyUSB0"))
    sim = None
    switch = '#switches [data-channel="2"]'
    try:
        open_page(browser, server, "missing")
        sim = emulator()
        wait_for(lambda: attribute(browser, "#status", "data-state") == "answers", 15, "the board's answers")
        css(browser, f"{switch} input").send_keys(Keys.SPACE)
        wait_for(lambda: css(browser, f"{switch} .readback").text == "the board holds it on")
        sim.stop()  # unplugged
        wait_for(lambda: attribute(browser, "#status", "data-state") == "missing", 10, "the board gone")
        sim = emulator()  # plugged in again: it restarts, every output off
        wait_for(lambda: attribute(browser, "#status", "data-state") == "answers", 15, "the board back")
        wait_for(lambda: css(browser, f"{switch} .readback").text == "the board holds it off")
        assert not css(browser, f"{switch} input").is_selected()
        assert css(browser, "#restart").text.startswith("The board restarted at ")
        assert "every output went off" in css(browser, "#restart").text
    finally:
        server.stop()
        if sim is not None:
            sim.stop()


def test_a_silent_board_is_shown_as_silent_not_as_zeros(browser, setting, no_board_linked):
    master, slave = pty.openpty()
    device = os.ttyname(slave)
    os.close(slave)  # held by none but the server: the master alone keeps it
    server = Server(setting["library"], "--port", device)
    try:
        status = open_page(browser, server, "silent")
        assert f"{device}: no answer from the board" in status
        assert all(e.text == "—" for e in browser.find_elements(By.CSS_SELECTOR, "#analog .volts"))
    finally:
        server.stop()
        os.close(master)


def test_a_non_loopback_listener_wants_the_token(setting, no_board_linked):
    server = Server(setting["library"], "--port", str(no_board_linked), "--listen", "0.0.0.0")
    try:
        good = {"kind": "sb", "channel": 0, "value": 1}
        assert post_output(server, good, token="-")[0] == 403
        # Any name may reach it, with the token.
        status, answer = request(server, "GET", f"/api/board?token={server.token}", host="board.lab:1")
        assert status == 200 and answer["labels"]["digital_out"][0] == "Digital output 0 (pin 10)"
        # Taken, and refused for want of a board alone.
        status, answer = post_output(server, good)
        assert status == 503 and answer["error"].startswith("no board: ")
    finally:
        server.stop()


def test_an_http_port_in_use_is_a_clear_error(setting, no_board_linked):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        started = time.monotonic()
        status, errors = Server(setting["library"], "--port", str(no_board_linked), "--port-http", str(port),
                                wait_for_url=False).finish()
    assert status == 1 and f"port {port} on 127.0.0.1 is already in use" in errors
    assert time.monotonic() - started < 10  # before the board's 2 s start, even


def test_the_plot_pauses_zooms_and_shows_inputs_alone_from_the_keyboard(browser, live):
    sim, server = live
    open_page(browser, server, "answers")
    wait_for(lambda: browser.execute_script("return window.boardPage.drawn"), 5, "the plot's first drawing")
    assert css(browser, "#plot .uplot") and css(browser, "#plot .u-legend").text.count("A") >= 6

    def drawn():
        return browser.execute_script("return window.boardPage.drawn.x")

    def x_span():
        return browser.execute_script("const x = window.boardPage.plot.scales.x; return x.max - x.min")

    def shown():
        return browser.execute_script("return window.boardPage.plot.series.slice(1).map(s => s.show)")

    css(browser, "#pause").send_keys(Keys.SPACE)
    assert css(browser, "#pause").get_attribute("aria-pressed") == "true"
    held = drawn()
    time.sleep(0.5)
    assert drawn() == held  # paused: the plot holds still while rounds come
    css(browser, "#pause").send_keys(Keys.SPACE)
    wait_for(lambda: drawn() != held, 5, "the plot moving again")
    assert x_span() == pytest.approx(60)
    css(browser, "#zoom-in").send_keys(Keys.ENTER)
    assert x_span() == pytest.approx(30) and css(browser, "#pause").get_attribute("aria-pressed") == "true"
    css(browser, "#zoom-reset").send_keys(Keys.ENTER)
    wait_for(lambda: x_span() == pytest.approx(60), 5, "the live window back")
    css(browser, '#analog [data-channel="2"] .alone').send_keys(Keys.ENTER)
    assert shown() == [False, False, True, False, False, False]
    css(browser, '#analog [data-channel="4"] input').send_keys(Keys.SPACE)
    assert shown() == [False, False, True, False, True, False]
    # Autoscale spans the values shown, so a noise of a few counts is no flat line; off, the whole 0-5 V.
    def y_range():
        return browser.execute_script("const y = window.boardPage.plot.scales.y; return [y.min, y.max]")
    css(browser, '#analog [data-channel="0"] .alone').send_keys(Keys.ENTER)
    wait_for(lambda: y_range()[1] - y_range()[0] < 0.05, 5, "the y scale around A0's 2.5 V")
    assert y_range()[0] < 2.5 < y_range()[1]
    css(browser, "#autoscale").send_keys(Keys.SPACE)
    wait_for(lambda: y_range() == [0, 5], 5, "the whole range")


def test_only_the_boards_state_is_announced_dark_mode_and_a_narrow_screen(browser, live):
    sim, server = live
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia",
                            {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    browser.set_window_size(390, 844)
    try:
        open_page(browser, server, "answers")
        # Every change inside a live region is something a screen reader says.
        browser.execute_script("""
            window.announced = [];
            const observer = new MutationObserver((changes) => changes.forEach((c) => window.announced.push(
                (c.target.closest ? c.target : c.target.parentElement).closest('[aria-live]:not([aria-live=off]),'
                + ' [role=status], output')?.id)));
            document.querySelectorAll('[aria-live]:not([aria-live=off]), [role=status], output').forEach(
                (region) => observer.observe(region, {subtree: true, childList: true, characterData: true}));""")
        time.sleep(3)  # some 50 rounds, the blinking input among them
        assert browser.execute_script("return window.announced.filter(Boolean)") == []
        assert browser.execute_script("return window.boardPage.rounds") > 20
        background = browser.execute_script("return getComputedStyle(document.body).backgroundColor")
        assert sum(int(v) for v in background[background.index("(") + 1:-1].split(",")[:3]) < 150, background
        assert browser.execute_script("return document.documentElement.scrollWidth") <= 390
        assert browser.execute_script("return document.querySelector('link[rel=icon]').href").endswith(".svg")
        assert request(server, "GET", "/page/favicon.svg")[0] == 200
    finally:
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        browser.set_window_size(1280, 1000)


def test_a_restarted_server_keeps_its_token_and_the_open_page_carries_on(browser, setting, tmp_path):
    sim = Emulator(setting["boardsim"], setting["devices"], tmp_path / "traffic.log", "--analog=0=300")
    token_file = tmp_path / "state" / "token"
    server = Server(setting["library"], "--port", str(sim.link), "--http-port", "0", token_file=token_file)
    try:
        assert token_file.stat().st_mode & 0o777 == 0o600
        open_page(browser, server, "answers")
        url, token = server.url, server.token
        server.stop()
        wait_for(lambda: attribute(browser, "#status", "data-state") == "lost", 10, "the server gone")
        port = server.port
        server = Server(setting["library"], "--port", str(sim.link), "--http-port", str(port), token_file=token_file)
        assert (server.url, server.token) == (url, token)
        wait_for(lambda: attribute(browser, "#status", "data-state") == "answers", 20, "the page carrying on")
    finally:
        server.stop()
        sim.stop()
    # A token file that others may read, or that holds no token, is refused; a new one only when asked.
    token_file.chmod(0o644)
    status, errors = Server(setting["library"], "--port", "/nonexistent", token_file=token_file,
                            wait_for_url=False).finish()
    assert status == 1 and "may be read by others (mode 0644)" in errors
    token_file.write_text("not a token\n")
    token_file.chmod(0o600)
    status, errors = Server(setting["library"], "--port", "/nonexistent", token_file=token_file,
                            wait_for_url=False).finish()
    assert status == 1 and "holds no token" in errors and token_file.read_text() == "not a token\n"
    renewed = Server(setting["library"], "--port", "/nonexistent", "--new-token", token_file=token_file)
    renewed.stop()
    assert renewed.token != token and token_file.read_text() == renewed.token + "\n"


def test_a_missing_chart_library_is_said_and_the_readings_still_show(browser, setting, no_board_linked, tmp_path):
    # The package alone, without the chart library beside it.
    shutil.copytree(Path(__file__).resolve().parent.parent / "arduinodrv", tmp_path / "arduinodrv",
                    ignore=shutil.ignore_patterns("__pycache__", "vendor"))
    server = Server(setting["library"], "--port", str(no_board_linked), package_folder=tmp_path)
    try:
        open_page(browser, server, "missing")
        assert "chart library (uPlot) is not installed" in css(browser, "#chart-missing").text
        assert len(browser.find_elements(By.CSS_SELECTOR, "#analog .volts")) == 6
    finally:
        server.stop()


def test_idle_and_stalled_connections_do_not_lock_real_pages_out(browser, live):
    sim, server = live
    held = []
    try:
        # Event streams that take nothing: each fills its socket, then stalls.
        for _ in range(70):
            stream = socket.socket()
            stream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stream.connect(("127.0.0.1", server.port))
            stream.sendall(f"GET /api/events?token={server.token} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n\r\n"
                           .encode())
            held.append(stream)
        for _ in range(200):  # half open: more than the server keeps
            held.append(socket.create_connection(("127.0.0.1", server.port)))
        # A real page is served at once all the same: the oldest idle connection makes room.
        started = time.monotonic()
        status, answer = request(server, "GET", f"/api/board?token={server.token}")
        assert status == 200 and answer["labels"] and time.monotonic() - started < 2
        # A new page's stream gets in too, in the room of a stream that stalled
        # (once their buffers are full: some seconds at the rounds' pace).
        browser.get(server.url)
        wait_for(lambda: attribute(browser, "#status", "data-state") == "answers", 40, "the new page's readings")
    finally:
        for connection in held:
            connection.close()
