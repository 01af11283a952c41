"""Set-up shared by the board page's tests and its benchmark: the emulator on
a device folder, the page's server, and a headless Chromium."""

import ctypes
import os
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PACKAGE_FOLDER = Path(__file__).resolve().parent.parent
URL_LINE = "The board page: "


def _end_with_parent():
    # Should the test process die without its finalizers, these go too
    # instead of holding the device folder's link or the port.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _stop(process, timeout=10):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Emulator:
    """boardsim linked as devices/ttyUSB0, logging every command."""

    def __init__(self, program, devices, log, *options):
        self.link = Path(devices) / "ttyUSB0"
        self.log = Path(log)
        command = [program, "--link", str(self.link), "--log", str(self.log), "--quiet", *options]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=_end_with_parent)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        if not ready or not self.process.stdout.readline():
            self.stop()
            raise RuntimeError("boardsim did not start: " + self.process.stderr.read().decode(errors="replace"))
        # Its clock starts when its first line is out: the time its square
        # waves count from, near enough for a delay in milliseconds.
        self.started = time.monotonic()

    def log_has(self, text, timeout_s=5.0):
        deadline = time.monotonic() + timeout_s
        while True:
            if text in self.log.read_text(errors="replace"):
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)

    def stop(self):
        _stop(self.process)
        self.process.stdout.close()
        self.process.stderr.close()


class Server:
    """python3 -m arduinodrv --library LIBRARY serve, until stop(); its token
    kept in token_file (by default a file of its own, never the user's)."""

    def __init__(self, library, *options, wait_for_url=True, token_file=None, package_folder=PACKAGE_FOLDER):
        environment = dict(os.environ, PYTHONPATH=str(package_folder), PYTHONUNBUFFERED="1")
        self._scratch = None
        if token_file is None:
            self._scratch = tempfile.mkdtemp(prefix="serve-")
            token_file = Path(self._scratch) / "token"
        self.token_file = Path(token_file)
        command = [sys.executable, "-m", "arduinodrv", "--library", str(library), "serve", "--http-port", "0",
                   "--token-file", str(token_file), *options]
        # From the package's folder: python -m takes the working folder first.
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        cwd=package_folder,
                                        env=environment, preexec_fn=_end_with_parent)
        self.url = ""
        if wait_for_url:
            self.url = self._read_url()
        base, _, token = self.url.partition("/?token=")
        self.base, self.token = base, token
        self.port = int(base.rsplit(":", 1)[1]) if base else 0

    def _read_url(self, timeout_s=20.0):
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            line = self.process.stdout.readline() if ready else ""
            if line.startswith(URL_LINE):
                return line[len(URL_LINE):].strip()
            if not line and self.process.poll() is not None:
                break
        self.stop()
        raise RuntimeError("serve printed no address: " + self.process.stderr.read())

    def finish(self, timeout_s=20.0):
        """Waits for a server that ends by itself: (status, stderr)."""
        try:
            self.process.wait(timeout=timeout_s)
        finally:
            _stop(self.process)
        errors = self.process.stderr.read()
        self.stop()
        return self.process.returncode, errors

    def memory_kb(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def cpu_s(self):
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        _stop(self.process)
        for stream in (self.process.stdout, self.process.stderr):
            if not stream.closed:
                stream.close()
        if self._scratch is not None:
            shutil.rmtree(self._scratch, ignore_errors=True)


def chromium(profile, downloads=None):
    """A headless Chromium through chromedriver, on loopback only; fit to run
    as root in a container."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1280,1000"):
        options.add_argument(flag)
    if downloads is not None:
        options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                                  "download.prompt_for_download": False})
    # The sanitizer's runtime, preloaded for the library under test, is not the browser's.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=environment), options=options)


def wait_for(condition, timeout_s=10.0, what="the page"):
    """condition's first true value within timeout_s; AssertionError after."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout_s} s")
        time.sleep(0.05)
