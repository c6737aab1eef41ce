"""verifyd as a process, against the emulated MCU and the stand-in access
server: start-up online and offline, cards decided by the server, event
batches and their acknowledge counts, the probe that brings the daemon back
online, the clocks set from the server's "date", the command socket, a
maintenance tool beside the busy daemon, and a server that misbehaves."""

import calendar
import json
import os
import time
import shutil
import signal
import socket
import tempfile
import unittest

import test_certs
import tq8sys
from access_server import AccessServer
from tq8sys import Board, receive, tcp_connect, udp_request

CARD = bytes.fromhex("010203040506")
WIEGAND, DALLAS = 0x0E, 0x06          # GetCtrlParams flags: reader protocol bit 3
COMMAND_PORT = 9999
PROBE_WAIT = 12.0                     # the probe runs every 5 s while offline
STALL_WAIT = 20.0                     # an exchange gives up after 10 s

_CERTS = None


def setUpModule():
    global _CERTS
    _CERTS = tempfile.mkdtemp(prefix="tq8-verifyd-certs-")
    test_certs.make_certs(os.path.join(_CERTS, "good"))


def tearDownModule():
    shutil.rmtree(_CERTS, ignore_errors=True)


def command(request, timeout=5.0):
    """One request on the command socket; the reply bytes."""
    with tcp_connect(COMMAND_PORT) as s:
        s.sendall(request)
        return receive(s, timeout=timeout)


class VerifyBase(unittest.TestCase):
    """One board, one stand-in access server and one verifyd per test."""

    # Seconds the daemon's clock runs ahead of the machine's (None: none).
    clock_shift = None

    def setUp(self):
        self.board = Board(serial=4242, model=0x0642, clock_shift=self.clock_shift)
        self.addCleanup(self.board.close)
        self.addCleanup(lambda: self.assertEqual(self.board.sanitizer_reports(), []))
        self.mcu = self.board.mcu
        self.mcu.set_params(0, WIEGAND)
        self.certs = test_certs.make_certs(os.path.join(_CERTS, "good"))
        test_certs.install(self.certs, self.board.root)
        self.server = AccessServer(self.certs, granted={"010203040506"})
        self.addCleanup(self.server.close)
        self.daemon = None

    def start(self, auth_str=None, tz="UTC0", wait_online=True):
        online = {"SERVER_ADDR": "https://127.0.0.1", "SERVER_PORT": self.server.port}
        if auth_str is not None:
            online["AUTH_STR"] = auth_str
        self.board.write_config({"INFO": {"SERIAL_NUMBER": 123}, "ONLINE": online})
        self.daemon = self.board.start("verifyd", "-i", env=dict(self.board.env, TZ=tz))
        self.assertTrue(self.board.wait_for_record("Start QR \n"), self.board.records())
        if wait_online:
            self.assertIsNotNone(self.server.wait_for_operation("poweron"))
        return self.daemon

    def answers_for(self, reader, card=CARD, count=1, timeout=10.0):
        self.mcu.card(reader, card)
        found = self.mcu.wait_for(lambda: len(self.mcu.answers()) >= count, timeout)
        self.assertTrue(found, self.board.records()[-20:])
        return self.mcu.answers()[count - 1]

    def wait_record(self, text, timeout=tq8sys.DEFAULT_TIMEOUT, count=1):
        self.assertIsNotNone(self.board.wait_for_record(text, timeout, count),
                             "%r not in %r" % (text, self.board.records()[-30:]))


class VerifyTest(VerifyBase):

    # --- start-up ---

    def test_starts_online_in_order_announces_itself_and_stops_on_sigterm(self):
        daemon = self.start()
        self.assertEqual(self.board.records()[:7], [
            "SN=123\n", "GetCtrlParams\n", "Start Online_Daemon as programm\n",
            "ThreadScan created successfully\n", "ThreadCheckServer created successfully\n",
            "ThreadExternalCmd created successfully\n", "Start QR \n"])
        [poweron] = self.server.requests()
        self.assertTrue(poweron.client_cert, "every request carries the client certificate")
        self.assertEqual(poweron.headers[:7], [
            ("Host", "127.0.0.1:%d" % self.server.port), ("User-Agent", "TQ8 HUB"),
            ("Conection", "keep-alive"), ("Accept", "application/json"),
            ("Content-Type", "application/json"), ("charsets", "utf-8"),
            ("Content-Length", str(len(poweron.body)))])
        self.assertEqual(list(poweron.json), ["request_id", "operation", "controller_type",
                                              "controller_sn", "controller_ip", "date"])
        self.assertEqual((poweron.json["operation"], poweron.json["controller_type"],
                          poweron.json["controller_sn"]), ("poweron", "TQ8HUB", 123))
        self.assertIn(poweron.body.decode() + "\n", daemon.stdout())
        self.wait_record("200 OK\n")

        reply = udp_request(b"SEEK W642IP", 9000)
        self.assertEqual(reply, ("TQ8-HUB-SW:1.0.168 SN123 L1_Port:%d L2_Port:0000 "
                                 "L1_Conn:https://127.0.0.1 L2_Conn:https://127.0.0.1 Lock:0"
                                 % self.server.port).encode())
        self.assertEqual(daemon.stop(signal.SIGTERM), 0)
        self.assertIn("Caught signal 15\n", self.board.records())

    def test_a_missing_or_wrong_argument_gets_its_usage_line(self):
        for args, usage in (([], "Usage ./verifyd -d  for daemon or ./verifyd -i for interactive\n"),
                            (["-x"], "Usage ./verifyd -d for daemon or ./verifyd -i for interactive\n")):
            self.board.write_config({"ONLINE": {"SERVER_ADDR": "https://127.0.0.1",
                                                "SERVER_PORT": self.server.port}})
            result = self.board.run("verifyd", *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(self.board.records()[-1], usage)
        self.assertEqual(self.server.requests(), [], "nothing reaches the server")

    def test_a_discovery_port_in_use_ends_the_daemon_with_status_1(self):
        self.board.write_config({"ONLINE": {"SERVER_ADDR": "https://127.0.0.1",
                                            "SERVER_PORT": self.server.port}})
        tq8sys.check_taken_discovery_port_ends(
            self, self.board, lambda: self.board.start("verifyd", "-i"))

    # --- cards ---

    def test_cards_are_decided_by_the_server_and_answered_with_the_same_bytes(self):
        daemon = self.start()
        self.assertEqual(self.answers_for(1), (0x25, 1, CARD))
        request = self.server.wait_for_operation("check_access")
        self.assertEqual(list(request.items())[-2:],
                         [("identifier", "010203040506"), ("reader_id", "1")])
        record = [r for r in self.server.requests() if r.json == request][0]
        self.assertEqual([h for h in record.headers if h[0] == "Conection"],
                         [("Conection", "Keep-Alive")])
        self.assertIsNone(record.header("Expect"))

        other = bytes.fromhex("A1B2C3D4E5F6")
        self.assertEqual(self.answers_for(0, other, count=2), (0x22, 0, other))
        self.assertIn("Granted = 1 (25)\n", daemon.stdout())
        self.assertTrue(tq8sys.wait_for(lambda: "Granted = 0 (22)\n" in daemon.stdout()))
        self.assertEqual(set(self.mcu.acks()), {0})

    def test_dallas_readers_show_the_card_reversed(self):
        self.mcu.set_params(0, DALLAS)
        self.server.set(granted={"060504030201"})
        self.start()
        self.assertEqual(self.answers_for(0), (0x24, 0, CARD))
        self.assertEqual(self.server.operations("check_access")[0]["identifier"], "060504030201")

    def test_credentials_answer_the_servers_challenge(self):
        self.server.require_auth("digest", "door", "s3cret")
        self.start(auth_str="door:s3cret")
        self.assertEqual(self.answers_for(1), (0x25, 1, CARD))
        self.assertTrue(all(r.auth_ok for r in self.server.requests() if r.status == 200))
        self.assertEqual(self.server.requests()[-1].auth_scheme, "Digest")

    # --- events ---

    def test_an_event_batch_is_forwarded_and_acknowledged_on_the_next_poll(self):
        self.server.set(events_success=0)
        self.start()
        extension = bytes.fromhex("5501AABBCCDDEEFF")
        event = bytes.fromhex("0400C80131235930")
        plain = bytes.fromhex("0200C01205080706")
        self.mcu.ext_events([extension, event, plain])

        # Unconfirmed: acknowledged with 0 and delivered again.
        self.assertIsNotNone(self.server.wait_for_operation("events", count=2))
        self.assertEqual(set(self.mcu.acks()), {0})
        self.assertEqual(self.mcu.ext_events(), 3)

        self.server.set(events_success=1)
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ext_events() == 0))
        self.assertEqual([a for a in self.mcu.acks() if a], [3])
        # Acknowledged by the very next poll: the batch was never delivered
        # again after the server confirmed it.
        confirmed = [r for r in self.server.requests() if r.reply == b'{"success":1}']
        self.assertEqual(len(confirmed), 1)
        year = self.server.operations("events")[0]["date"][:4]
        for request in self.server.operations("events"):
            self.assertEqual(request["events"], [
                {"event_type": 4, "identifier": "AABBCCDDEEFF",
                 "date": year + "-01-31 23:59:30", "reader_id": 1},
                {"event_type": 2, "identifier": "000000000000",
                 "date": year + "-12-05 08:07:06", "reader_id": 0}])
        body = self.server.requests()[-1].body.decode()
        self.assertIn('"date":"%s", "events": [{"event_type":4,' % request["date"], body)
        self.assertIn('"reader_id": 1},{"event_type":2', body)
        self.assertIn("SUCCESS: 1\n", self.board.records())

    # --- online and offline ---

    def test_starts_offline_when_refused_and_the_probe_brings_it_online(self):
        # A client certificate of another CA: the server refuses the connection.
        foreign = test_certs.make_certs(os.path.join(_CERTS, "foreign"))
        test_certs.install(foreign, self.board.root)
        self.server.require_client_cert()
        self.start(wait_online=False)
        self.wait_record(lambda r: r.startswith("curl_easy_perform() failed: "))
        self.assertEqual(self.server.operations(), [])

        # Offline: a card is taken from the MCU but neither asked nor answered.
        self.mcu.card(1, CARD)
        self.assertTrue(self.mcu.wait_for(lambda: len(self.mcu.acks()) >= 3))
        self.assertEqual(self.mcu.answers(), [])
        self.assertEqual(set(self.mcu.acks()), {0})

        test_certs.install(self.certs, self.board.root)
        self.wait_record("Server ONLINE\n", timeout=PROBE_WAIT)
        records = self.board.records()
        self.assertIn("CheckServer\n", records)
        self.assertLess(records.index("CheckServer\n"), records.index("Server ONLINE\n"))
        self.assertEqual(len(self.server.probes()), 1)
        self.assertEqual(len(self.server.operations("poweron")), 1)
        self.assertEqual(self.answers_for(1), (0x25, 1, CARD))
        self.assertEqual(len(self.server.operations("poweron")), 1, "exactly one poweron")

    def test_a_status_500_refuses_the_card_and_switches_offline_until_the_probe(self):
        self.start()
        self.server.fail_status(500)
        self.assertEqual(self.answers_for(1), (0x23, 1, CARD), "the MCU still gets its answer")
        polls = len(self.mcu.acks())
        self.mcu.card(0, CARD)
        self.assertTrue(self.mcu.wait_for(lambda: len(self.mcu.acks()) >= polls + 5))
        self.assertEqual(len(self.server.operations("check_access")), 1, "offline: not asked")
        self.assertEqual(len(self.mcu.answers()), 1)
        self.wait_record("Server ONLINE\n", timeout=PROBE_WAIT)
        self.assertEqual(len(self.server.operations("poweron")), 2)
        self.assertEqual(self.answers_for(1, count=2), (0x25, 1, CARD))

    # --- the clocks ---

    def test_the_servers_date_sets_the_system_and_mcu_clocks(self):
        self.mcu.clock_freeze()
        self.mcu.clock_set("2020-06-01 12:00:00")
        self.server.set(date="2024-01-31 23:59:30")
        self.start(tz="UTC0")
        self.wait_record("SystemTime SET OK\n")
        self.assertEqual(self.board.read("var/run/system-clock"), "1706745570\n")
        self.assertTrue(self.mcu.wait_for(
            lambda: self.mcu.peek(0, 0xD0, 0, 7) == bytes.fromhex("30592303310124")))
        self.assertIn("DATE: 2024-01-31 23:59:30\n", self.board.records())

        # Half a date sets nothing; the card is decided all the same.
        self.server.set(date="2024-02-01 10:00")
        self.assertEqual(self.answers_for(1), (0x25, 1, CARD))
        self.wait_record("strptime error\n")
        self.assertEqual(self.board.read("var/run/system-clock"), "1706745570\n")
        self.assertEqual(self.mcu.peek(0, 0xD0, 0, 7), bytes.fromhex("30592303310124"))
        self.server.set(date=False)
        self.assertEqual(self.answers_for(1, count=2), (0x25, 1, CARD))
        self.wait_record("No date\n")

    # --- the command socket ---

    def test_the_command_socket_answers_status_opens_the_door_and_echoes_the_rest(self):
        self.start()
        reply = json.loads(command(b'{"operation":"check_status","request_id":7}'))
        self.assertEqual(list(reply), ["request_id", "operation", "controller_type",
                                       "controller_sn", "controller_ip", "date", "status"])
        self.assertEqual((reply["request_id"], reply["operation"], reply["status"],
                          reply["controller_sn"]), (7, "check_status", "Active", 123))

        reply = json.loads(command(b'{"operation":"open_door","request_id":8,"direction":1}'))
        self.assertEqual((reply["request_id"], reply["operation"], reply["success"]),
                         (8, "open_door", 1))
        self.assertEqual(self.mcu.doors(), [1])
        self.wait_record("dir:1")
        self.mcu.fault("rejected", count=1, cmd=0x07)
        reply = json.loads(command(b'{"operation":"open_door","direction":0}'))
        self.assertEqual(reply["success"], 0)
        reply = json.loads(command(b'{"operation":"open_door","direction":7}'))
        self.assertEqual(reply["success"], 0, "no such direction")
        self.assertEqual([r[7] for r in self.mcu.requests() if r[5] == 0x07], [1, 0],
                         "the refused direction never reaches the MCU")

        for other in (b"hello", b'{"operation":"reboot"}', b'{"operation":1}', b"\x00\xff{"):
            self.assertEqual(command(other), other)

    def test_a_second_client_is_refused_while_one_is_served(self):
        self.start()
        first = tcp_connect(COMMAND_PORT)
        self.addCleanup(first.close)
        self.wait_record("External connected\n")
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", COMMAND_PORT), timeout=2).close()
        first.sendall(b'{"operation":"check_status","request_id":1}')
        self.assertEqual(json.loads(receive(first))["request_id"], 1)
        first.close()
        self.assertEqual(json.loads(command(b'{"operation":"check_status","request_id":2}'))
                         ["request_id"], 2)

        # A client that never sends is dropped in time; the next one is served.
        silent = tcp_connect(COMMAND_PORT)
        self.addCleanup(silent.close)
        self.assertEqual(receive(silent, timeout=10), b"")
        self.assertIn("Client send to Server -1\n", self.board.records())
        self.assertEqual(command(b"again"), b"again")

    # --- beside other programs, and a server that misbehaves ---

    def test_a_tool_run_beside_the_busy_daemon_never_interleaves_frames(self):
        if not os.path.exists(tq8sys.program("ctlcfg")):
            self.skipTest("ctlcfg is not built")
        baseline = self.board.run("ctlcfg", "-r")
        self.assertIn("MODE_NORMAL", baseline.stdout)
        # Slow replies make every transaction of either program last a while.
        self.mcu.fault("slowready", value=15)
        self.start()
        for n in range(12):
            self.mcu.card(n % 2, CARD)
            self.mcu.ext_events([bytes.fromhex("0400C80131235930")])
            result = self.board.run("ctlcfg", "-r", timeout=30)
            self.assertEqual((result.returncode, result.stdout),
                             (baseline.returncode, baseline.stdout), n)
        self.assertTrue(self.mcu.wait_for(lambda: len(self.mcu.answers()) == 12, timeout=20))
        self.assertEqual(self.mcu.answers(), [(0x24 + n % 2, n % 2, CARD) for n in range(12)])
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ext_events() == 0, timeout=20))
        bad = [r for r in self.board.records() if "ERROR" in r or "error" in r]
        self.assertEqual(bad, [])

    def test_garbage_pieces_and_stalls_neither_crash_nor_hang_the_daemon(self):
        self.start()
        self.server.garbage()
        self.assertEqual(self.answers_for(1), (0x23, 1, CARD), "not JSON: refused")
        self.server.oversize(4096)
        self.assertEqual(self.answers_for(1, count=2), (0x23, 1, CARD), "too long: refused")
        self.wait_record("Reply too long\n")
        self.server.pieces(pieces=4, pause=0.05, chunked=True)
        self.assertEqual(self.answers_for(1, count=3), (0x25, 1, CARD), "gathered, then parsed")

        # A server that takes the request and says nothing: the card is
        # refused once the exchange gives up, and the daemon goes offline.
        self.server.hang()
        self.mcu.card(1, CARD)
        self.assertEqual(json.loads(command(b'{"operation":"check_status"}'))["status"], "Active")
        self.assertTrue(self.mcu.wait_for(lambda: len(self.mcu.answers()) == 4, STALL_WAIT))
        self.assertEqual(self.mcu.answers()[3], (0x23, 1, CARD))
        self.server.release()
        self.wait_record(lambda r: r.startswith("curl_easy_perform() failed: "))
        self.wait_record("Server ONLINE\n", timeout=PROBE_WAIT)
        self.assertEqual(self.answers_for(1, count=5), (0x25, 1, CARD))
        self.assertIsNone(self.daemon.poll())


class AfterYear2038Test(VerifyBase):
    """verifyd with its clock in 2040: the server's date sets the system and
    controller clocks, events carry the year."""

    clock_shift = tq8sys.AFTER_2038 - int(time.time())

    def test_dates_after_2038_set_the_clocks_and_date_the_events(self):
        self.mcu.clock_freeze()
        self.mcu.clock_set("2020-06-01 12:00:00")
        self.server.set(date="2040-06-01 12:30:00")
        self.start(tz="UTC0")
        self.wait_record("SystemTime SET OK\n")
        self.assertEqual(self.board.read("var/run/system-clock").split()[0],
                         str(calendar.timegm((2040, 6, 1, 12, 30, 0))))
        # 12:30:00 on Friday 1 June 2040: BCD seconds, minutes, hours,
        # weekday, day, month, year - 2000.
        self.assertTrue(self.mcu.wait_for(
            lambda: self.mcu.peek(0, 0xD0, 0, 7) == bytes.fromhex("00301205010640")),
            self.mcu.peek(0, 0xD0, 0, 7).hex())
        self.mcu.ext_events([bytes.fromhex("0200C01205080706")])
        request = self.server.wait_for_operation("events")
        self.assertIsNotNone(request)
        self.assertEqual(request["events"][0]["date"], "2040-12-05 08:07:06")


if __name__ == "__main__":
    tq8sys.loopback_up()
    unittest.main()
