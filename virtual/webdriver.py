"""A small W3C WebDriver client for headless Chromium (Python 3 standard
library only): enough to open a page, find elements, click, type, read
texts, run scripts and take screenshots.

    with Browser() as browser:                  # chromedriver + headless chromium
        browser.get("http://127.0.0.1:8000/")
        browser.find("#card-input").send_keys("A1B2C3D4E5F6")
        browser.find("#card-present").click()
        row = browser.wait_until(lambda: browser.find_all("#decisions tbody tr"))
        browser.screenshot("page.png")

Browser() starts /usr/bin/chromedriver on a free port and a session with a
fresh Chromium profile in a temporary folder; quit() (also on leaving the
with block, and when starting fails half way) ends the session, stops
chromedriver and removes the profile.  Waits poll a condition until it holds
or its time is up; nothing sleeps for a fixed time.

As a program it takes a screenshot of one page:

    python3 virtual/webdriver.py URL [FILE.png]
"""

import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
ARGUMENTS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync"]
WINDOW = (1400, 1000)
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"  # the key of an element reference
START_TIMEOUT = 30.0
COMMAND_TIMEOUT = 60.0

# Requests to chromedriver and to the page under test go to 127.0.0.1:
# never through a proxy the environment may name.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class WebDriverError(Exception):
    """A command chromedriver refused; `error` is the W3C error code
    ("no such element", "stale element reference", ...)."""

    def __init__(self, error, message):
        super().__init__("%s: %s" % (error, message))
        self.error = error
        self.message = message


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(method, url, body=None, timeout=COMMAND_TIMEOUT):
    """(status, body bytes) of one HTTP request; a JSON value as `body` is sent as JSON."""
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json; charset=utf-8")
    try:
        with _opener.open(request, timeout=timeout) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.read()


def wait_until(predicate, timeout=10.0, interval=0.05, message="condition", ignore=()):
    """Polls `predicate` until it returns something true, which is returned.
    Exceptions of the types in `ignore` count as "not yet".  When the time
    is up, TimeoutError names `message` and the last value or exception."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = predicate()
            last = repr(value)
            if value:
                return value
        except ignore as error:  # noqa: B030 (a tuple of types)
            last = "%s: %s" % (type(error).__name__, error)
        if time.monotonic() >= deadline:
            raise TimeoutError("%s not reached within %.1f s (last: %s)" % (message, timeout, last))
        time.sleep(interval)


class Element:
    """An element of the page, as a WebDriver reference."""

    def __init__(self, browser, reference):
        self.browser = browser
        self.id = reference

    def _command(self, method, what, body=None):
        return self.browser.command(method, "element/%s/%s" % (self.id, what), body)

    def find(self, css):
        return self.browser._element(self._command("POST", "element",
                                                   {"using": "css selector", "value": css}))

    def find_all(self, css):
        found = self._command("POST", "elements", {"using": "css selector", "value": css})
        return [self.browser._element(e) for e in found]

    def click(self):
        self._command("POST", "click", {})

    def clear(self):
        self._command("POST", "clear", {})

    def send_keys(self, text):
        self._command("POST", "value", {"text": str(text)})

    @property
    def text(self):
        """The rendered text (what a reader sees; empty when hidden)."""
        return self._command("GET", "text")

    def attribute(self, name):
        return self._command("GET", "attribute/" + name)

    def property(self, name):
        return self._command("GET", "property/" + name)

    def displayed(self):
        return self._command("GET", "displayed")

    def __repr__(self):
        return "<Element %s>" % self.id


class Browser:
    """Headless Chromium driven through chromedriver (see the module text)."""

    def __init__(self, chromedriver=CHROMEDRIVER, chromium=CHROMIUM, window=WINDOW,
                 arguments=ARGUMENTS, log=None):
        self.session = None
        self.driver = None
        self.profile = tempfile.mkdtemp(prefix="tq8-chromium-")
        self.log_path = log or os.path.join(self.profile, "chromedriver.log")
        try:
            self._start_driver(chromedriver)
            capabilities = {"browserName": "chrome", "goog:chromeOptions": {
                "binary": chromium,
                "args": [*arguments, "--user-data-dir=" + os.path.join(self.profile, "data"),
                         "--window-size=%d,%d" % window]}}
            status, reply = http("POST", self.base + "/session",
                                 {"capabilities": {"alwaysMatch": capabilities}},
                                 timeout=START_TIMEOUT * 2)
            value = self._value(status, reply)
            self.session = value["sessionId"]
            self.command("POST", "window/rect", {"width": window[0], "height": window[1]})
        except BaseException as error:
            detail = self.driver_log()
            self.quit()
            if isinstance(error, Exception):
                raise RuntimeError("the browser did not start: %s\nchromedriver log (end):\n%s"
                                   % (error, detail or "(empty)")) from error
            raise

    def _start_driver(self, chromedriver):
        # A port found free can be taken before chromedriver binds it: try
        # another one when chromedriver exits at once.
        for _ in range(3):
            self.port = free_port()
            self.base = "http://127.0.0.1:%d" % self.port
            with open(self.log_path, "ab") as log:
                self.driver = subprocess.Popen(
                    [chromedriver, "--port=%d" % self.port], stdin=subprocess.DEVNULL,
                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

            def ready():
                if self.driver.poll() is not None:
                    return "exited"
                try:
                    status, reply = http("GET", self.base + "/status", timeout=2)
                except OSError:
                    return None
                ready = status == 200 and json.loads(reply)["value"].get("ready")
                return "ready" if ready else None

            if wait_until(ready, START_TIMEOUT, message="chromedriver ready") == "ready":
                return
            self.driver.wait()
            self.driver = None
        raise RuntimeError("chromedriver did not start (exit status, see its log)")

    def driver_log(self, lines=30):
        try:
            with open(self.log_path, "rb") as log:
                return b"".join(log.readlines()[-lines:]).decode("utf-8", "replace")
        except OSError:
            return ""

    @staticmethod
    def _value(status, reply):
        try:
            value = json.loads(reply.decode("utf-8"))["value"]
        except (ValueError, KeyError, TypeError, UnicodeDecodeError):
            raise WebDriverError("bad reply", "HTTP %d: %r" % (status, reply[:200]))
        if status != 200 or (isinstance(value, dict) and "error" in value):
            value = value if isinstance(value, dict) else {}
            raise WebDriverError(value.get("error", "HTTP %d" % status), value.get("message", ""))
        return value

    def command(self, method, path, body=None):
        """The value of one command of this session (path relative to it)."""
        if self.session is None:
            raise WebDriverError("invalid session id", "the browser has quit")
        url = "%s/session/%s/%s" % (self.base, self.session, path)
        return self._value(*http(method, url, body))

    def _element(self, value):
        return Element(self, value[ELEMENT])

    # --- the page ---

    def get(self, url):
        self.command("POST", "url", {"url": url})

    @property
    def url(self):
        return self.command("GET", "url")

    @property
    def title(self):
        return self.command("GET", "title")

    def find(self, css):
        """The first element matching `css`; WebDriverError "no such element" when none does."""
        return self._element(self.command("POST", "element",
                                          {"using": "css selector", "value": css}))

    def find_all(self, css):
        return [self._element(e) for e in
                self.command("POST", "elements", {"using": "css selector", "value": css})]

    def execute(self, script, *args):
        """Runs `script` (a function body; `arguments` holds args) in the page; its return value."""
        return self.command("POST", "execute/sync", {"script": script, "args": list(args)})

    def screenshot(self, path):
        """Saves what the window shows as a PNG file; returns the path."""
        data = base64.b64decode(self.command("GET", "screenshot"))
        with open(path, "wb") as out:
            out.write(data)
        return path

    def wait_until(self, predicate, timeout=10.0, message="condition", interval=0.05):
        """wait_until() that counts elements not there yet or replaced meanwhile as "not yet"."""
        def attempt():
            try:
                return predicate()
            except WebDriverError as error:
                if error.error in ("no such element", "stale element reference"):
                    return None
                raise
        return wait_until(attempt, timeout, interval, message)

    # --- the end ---

    def quit(self):
        """Ends the session, stops chromedriver and removes the profile; safe to call twice."""
        if self.session is not None:
            try:
                http("DELETE", "%s/session/%s" % (self.base, self.session), timeout=20)
            except OSError:
                pass
            self.session = None
        if self.driver is not None:
            if self.driver.poll() is None:
                self.driver.terminate()
                try:
                    self.driver.wait(10)
                except subprocess.TimeoutExpired:
                    self.driver.kill()
                    self.driver.wait()
            # A browser left behind by a session that could not be ended is
            # in chromedriver's process group.
            try:
                os.killpg(self.driver.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.driver = None
        if self.profile is not None:
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.quit()


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: webdriver.py URL [FILE.png]", file=sys.stderr)
        return 2
    path = argv[2] if len(argv) == 3 else "page.png"
    with Browser() as browser:
        browser.get(argv[1])
        browser.wait_until(lambda: browser.execute("return document.readyState") == "complete",
                           message="page loaded")
        print(browser.screenshot(path), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
