"""The virtual controllers (virtual/virtual.py) as a user runs them: the real
daemons on emulated boards against the stand-in cloud and access servers,
driven through the JSON API; the load report; what a stop leaves behind.

Run under `unshare -rn` where the machine allows it: the daemons bind UDP
port 9000."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "systest"))

import test_certs  # noqa: E402
import tq8sys  # noqa: E402
from access_server import AccessServer  # noqa: E402
from cloud_server import CloudServer  # noqa: E402

GRANTED = "A1B2C3D4E5F6"
REFUSED = "0102030405FF"


class Virtual:
    """virtual.py started as a process; its API on a free port."""

    def __init__(self, *args):
        self.port = tq8sys.free_port()
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "virtual.py"), "--port", str(self.port),
             "--bin", os.path.dirname(tq8sys.program("mcuemu")), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []
        for line in self.process.stdout:
            self.lines.append(line)
            if " started; " in line:
                break
        else:
            raise AssertionError("virtual.py did not start: %s %s"
                                 % (self.lines, self.process.stderr.read()))
        self.workdir = self.lines[0].rsplit(" ", 1)[1].strip()

    def request(self, method, path, body=None, raw=None):
        """(status, parsed JSON reply)."""
        data = raw if raw is not None else None if body is None else json.dumps(body).encode()
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path),
                                         data=data, method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as reply:
                return reply.status, json.load(reply)
        except urllib.error.HTTPError as error:
            return error.code, json.load(error)

    def get(self, path):
        status, value = self.request("GET", path)
        assert status == 200, (path, status, value)
        return value

    def post(self, path, body):
        return self.request("POST", path, body)

    def wait_for(self, predicate, what, timeout=20):
        def check():
            controllers = self.get("/api/controllers")
            return controllers if predicate(controllers) else None

        value = tq8sys.wait_for(check, timeout)
        if not value:
            raise AssertionError("%s: not within %d s: %s" % (
                what, timeout, json.dumps(self.get("/api/controllers"))[:2000]))
        return value

    def stop(self):
        """SIGINT, as Ctrl-C; the exit status and what it printed after."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=60)
        return self.process.returncode, out, err


def all_in(state):
    return lambda controllers: all(c["state"] == state for c in controllers)


def processes_below(path):
    """Pids of the processes whose command line or environment names `path`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                command += f.read()
        except OSError:
            continue
        if path.encode() in command:
            found.append(int(pid))
    return found


class CloudFleet(unittest.TestCase):
    """Three cloud controllers, online against the stand-in cloud server."""

    @classmethod
    def setUpClass(cls):
        tq8sys.loopback_up()
        cls.server = CloudServer(online=1, interval=1, granted={GRANTED})
        cls.virtual = Virtual("--mode", "cloud", "--server", cls.server.url + "/api",
                              "--count", "3", "--serial-base", "5000")
        cls.virtual.wait_for(all_in("online"), "three controllers online")

    @classmethod
    def tearDownClass(cls):
        cls.virtual.stop()
        cls.server.close()

    def wait_for_record(self, serial, match):
        """Whether a record of the controller's kernel-log tail matches in time."""
        return tq8sys.wait_for(lambda: any(
            match(r) for r in self.virtual.get("/api/controllers/%d" % serial)["kmsg"]))

    def decisions(self, serial):
        return self.virtual.get("/api/controllers/%d" % serial)["decisions"]

    def test_a_card_reaches_the_server_and_its_decision_the_mcu(self):
        self.assertEqual(self.virtual.post("/api/controllers/5001/card",
                                           {"card": GRANTED, "reader": 2}), (200, {"ok": True}))
        self.assertTrue(tq8sys.wait_for(lambda: self.decisions(5001)))
        decision = self.decisions(5001)[-1]
        self.assertEqual((decision["card"], decision["reader"], decision["granted"]),
                         (GRANTED, 2, True))
        self.assertGreaterEqual(decision["ms"], 0)
        asked = [m for m in self.server.messages("check_access") if m.get("card") == GRANTED]
        self.assertTrue(asked)

        # A card at every controller at once; each gets its own refusal.
        before = {c["serial"]: len(c["decisions"]) for c in self.virtual.get("/api/controllers")}
        self.assertEqual(self.virtual.post("/api/cards", {"card": REFUSED, "reader": 1}),
                         (200, {"ok": True, "controllers": 3}))
        controllers = self.virtual.wait_for(
            lambda cs: all(len(c["decisions"]) > before[c["serial"]] for c in cs),
            "a decision at every controller")
        for controller in controllers:
            self.assertEqual({k: controller["decisions"][-1][k] for k in ("card", "reader", "granted")},
                             {"card": REFUSED, "reader": 1, "granted": False})

    def test_an_event_goes_to_the_server_and_the_exchanges_are_recorded(self):
        self.assertEqual(self.virtual.post("/api/controllers/5002/event", {"code": 10})[0], 200)
        self.assertTrue(self.server.wait_for(lambda: any(
            e.get("event") == 10 for m in self.server.messages("events")
            for e in m.get("events") or [])))
        detail = self.virtual.get("/api/controllers/5002")
        self.assertTrue(tq8sys.wait_for(
            lambda: self.virtual.get("/api/controllers/5002")["events_waiting"] == 0))
        exchange = detail["exchange_log"][-1]
        self.assertEqual((exchange["status"], exchange["path"]), (200, "/api"))
        self.assertIn('"sn":5002', exchange["request"])
        self.assertIn('"messages"', exchange["reply"])
        self.assertIn("SET_ACTIVE: 1", detail["kmsg"])

    def test_controls_restart_and_faults(self):
        pid = self.virtual.get("/api/controllers/5000")["pid"]
        self.assertEqual(self.virtual.post("/api/controllers/5000/restart", {})[0], 200)
        self.assertTrue(tq8sys.wait_for(
            lambda: self.virtual.get("/api/controllers/5000")["pid"] != pid))
        self.virtual.wait_for(all_in("online"), "back online after the restart")
        faults = self.virtual.get("/api/fleet")["faults"]
        self.assertIn("noready", faults)
        # The daemon meets the injected fault and puts the clock right again.
        self.assertEqual(self.virtual.post("/api/controllers/5000/fault",
                                           {"kind": "badchecksum", "count": 2})[0], 200)
        self.assertEqual(self.virtual.post("/api/controllers/5000/clock", {"offset": -7200})[0],
                         200)
        self.assertTrue(self.wait_for_record(5000, lambda r: r.startswith("ReadMem error CS")))
        self.assertTrue(self.wait_for_record(
            5000, lambda r: re.fullmatch(r"Time DIFF: -(7199|7200|7201) sec\. Sync Controller Time", r)))

    def test_bad_requests_get_a_clear_error_and_change_nothing(self):
        cases = [
            ("POST", "/api/controllers/5000/card", None, b"{not json", 400),
            ("POST", "/api/controllers/5000/card", None, b"[1, 2]", 400),
            ("POST", "/api/controllers/5000/card", {"reader": 1}, None, 400),
            ("POST", "/api/controllers/5000/card", {"card": "A1B2C3D4E5", "reader": 1}, None, 400),
            ("POST", "/api/controllers/5000/card", {"card": "A1B2C3D4E5GG", "reader": 1}, None, 400),
            ("POST", "/api/controllers/5000/card", {"card": GRANTED, "reader": 3}, None, 400),
            ("POST", "/api/controllers/5000/card", {"card": GRANTED, "reader": "1"}, None, 400),
            ("POST", "/api/controllers/5000/card", {"card": GRANTED, "reader": True}, None, 400),
            ("POST", "/api/cards", {"card": 12, "reader": 1}, None, 400),
            ("POST", "/api/controllers/4999/card", {"card": GRANTED, "reader": 1}, None, 404),
            ("POST", "/api/controllers/5000/explode", {}, None, 404),
            ("POST", "/api/controllers/5000/event", {"code": 0x55}, None, 400),
            ("POST", "/api/controllers/5000/event", {"code": 256}, None, 400),
            ("POST", "/api/controllers/5000/fault", {"kind": "meteor"}, None, 400),
            ("POST", "/api/controllers/5000/fault", {"kind": "noready", "count": 0}, None, 400),
            ("POST", "/api/controllers/5000/clock", {"offset": "soon"}, None, 400),
            ("PUT", "/api/cards", {"card": GRANTED, "reader": 1}, None, 405),
            ("GET", "/api/controllers/99999999999999999999", None, None, 404),
            ("GET", "/../../etc/passwd", None, None, 404),
            ("GET", "/api/nothing", None, None, 404),
        ]
        before = {c["serial"]: len(c["decisions"]) for c in self.virtual.get("/api/controllers")}
        for method, path, body, raw, expected in cases:
            with self.subTest(method=method, path=path, body=body or raw):
                status, reply = self.virtual.request(method, path, body, raw)
                self.assertEqual(status, expected, reply)
                self.assertIsInstance(reply.get("error"), str)
        after = self.virtual.get("/api/controllers")
        self.assertEqual({c["serial"]: len(c["decisions"]) for c in after}, before)


class LoadAndStop(unittest.TestCase):

    def setUp(self):
        tq8sys.loopback_up()
        self.server = CloudServer(online=1, interval=1)
        self.addCleanup(self.server.close)

    def test_load_report_counts_failures_and_fallbacks_and_the_stop_leaves_nothing(self):
        virtual = Virtual("--mode", "cloud", "--server", self.server.url + "/", "--count", "2",
                          "--report", "1", "--json")
        self.addCleanup(virtual.stop)
        virtual.wait_for(all_in("online"), "two controllers online")
        pids = [virtual.get("/api/controllers/%d" % s)["pid"] for s in (100001, 100002)]
        self.assertTrue(processes_below(virtual.workdir))
        # One failed exchange drops an online controller to inactive.
        self.server.fail_status(500, count=2)
        virtual.wait_for(lambda cs: sum(c["failed_exchanges"] for c in cs) == 2, "two failures")
        virtual.wait_for(all_in("online"), "online again after the failures")

        status, out, err = virtual.stop()
        self.assertEqual(status, 0, err)
        report = json.loads(out.strip().splitlines()[-2])
        self.assertGreaterEqual(len(report["intervals"]), 1)
        summary = report["summary"]
        self.assertEqual(summary["failed"], 2)
        self.assertGreaterEqual(summary["fell_back"], 1)
        self.assertGreater(summary["exchanges"], summary["failed"])
        self.assertLessEqual(summary["reply_ms"]["median"], summary["reply_ms"]["worst"])
        self.assertEqual(sum(i["exchanges"] for i in report["intervals"]), summary["exchanges"])

        self.assertFalse(os.path.exists(virtual.workdir))
        self.assertEqual(processes_below(virtual.workdir), [])
        for pid in pids:
            self.assertFalse(os.path.exists("/proc/%d" % pid) and
                             open("/proc/%d/stat" % pid).read().split()[2] != "Z")
        self.assertEqual([n for n in os.listdir("/dev/shm")
                          if n.startswith("tq8-virtual-%d-" % virtual.process.pid)], [])

    def test_refuses_what_it_cannot_run(self):
        for args, text in [
                (["--mode", "online", "--server", "https://127.0.0.1:1", "--count", "2"],
                 "one controller on a machine"),
                (["--mode", "online", "--server", "https://127.0.0.1:1"], "--cert, --key and --ca"),
                (["--mode", "cloud"], "needs --server"),
                (["--mode", "cloud", "--server", "ftp://x/"], "http or https URL"),
                (["--mode", "advanced"], "--listen PORT"),
                (["--mode", "cloud", "--server", "http://x/", "--json"], "--report")]:
            with self.subTest(args=args):
                result = subprocess.run([sys.executable, os.path.join(HERE, "virtual.py"), *args],
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, 2)
                self.assertIn(text, result.stderr)


class OtherModes(unittest.TestCase):

    def setUp(self):
        tq8sys.loopback_up()

    def test_online_mode_asks_the_access_server_through_the_recorder(self):
        scratch = tempfile.mkdtemp(prefix="tq8-virtual-certs-")
        self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        certs = test_certs.make_certs(scratch)
        server = AccessServer(certs, granted={GRANTED}, require_client_cert=True)
        self.addCleanup(server.close)
        virtual = Virtual("--mode", "online", "--server", "https://127.0.0.1:%d" % server.port,
                          "--cert", certs["client"], "--key", certs["client_key"],
                          "--ca", certs["ca"])
        self.addCleanup(virtual.stop)
        virtual.wait_for(all_in("online"), "verifyd online")
        self.assertEqual(virtual.post("/api/controllers/100001/card",
                                      {"card": GRANTED, "reader": 1})[0], 200)
        virtual.wait_for(lambda cs: cs[0]["decisions"], "the decision")
        self.assertTrue(virtual.get("/api/controllers")[0]["decisions"][-1]["granted"])
        self.assertTrue(server.wait_for_operation("check_access"))
        log = virtual.get("/api/controllers/100001")["exchange_log"]
        self.assertTrue(any('"check_access"' in e["request"] and e["status"] == 200 for e in log))
        self.assertEqual(virtual.stop()[0], 0)

    def test_advanced_mode_is_online_while_the_pc_software_is_connected(self):
        port = tq8sys.free_port()
        virtual = Virtual("--mode", "advanced", "--listen", str(port))
        self.addCleanup(virtual.stop)
        virtual.wait_for(all_in("active"), "bridged listening")
        with tq8sys.tcp_connect(port):
            virtual.wait_for(all_in("online"), "the PC software connected")
        virtual.wait_for(all_in("active"), "the PC software gone")


if __name__ == "__main__":
    unittest.main()
