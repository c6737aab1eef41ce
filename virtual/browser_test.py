"""The virtual controllers' page in headless Chromium, against the real
program: cloud controllers with their daemons and a stand-in cloud server
that puts them online and grants one card.  The page must show them online,
open a controller, present cards from its controls and show the decisions
the MCU received, follow what the server does to a controller (key base,
door, door mode), drive its controls, show the API's errors next to the
control, and show server text as text, never as markup.  The WebDriver
client itself is checked against a static page.

Leaves a screenshot of the page in $TQ8_SCREENSHOT (default
virtual-page.png here).  Run under `unshare -rn` where the machine allows
it: the daemons bind UDP port 9000."""

import functools
import http.server
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "systest"))

import standin_http  # noqa: E402
import tq8sys  # noqa: E402
import webdriver  # noqa: E402
from cloud_server import CloudServer  # noqa: E402

CARD = "0A1B2C3D4E5F"
OTHER_CARD = "FFEEDDCCBBAA"
TIMEOUT = 30.0 * tq8sys.SLOWDOWN
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
HAVE_BROWSER = (os.access(webdriver.CHROMIUM, os.X_OK) and
                os.access(webdriver.CHROMEDRIVER, os.X_OK))

# The page's tiles and decision rows as plain values, read in one go so a
# row the page replaces meanwhile cannot go stale between two reads.
TILES = """return [...document.querySelectorAll('#tiles .tile')].map(t => ({
    serial: Number(t.dataset.serial), state: t.dataset.state,
    door: t.querySelector('.t-door').textContent,
    decision: t.querySelector('.t-decision').textContent}));"""
DECISIONS = """return [...document.querySelectorAll('#decisions tbody tr:not(.empty)')].map(
    r => [...r.cells].map(c => c.textContent));"""


def page_answers(url):
    try:
        with _opener.open(url, timeout=2) as reply:
            return reply.status == 200 and b'id="tiles"' in reply.read()
    except (urllib.error.URLError, OSError):
        return False


@unittest.skipUnless(HAVE_BROWSER, "needs Debian's chromium and chromium-driver")
class PageTest(unittest.TestCase):
    """virtual.py with a stand-in cloud server, and the page in a browser."""

    def start(self, count):
        tq8sys.loopback_up()
        self.server = CloudServer(online=1, interval=1, granted={CARD})
        self.addCleanup(self.server.close)
        self.output = tempfile.NamedTemporaryFile(prefix="tq8-virtual-", suffix=".log")
        self.addCleanup(self.output.close)
        self.port = tq8sys.free_port()
        self.url = "http://127.0.0.1:%d/" % self.port
        # The program finds mcuemu and cloudd as the system tests do: the
        # environment's MCUEMU and CLOUDD, else the build's bin folder.
        self.program = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "virtual.py"), "--mode", "cloud",
             "--server", self.server.url + "/api", "--count", str(count), "--port", str(self.port),
             "--bin", os.path.dirname(tq8sys.program("mcuemu"))],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT,
            start_new_session=True)
        self.addCleanup(self.end_program)
        ready = tq8sys.wait_for(lambda: self.program.poll() is not None or page_answers(self.url),
                                TIMEOUT / tq8sys.SLOWDOWN)
        self.assertTrue(ready and self.program.poll() is None,
                        "the page did not answer:\n" + self.printed())
        self.browser = webdriver.Browser()
        self.addCleanup(self.browser.quit)
        self.browser.get(self.url)
        return self.wait(lambda: (lambda t: len(t) == count and
                                  all(x["state"] == "online" for x in t) and t)(
                                      self.browser.execute(TILES)), "every tile online")

    def printed(self):
        with open(self.output.name, errors="replace") as f:
            return f.read()[-4000:]

    def stop(self):
        """Ctrl-C, as a user ends the program: it exits 0 and the page is gone."""
        self.program.send_signal(signal.SIGINT)
        self.assertEqual(self.program.wait(20 * tq8sys.SLOWDOWN), 0, self.printed())
        self.assertFalse(page_answers(self.url))

    def end_program(self):
        """Left running by a failed test: SIGINT, else the whole group killed."""
        if self.program.poll() is None:
            self.program.send_signal(signal.SIGINT)
            try:
                self.program.wait(20 * tq8sys.SLOWDOWN)
            except subprocess.TimeoutExpired:
                os.killpg(self.program.pid, signal.SIGKILL)
                self.program.wait()

    def wait(self, predicate, what):
        try:
            return self.browser.wait_until(predicate, TIMEOUT, message=what)
        except TimeoutError as error:
            self.fail("%s\npage tiles: %s\nprogram said:\n%s"
                      % (error, self.browser.execute(TILES), self.printed()))

    def text(self, css):
        return self.browser.find(css).text

    def type_into(self, css, text):
        field = self.browser.find(css)
        field.clear()
        field.send_keys(text)

    def outcome(self, css):
        """The message next to a control once it has one: (kind, text)."""
        kind = self.wait(lambda: self.browser.find(css).attribute("data-kind"), css + " outcome")
        return kind, self.text(css)

    def open_tile(self, serial):
        self.browser.find('.tile[data-serial="%d"]' % serial).click()
        self.wait(lambda: self.text("#detail-serial") == str(serial), "the detail panel")
        self.wait(lambda: self.text("#detail-state") == "online", "the detail state")

    def decision(self, card):
        rows = [row for row in self.browser.execute(DECISIONS) if card in row]
        return rows[-1] if rows else None

    def test_cards_presented_on_the_page_get_their_decisions(self):
        tiles = self.start(count=2)
        browser = self.browser
        serials = [t["serial"] for t in tiles]
        self.assertEqual(serials, sorted(serials))
        self.assertEqual(self.text("#fleet-count"), "2")

        # A card at the second controller's second reader, typed in lower case.
        self.open_tile(serials[1])
        self.type_into("#card-input", CARD.lower())
        browser.find('#card-reader option[value="2"]').click()
        browser.find("#card-present").click()
        time_, card, reader, granted, ms = self.wait(lambda: self.decision(CARD), "the decision")
        self.assertEqual((card, reader, granted), (CARD, "2", "granted"))
        self.assertRegex(ms, r"^\d+$", "ms from card to decision")
        self.assertRegex(time_, r"^\d\d:\d\d:\d\d$")
        self.assertEqual(browser.find("#card-error").attribute("data-kind"), "ok")
        # The tile follows with its own poll.
        tile_decision = re.compile(r"^%s granted \d+(\.\d)? ms$" % CARD)
        self.wait(lambda: any(t["serial"] == serials[1] and tile_decision.match(t["decision"])
                              for t in browser.execute(TILES)), "the decision on the tile")

        # What the page refuses itself never leaves it; what the API
        # refuses shows its error text next to the control.
        self.type_into("#card-input", "12345")
        browser.find("#card-present").click()
        self.assertEqual(self.outcome("#card-error"), ("error", "a card is 12 hex digits"))
        self.type_into("#event-code", "85")  # 0x55: an extension record, not an event
        browser.find("#event-queue").click()
        kind, text = self.outcome("#event-error")
        self.assertEqual(kind, "error")
        self.assertTrue(text)

        # A card at every controller: refused at both.
        self.type_into("#fleet-card-input", OTHER_CARD)
        browser.find("#fleet-card-present").click()
        self.wait(lambda: all(OTHER_CARD + " refused" in t["decision"]
                              for t in browser.execute(TILES)), "refusals at both tiles")
        self.assertEqual(self.wait(lambda: self.decision(OTHER_CARD), "the refusal")[3], "refused")
        self.assertEqual(browser.find("#fleet-card-error").attribute("data-kind"), "ok")
        self.assertEqual(self.text("#connection"), "")
        self.wait(lambda: int(browser.find("#fleet-chart").attribute("data-points") or 0) > 0,
                  "the fleet's exchange times")

        shot = os.environ.get("TQ8_SCREENSHOT") or os.path.join(os.getcwd(), "virtual-page.png")
        browser.screenshot(shot)
        self.assertGreater(os.path.getsize(shot), 10000)
        self.stop()

    def test_detail_follows_the_server_and_the_controls(self):
        (tile,) = self.start(count=1)
        browser = self.browser
        self.open_tile(tile["serial"])
        self.wait(lambda: self.text("#kmsg") not in ("", "(empty)"), "the kernel log")
        self.wait(lambda: int(browser.find("#detail-chart").attribute("data-points") or 0) > 0,
                  "the controller's exchange times")

        # What the server does to the controller shows in its panel.
        self.server.queue({"operation": "add_cards", "cards": [
                              {"card": "A1B2C3D4E5F6", "flags": 3, "tz": 7},
                              {"card": "0A0B0C0D0E0F", "flags": 1, "tz": 1}]},
                          {"operation": "open_door", "direction": 1},
                          {"operation": "set_mode", "mode": 0x102})
        self.wait(lambda: self.text("#cards").split() == ["A1B2C3D4E5F6", "0A0B0C0D0E0F"],
                  "the key base")
        self.assertEqual(self.text("#cards-count"), "(2)")
        self.wait(lambda: browser.execute(
            "return [...document.querySelectorAll('#doors tbody tr:not(.empty)')]"
            ".map(r => r.cells[1].textContent)") == ["1"], "the door opening")
        self.wait(lambda: self.text("#detail-door-mode") == "2", "the door mode")
        self.wait(lambda: browser.execute(TILES)[0]["door"] == "door 2", "the door mode tile")

        # Server text is shown as text: markup in a reply stays inert.
        markup = '<img src="x" onerror="window.tq8Injected = 1"><b id="injected">bold</b>'
        self.server.queue_reply({"date": standin_http.date_text(None), "interval": 1,
                                 "messages": [], "note": markup})
        self.wait(lambda: browser.execute(
            "return [...document.querySelectorAll('#exchange-log pre')]"
            ".some(p => p.textContent.includes(arguments[0]))", markup.replace('"', '\\"')),
            "the reply in the exchange log")
        self.assertEqual(browser.execute(
            "return [document.querySelectorAll('#detail img, #injected').length,"
            " window.tq8Injected === undefined]"), [0, True])

        # An event of a preset code moves the ring's head; the server
        # confirms it and the tail follows.
        head = int(self.text("#ring-head"))
        browser.find('#event-preset option[value="10"]').click()
        self.assertEqual(browser.find("#event-code").property("value"), "10")
        browser.find("#event-queue").click()
        self.assertEqual(self.outcome("#event-error")[0], "ok")
        self.wait(lambda: int(self.text("#ring-head")) != head, "the ring's head")
        self.wait(lambda: self.text("#ring-tail") == self.text("#ring-head")
                  and self.text("#ring-waiting") == "0", "the events confirmed")

        self.type_into("#clock-offset", "-3600")
        browser.find("#clock-set").click()
        self.assertEqual(self.outcome("#clock-error")[0], "ok")
        kinds = browser.execute("return [...document.querySelectorAll('#fault-kind option')]"
                                ".map(o => o.value)")
        self.assertIn("noready", kinds)
        browser.find('#fault-kind option[value="noready"]').click()
        self.type_into("#fault-count", "0")
        browser.find("#fault-inject").click()
        self.assertEqual(self.outcome("#fault-error"), ("error", "count: at least 1"))
        self.type_into("#fault-count", "1")
        browser.find("#fault-inject").click()
        self.wait(lambda: browser.find("#fault-error").attribute("data-kind") == "ok",
                  "the fault taken")

        # A restarted daemon runs again under another process and comes
        # back online.
        pid = self.text("#detail-pid")
        browser.find("#restart").click()
        self.assertEqual(self.outcome("#restart-error")[0], "ok")
        self.wait(lambda: self.text("#detail-pid") not in (pid, "–")
                  and self.text("#detail-daemon") == "running", "the daemon restarted")
        self.wait(lambda: browser.execute(TILES)[0]["state"] == "online", "online again")
        self.assertEqual(self.text("#detail-error"), "")
        self.stop()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@unittest.skipUnless(HAVE_BROWSER, "needs Debian's chromium and chromium-driver")
class WebDriverTest(unittest.TestCase):
    """The client on a static page: commands, errors, waits and clean-up."""

    def setUp(self):
        tq8sys.loopback_up()
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        with open(os.path.join(folder.name, "index.html"), "w") as f:
            f.write('<!DOCTYPE html><title>static</title><input id="in" value="old">'
                    '<button id="b" onclick="document.getElementById(\'out\').textContent ='
                    ' document.getElementById(\'in\').value">go</button><p id="out"></p>'
                    '<ul><li class="i">one</li><li class="i">two</li></ul>')
        handler = functools.partial(_QuietHandler, directory=folder.name)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(self.httpd.server_close)
        self.addCleanup(self.httpd.shutdown)
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    def test_commands_errors_and_clean_up(self):
        browser = webdriver.Browser()
        profile, driver = browser.profile, browser.driver
        try:
            browser.get(self.url)
            self.assertEqual(browser.title, "static")
            self.assertEqual(browser.execute("return window.innerWidth"), 1400)
            field = browser.find("#in")
            field.clear()
            field.send_keys("typed")
            browser.find("#b").click()
            self.assertEqual(browser.wait_until(lambda: browser.find("#out").text), "typed")
            self.assertEqual([e.text for e in browser.find_all("li.i")], ["one", "two"])
            self.assertEqual(browser.find("ul").find_all(".i")[1].text, "two")
            self.assertEqual(browser.execute("return arguments[0] + 1", 41), 42)
            with self.assertRaises(webdriver.WebDriverError) as refused:
                browser.find("#nothing")
            self.assertEqual(refused.exception.error, "no such element")
            # A wait names what it waited for; a missing element is "not yet".
            with self.assertRaisesRegex(TimeoutError, "the late element"):
                browser.wait_until(lambda: browser.find("#late"), 0.3, message="the late element")
            with tempfile.TemporaryDirectory() as out:
                path = browser.screenshot(os.path.join(out, "page.png"))
                with open(path, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        finally:
            browser.quit()
        self.assertFalse(os.path.exists(profile))
        self.assertIsNotNone(driver.poll(), "chromedriver stopped")
        browser.quit()  # twice is harmless
        with self.assertRaises(webdriver.WebDriverError):
            browser.get(self.url)

    def test_a_browser_that_cannot_start_leaves_nothing_behind(self):
        before = set(os.listdir(tempfile.gettempdir()))
        with self.assertRaisesRegex(RuntimeError, "the browser did not start"):
            webdriver.Browser(chromium="/nonexistent/chromium")
        left = {name for name in set(os.listdir(tempfile.gettempdir())) - before
                if name.startswith("tq8-chromium-")}
        self.assertEqual(left, set())

    def test_wait_until(self):
        values = iter([None, 0, "", "ready"])
        self.assertEqual(webdriver.wait_until(lambda: next(values), 5, interval=0.001), "ready")
        with self.assertRaisesRegex(TimeoutError,
                                    r"the flag not reached .*last: ValueError: invalid literal"):
            webdriver.wait_until(lambda: int("not yet"), 0.1, message="the flag",
                                 ignore=(ValueError,))
        with self.assertRaises(KeyError):  # what is not ignored is raised at once
            webdriver.wait_until(lambda: {}["x"], 5)


if __name__ == "__main__":
    unittest.main()
