"""cloudd as a process, against the emulated MCU and the stand-in cloud
server: activation, every operation and its answer, refusals, failure
counting, redirects, the reply size limit, events and their confirmation,
the card read-out, card decisions, the clocks and the traffic file."""

import calendar
import os
import re
import shutil
import signal
import tempfile
import time
import unittest

import test_certs
import tq8sys
from cloud_server import CloudServer
from tq8sys import Board, udp_request, wait_for

SERIAL = 42
USAGE_MISSING = "Usage ./cloudd -d for daemon or ./cloudd -i for interactive\n"
USAGE_WRONG = "Usage ./cldd -d for daemon or ./cldd -i for interactive\n"
ENVELOPE = '{"type":"TQ8HUB","sn":42,"messages":['
TIMEOUT = 10.0


def key_record(card_hex, flags=0, tz=0):
    return bytes.fromhex(card_hex) + bytes([flags, tz])


def event(code, b1=0, b2=0, month=0x03, day=0x05, hour=0x12, minute=0x34, second=0x56):
    return bytes([code, b1, b2, month, day, hour, minute, second])


class CloudTest(unittest.TestCase):
    """One board, one stand-in server and one cloudd per test."""

    # Seconds the daemon's clock runs ahead of the machine's (None: none).
    clock_shift = None

    def setUp(self):
        self.board = Board(serial=4242, clock_shift=self.clock_shift)
        self.addCleanup(self.board.close)
        self.addCleanup(lambda: self.assertEqual(self.board.sanitizer_reports(), []))
        self.mcu = self.board.mcu
        self.server = None
        self.daemon = None

    def start(self, path="/api", period=1, server=None, config=None, **knobs):
        """Starts a server (unless given) and cloudd -i against it."""
        if server is None:
            server = CloudServer(**knobs)
            self.addCleanup(server.close)
        self.server = server
        sections = {"INFO": {"SERIAL_NUMBER": SERIAL},
                    "WEBJSON": {"JSON_SERVER_ADDR": server.url + path, "JSON_PERIOD": period}}
        for section, keys in (config or {}).items():
            sections.setdefault(section, {}).update(keys)
        self.board.write_config(sections)
        self.daemon = self.board.start("cloudd", "-i")
        self.addCleanup(self.daemon.kill)
        return server

    def activate(self, **knobs):
        """Starts, and waits until the server has activated the controller and
        received the first ping."""
        server = self.start(**knobs)
        self.assertIsNotNone(server.wait_for_message("ping", timeout=TIMEOUT), self.records())
        return server

    def records(self):
        return "".join(self.board.records()[-60:])

    def answered(self, op_id, timeout=TIMEOUT):
        """Waits until a batch carries the success answer to `op_id`."""
        return self.server.wait_for(
            lambda: any(m.get("id") == op_id and m.get("success") == 1 and "operation" not in m
                        for m in self.server.messages()), timeout)

    def run_operation(self, operation):
        [op] = self.server.queue(operation)
        self.assertTrue(self.answered(op["id"]), self.records())
        return op

    def record_count(self, text):
        return self.board.records().count(text)

    def wait_record(self, text, timeout=TIMEOUT, count=1):
        found = self.board.wait_for_record(text, timeout=timeout, count=count)
        self.assertTrue(found, "%r not logged:\n%s" % (text, self.records()))
        return found

    def batch_bodies(self):
        return [r.body.decode("latin-1") for r in self.server.requests()]


class StartUpTest(CloudTest):

    def test_activation_from_power_on(self):
        self.mcu.set_params(0, 0x04, "2.7")      # Dallas, six-byte keys
        server = self.start(interval=1)
        power_on = server.wait_for_message("power_on", timeout=TIMEOUT)
        self.assertIsNotNone(power_on, self.records())
        first = server.requests()[0]
        self.assertTrue(first.body.decode().startswith(ENVELOPE + '{"id":'), first.body)
        self.assertEqual({k: v for k, v in power_on.items() if k != "id"},
                         {"operation": "power_on", "fw": "2.7", "conn_fw": "1.0.166",
                          "active": 0, "mode": 0, "controller_ip": "0.0.0.0",
                          "reader_protocol": "dallas"})
        self.assertEqual(len(server.batches()[0]["messages"]), 1)
        # The set_active answer and the first ping travel in the next batch.
        ping = server.wait_for_message("ping", timeout=TIMEOUT)
        self.assertEqual({k: v for k, v in ping.items() if k != "id"},
                         {"operation": "ping", "active": 1, "mode": 0})
        second = server.batches()[1]["messages"]
        self.assertEqual(second[0], {"id": 1, "success": 1})
        self.assertEqual(second[1]["operation"], "ping")

        records = self.board.records()
        self.assertEqual(records[:3], ["SERIAL_NUMBER=42\n", "Start WEBJSON_Daemon as programm\n",
                                       "ThreadScan created successfully\n"])
        for line in ("Try To Get Active!\n", "SET_ACTIVE: 1\n", "ONLINE: 0\n", "T_C=0\n"):
            self.assertIn(line, records)
        self.assertTrue(self.daemon.stdout().startswith("Reading cards:" + "." * 68 + "\n"),
                        self.daemon.stdout()[:200])

        # The HTTP request exactly as the daemon must send it.
        headers = [(k.lower(), v) for k, v in first.headers]
        names = [k for k, _ in headers]
        self.assertEqual(first.method, "POST")
        self.assertEqual(first.path, "/api")
        self.assertLess(names.index("user-agent"), names.index("conection"))
        self.assertLess(names.index("conection"), names.index("content-type"))
        self.assertEqual(first.header("User-Agent"), "TQ8 HUB")
        self.assertEqual(first.header("Conection"), "close")
        self.assertEqual(first.header("Content-type"), "application/json")
        self.assertIsNone(first.header("Expect"))
        self.assertEqual(int(first.header("Content-Length")), len(first.body))
        self.assertIn("SEND: " + first.body.decode() + "\n", records)

        # Discovery names the server address on port 80 and no redirect path.
        reply = udp_request(b"SEEK W642IP", 9000)
        self.assertEqual(reply.decode(),
                         "TQ8-HUB-SW:1.0.166 SN42 L1_Port:1000 L2_Port:1001 "
                         "L1_Conn:%s/api:80 L2_Conn: Lock:0" % server.url)

        self.assertEqual(self.daemon.stop(signal.SIGTERM), 0)
        self.assertIn("Caught signal 15\n", self.board.records())

    def test_arguments(self):
        for args, text in (([], USAGE_MISSING), (["-x"], USAGE_WRONG), (["-x", "-i"], USAGE_WRONG)):
            before = len(self.board.records())
            result = self.board.run("cloudd", *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(self.board.records()[before:][-1], text)

    def test_tls_and_authentication(self):
        certs = test_certs.make_certs(os.path.join(tempfile.gettempdir(), "tq8-cloudd-certs"))
        test_certs.install(certs, self.board.root)
        server = CloudServer(certs=certs, auth=("digest", "door", "s3cret"), interval=1)
        self.addCleanup(server.close)
        self.activate(server=server, config={"WEBJSON": {"JSON_LOGIN": "door",
                                                         "JSON_PASSWORD": "s3cret"}})
        good = [r for r in server.requests() if r.auth_ok]
        self.assertTrue(good and all(r.tls for r in good))
        self.assertEqual(good[0].auth_scheme, "Digest")

    def test_the_traffic_file(self):
        self.activate(interval=1)
        self.server.wait_for_requests(3)
        line = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d;\d+\.\d KiB;\d+\.\d KiB$"
        # The daemon truncates and rewrites the file after every pass, so a
        # read can land between the two: keep the first complete line seen.
        seen = []

        def complete_line():
            text = self.board.read("var/log/cldd.log") or ""
            if re.match(line, text):
                seen.append(text)
            return seen

        self.assertTrue(wait_for(complete_line))
        text = seen[0]
        received = sum(len(r.reply) for r in self.server.requests() if r.reply)
        sent = sum(len(r.body) for r in self.server.requests())
        down, up = re.findall(r"(\d+)\.(\d) KiB", text)
        # Each total is at most what has gone through by now, at least what
        # went through before the file was last written.
        self.assertLessEqual(int(down[0]) * 1024, received)
        self.assertLessEqual(int(up[0]) * 1024, sent)
        self.assertGreater(sent, 200)


class OperationsTest(CloudTest):

    def test_every_operation_and_its_answer(self):
        # A key present before the start, in slot 2; the daemon's key image
        # must know it.
        self.mcu.poke(0, 0xA0, 0x00D0, key_record("0A0B0C0D0E0F", 1, 1))
        self.mcu.poke(1, 0xA0, 0x00D0, key_record("0A0B0C0D0E0F", 1, 1))
        self.activate(interval=1)

        self.run_operation({"operation": "add_cards", "cards": [
            {"card": "a1b2c3d4e5f6", "flags": 3, "tz": 7},
            {"card": "0A0B0C0D0E0F", "flags": 0x105, "tz": 2},
            {"card": "XYZ", "flags": 1, "tz": 1}]})
        for bus in (0, 1):
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x00C0, 8), key_record("A1B2C3D4E5F6", 3, 7))
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x00D0, 8), key_record("0A0B0C0D0E0F", 5, 2))
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x00C8, 8), b"\x55" * 8)
        self.assertIn("ADD_CARD: a1b2c3d4e5f6 03 07 TO 000000C0\n", self.board.records())
        self.assertIn("MOD_CARD: 0A0B0C0D0E0F 05 02 AT 000000D0\n", self.board.records())
        self.assertIn("BAD CARD: XYZ\n", self.board.records())

        self.run_operation({"operation": "del_cards", "cards": [{"card": "A1B2C3D4E5F6"},
                                                                {"card": "111111111111"}]})
        for bus in (0, 1):
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x00C0, 8), b"\x55" * 8)
        # The image follows: a new card goes to the slot just freed.
        self.run_operation({"operation": "add_cards",
                            "cards": [{"card": "CAFE00000001", "flags": 0, "tz": 0}]})
        self.assertEqual(self.mcu.peek(0, 0xA0, 0x00C0, 6), bytes.fromhex("CAFE00000001"))

        self.run_operation({"operation": "set_mode", "mode": 0x102})
        self.assertEqual(self.mcu.modes()[-1], 2)
        self.run_operation({"operation": "open_door", "direction": 1})
        self.assertEqual(self.mcu.doors()[-1], 1)
        self.run_operation({"operation": "set_door_params", "open": 3, "open_control": 12,
                            "close_control": 20})
        self.assertEqual(self.mcu.peek(0, 0xA0, 0, 3), bytes([3, 12, 20]))

        self.run_operation({"operation": "set_timezone", "zone": 3, "begin": "08:30",
                            "end": "17:45", "days": "1111100"})
        for bus in (0, 1):
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x0090, 8),
                             bytes.fromhex("1F08301745000000"))
        self.assertIn("SET TIMEZONE -1-3 (08:30 - 17:45) [1F] MODE: 255\n", self.board.records())
        self.run_operation({"operation": "set_timezone", "zone": 7, "bank": 1, "mode": 2,
                            "begin": "00:00", "end": "23:59", "days": "0000011"})
        self.assertEqual(self.mcu.peek(1, 0xA0, 0x0070, 8), bytes.fromhex("6000002359020000"))
        self.assertNotEqual(self.mcu.peek(0, 0xA0, 0x0070, 8), bytes.fromhex("6000002359020000"))
        self.assertIn("SET TIMEZONE 1--1 (00:00 - 23:59) [60] MODE: 2\n", self.board.records())

        self.run_operation({"operation": "clear_cards"})
        for bus in (0, 1):
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0x00C0, 32), b"\x55" * 32)
            self.assertEqual(self.mcu.peek(bus, 0xA0, 0xFFC0, 64), b"\x55" * 64)
        self.assertIn("DONE...\n", self.board.records())

        # An unknown operation is skipped without an answer; the reply counts.
        [unknown] = self.server.queue({"operation": "fly"})
        self.wait_record("UNKNOWN OPERATION\n")
        self.assertFalse(self.answered(unknown["id"], timeout=1.5))

    def test_malformed_texts_change_nothing(self):
        self.activate(interval=1)
        before = self.mcu.peek(0, 0xA0, 0x0078, 8)
        [op] = self.server.queue({"operation": "set_timezone", "zone": 0, "begin": "8:30",
                                  "end": "17:45", "days": "1111100"},
                                 {"operation": "set_timezone", "zone": 9, "begin": "08:30",
                                  "end": "17:45", "days": "1111100"},
                                 {"operation": "open_door", "direction": 0})[2:]
        self.assertTrue(self.answered(op["id"]))
        self.assertEqual(self.mcu.peek(0, 0xA0, 0x0078, 8), before)
        self.assertEqual(self.record_count("BAD TIMEZONE: 8:30 17:45 1111100\n"), 1)
        self.assertEqual(self.record_count("BAD TIMEZONE: zone 9 bank -1\n"), 1)

    def test_a_read_out_across_several_chunks(self):
        cards = ["%012X" % (0xC0FFEE000000 + i) for i in range(40)]
        for i, card in enumerate(cards):
            # Every other slot, so chunks hold empty slots too.
            self.mcu.poke(0, 0xA0, 0x00C0 + 16 * i, key_record(card, i, 1))
        self.activate(interval=5)
        self.server.queue({"operation": "read_cards"})
        self.assertTrue(self.server.wait_for(
            lambda: len(self.server.messages("read_cards")) >= 5, TIMEOUT), self.records())
        # The exchange after the fifth chunk shows whether a sixth came.
        self.server.wait_for_requests(len(self.server.requests()) + 1)
        chunks = self.server.messages("read_cards")
        self.assertEqual(len(chunks), 5)
        self.assertTrue(all(c["last_card"] == 79 for c in chunks))
        self.assertTrue(all("id" not in c for c in chunks))
        reported = [c for chunk in chunks for c in chunk["cards"]]
        self.assertEqual([c["card"] for c in reported], cards)
        self.assertEqual([c["pos"] for c in reported], list(range(0, 80, 2)))
        self.assertEqual([c["flags"] for c in reported], list(range(40)))
        self.assertIn("READ ALL CARD...\n", self.board.records())
        # The chunks follow one another without the server's 5 s interval.
        times = [r.time for r in self.server.requests() if b'"read_cards"' in r.body]
        self.assertLess(times[-1] - times[0], 4.0)


class RefusalTest(CloudTest):

    def test_a_reply_without_date_changes_nothing_and_counts_as_failed(self):
        self.activate(interval=1)
        self.server.queue_reply({"interval": 0, "messages": [
            {"id": 900, "operation": "open_door", "direction": 1}]})
        self.wait_record("ERROR GET DATE\n")
        # Two more exchanges: the refused reply has had every chance to act.
        self.server.wait_for_requests(len(self.server.requests()) + 2)
        self.assertEqual(self.mcu.doors(), [])
        self.assertFalse(self.answered(900, timeout=0.1))
        # The interval stayed at 1 s.
        after = self.board.records()[self.board.records().index("ERROR GET DATE\n"):]
        self.assertIn("T_C=1\n", after)
        self.assertEqual(self.system_clock_lines(), [])

    def system_clock_lines(self):
        return (self.board.read("var/run/system-clock") or "").split()

    def test_a_second_operation_without_id_refuses_the_rest(self):
        self.activate(interval=1)
        date = time.strftime("%Y-%m-%d %H:%M:%S")
        self.server.queue_reply({"date": date, "messages": [
            {"id": 901, "operation": "open_door", "direction": 1},
            {"operation": "set_mode", "mode": 1},
            {"id": 903, "operation": "open_door", "direction": 0}]})
        self.wait_record("ERROR GET ID\n")
        self.assertTrue(self.answered(901))
        self.assertEqual(self.mcu.doors(), [1])
        self.assertEqual(self.mcu.modes(), [])

    def test_the_server_clock_sets_the_system_clock_beyond_5_seconds(self):
        self.activate(interval=1, date=2)
        self.server.wait_for_requests(3)
        self.assertEqual(self.system_clock_lines(), [])
        self.server.set(date=3600)
        self.wait_record("Set Local Time To Server Time\n")
        [line] = self.system_clock_lines()[:1]
        self.assertLess(abs(int(line) - (time.time() + 3600)), 3)
        # A date that is not whole never sets the clock.
        self.server.set(date="2030-01-01 12:00")
        self.wait_record("BAD DATE: clock not set\n")
        self.assertTrue(all(abs(int(t) - (time.time() + 3600)) < 5
                            for t in self.system_clock_lines()))


class FailureTest(CloudTest):

    def test_nine_failures_keep_the_state_the_tenth_returns_to_inactive(self):
        self.activate(interval=0, period=1)
        self.server.garbage(count=9)
        self.assertTrue(self.server.wait_for(
            lambda: sum(r.fault == "garbage" for r in self.server.requests()) == 9, TIMEOUT))
        self.server.wait_for_requests(len(self.server.requests()) + 1)
        self.assertEqual(len(self.server.messages("power_on")), 1)
        # Ten in a row: back to power_on, with the period as interval.
        self.server.set(auto_activate=False)
        self.server.garbage(count=10)
        self.assertIsNotNone(self.server.wait_for_message("power_on", count=2, timeout=TIMEOUT),
                             self.records())
        self.assertEqual(self.record_count("ERROR parse JSON\n"), 19)
        self.wait_record("T_C=1\n")

    def test_one_failure_while_online_returns_to_inactive(self):
        self.activate(interval=0, online=1)
        self.server.set(auto_activate=False)
        self.server.drop()
        self.assertIsNotNone(self.server.wait_for_message("power_on", count=2, timeout=TIMEOUT))
        self.assertTrue(any(r.startswith("curl_easy_perform() failed: ")
                            for r in self.board.records()))

    def test_an_unreachable_server_counts_as_failure(self):
        port = tq8sys.free_port()
        self.board.write_config({"INFO": {"SERIAL_NUMBER": SERIAL},
                                 "WEBJSON": {"JSON_SERVER_ADDR": "http://127.0.0.1:%d/" % port,
                                             "JSON_PERIOD": 0}})
        self.daemon = self.board.start("cloudd", "-i")
        self.wait_record(lambda r: r.startswith("curl_easy_perform() failed: "))

    def test_the_reply_body_limit_is_2048_bytes(self):
        self.activate(interval=1)
        [op] = self.server.queue({"operation": "open_door", "direction": 1})
        self.server.oversize(2048)
        self.assertTrue(self.answered(op["id"]))
        self.assertEqual(self.record_count("HTTP Buffer owerflow\n"), 0)
        self.server.queue({"operation": "open_door", "direction": 0})
        self.server.oversize(2049)
        self.wait_record("HTTP Buffer owerflow\n")
        self.server.wait_for_requests(len(self.server.requests()) + 2)
        self.assertEqual(self.mcu.doors(), [1])
        self.assertIn("ERROR parse JSON\n", self.board.records())

    def test_a_body_in_pieces_is_gathered_whole(self):
        self.activate(interval=1)
        [op] = self.server.queue({"operation": "open_door", "direction": 1})
        self.server.pieces(pieces=3, chunked=True)
        self.assertTrue(self.answered(op["id"]))


class RedirectTest(CloudTest):

    def test_a_redirect_moves_the_next_exchanges(self):
        self.activate(interval=1)
        second = CloudServer(interval=1)
        self.addCleanup(second.close)
        target = "http://127.0.0.1:%d/moved/here" % second.port
        self.server.redirect(target)
        self.wait_record("Found 301 Moved Permanently\n")
        self.wait_record("Found Location: %s\n" % target)
        self.assertTrue(second.wait_for(lambda: second.requests(), TIMEOUT))
        request = second.requests()[0]
        self.assertEqual(request.path, "/moved/here")
        # Still active: the redirected reply was processed as a reply.
        self.assertIsNotNone(second.wait_for_message("ping", timeout=TIMEOUT))
        self.assertEqual(second.messages("power_on"), [])
        reply = udp_request(b"SEEK W642IP", 9000).decode()
        self.assertIn("L1_Conn:127.0.0.1:%d/moved/here:80 L2_Conn:/moved/here Lock:0"
                      % second.port, reply)

    def test_a_relative_location_changes_nothing(self):
        self.activate(interval=1)
        count = len(self.server.requests())
        self.server.redirect("/elsewhere")
        self.wait_record("Found Location: /elsewhere\n")
        self.server.wait_for_requests(count + 3)
        self.assertEqual(self.server.requests()[-1].path, "/api")


class EventsTest(CloudTest):

    def test_events_are_delivered_and_the_tail_moves_only_after_success(self):
        self.mcu.poke(0, 0xA0, 0x00C8, key_record("1A2B3C4D5E6F"))
        self.activate(interval=5, events_success=0)
        self.mcu.event(event(4, 0x00, 0xC8), event(18, 0x34, 0x12))
        first = self.server.wait_for_message("events", timeout=TIMEOUT)
        year = time.localtime().tm_year
        self.assertEqual(first["events"], [
            {"flag": 0, "event": 4, "time": "%d-03-05 12:34:56" % year, "card": "1A2B3C4D5E6F"},
            {"flag": 4660, "event": 18, "time": "%d-03-05 12:34:56" % year,
             "card": "000000000000"}])
        self.assertIn('"events":[{"flag": 0,"event": 4,"time": "%d-03-05 12:34:56",'
                      '"card": "1A2B3C4D5E6F"},{"flag": 4660,' % year,
                      self.batch_bodies()[-1])
        # Not confirmed: sent again, the tail unchanged.
        again = self.server.wait_for_message("events", count=2, timeout=TIMEOUT)
        self.assertEqual(again["events"], first["events"])
        head, tail = self.mcu.ring()
        self.assertEqual(tail, head - 16)
        self.server.set(events_success=1)
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ring()[1] == head, TIMEOUT))
        self.assertIn("EVENT_SUCCESS: 1\n", self.board.records())

    def test_events_are_sent_again_after_a_failed_exchange(self):
        self.activate(interval=5)
        self.server.drop()
        self.mcu.event(event(2))
        self.assertTrue(self.server.wait_for(
            lambda: len([r for r in self.server.requests() if b'"events"' in r.body]) >= 2,
            TIMEOUT), self.records())
        bodies = [r for r in self.server.requests() if b'"events"' in r.body]
        self.assertEqual(bodies[0].fault, "drop")
        head, _ = self.mcu.ring()
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ring()[1] == head, TIMEOUT))

    def test_more_events_than_a_batch_holds_go_in_several_batches(self):
        self.activate(interval=5)
        records = [event(1, second=i % 60) for i in range(30)]
        self.mcu.event(*records)
        self.assertTrue(self.server.wait_for(
            lambda: sum(len(m["events"]) for m in self.server.messages("events")) >= 30,
            TIMEOUT), self.records())
        sizes = [len(m["events"]) for m in self.server.messages("events")]
        self.assertGreater(len(sizes), 1)
        self.assertTrue(all(size <= 19 for size in sizes), sizes)
        self.assertTrue(all(len(body) <= 2048 for body in self.batch_bodies()))
        head, _ = self.mcu.ring()
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ring()[1] == head, TIMEOUT))
        # The kernel takes no record over about 1 KiB: a large batch is
        # logged in several records, which together hold all of it.
        records = self.board.records()
        self.assertTrue(all(len(r) <= 976 for r in records), max(len(r) for r in records))
        largest = max(self.batch_bodies(), key=len)
        self.assertGreater(len(largest), 976)
        self.assertIn("SEND: " + largest + "\n", "".join(records))


class OnlineTest(CloudTest):

    def test_the_card_decision_flow_end_to_end(self):
        self.activate(interval=5, online=1, granted={"A1B2C3D4E5F6"})
        self.mcu.card(1, bytes.fromhex("A1B2C3D4E5F6"))
        check = self.server.wait_for_message("check_access", timeout=TIMEOUT)
        self.assertEqual({k: v for k, v in check.items() if k != "id"},
                         {"operation": "check_access", "card": "A1B2C3D4E5F6", "reader": 2})
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.answers(), TIMEOUT))
        self.assertEqual(self.mcu.answers(), [(0x25, 1, bytes.fromhex("A1B2C3D4E5F6"))])
        self.assertIn("GRANT_ACCEESS: 1 toA1B2C3D4E5F6 from 1\n", self.board.records())
        self.assertIn("CHECK ACCESS (7): [1]\n A1B2C3D4E5F6\n", self.daemon.stdout())

        # A card the server refuses, at reader 0.
        self.mcu.card(0, bytes.fromhex("0102030405"))
        self.assertTrue(self.mcu.wait_for(lambda: len(self.mcu.answers()) == 2, TIMEOUT))
        self.assertEqual(self.mcu.answers()[1], (0x22, 0, bytes.fromhex("0102030405")))

        # The MCU logs the access; the event travels back and is confirmed.
        self.mcu.event(event(4, 0x00, 0x00))
        self.assertIsNotNone(self.server.wait_for_message("events", timeout=TIMEOUT))
        head, _ = self.mcu.ring()
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.ring()[1] == head, TIMEOUT))

    def test_a_late_decision_goes_with_the_card_it_was_asked_for(self):
        self.activate(interval=1, online=1, grant_default=None)
        self.mcu.card(1, bytes.fromhex("0A0B0C"))
        check = self.server.wait_for_message("check_access", timeout=TIMEOUT)
        self.server.wait_for_requests(len(self.server.requests()) + 2)
        self.server.queue({"id": check["id"], "operation": "check_access", "granted": 1},
                          {"operation": "check_access", "granted": 1})
        self.assertTrue(self.mcu.wait_for(lambda: self.mcu.answers(), TIMEOUT))
        self.wait_record("GRANT_ACCEESS: no card awaits a decision\n")
        self.assertEqual(self.mcu.answers(), [(0x25, 1, bytes.fromhex("0A0B0C"))])

    def test_cards_are_not_polled_while_active_but_not_online(self):
        self.activate(interval=1, online=0)
        self.mcu.card(1, bytes.fromhex("0A0B0C"))
        self.server.wait_for_requests(len(self.server.requests()) + 2)
        self.assertEqual(self.server.messages("check_access"), [])
        self.assertEqual(self.mcu.acks(), [])


class ClockTest(CloudTest):

    def test_the_controller_clock_follows_the_system_clock_beyond_3_seconds(self):
        self.mcu.clock_set(time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(time.time() + 2)))
        self.activate(interval=5)
        self.server.wait_for_requests(2)
        # Three more clock-block reads (each one at least two ReadMem requests)
        # without a correction.
        before = self.clock_reads()
        self.assertTrue(self.mcu.wait_for(lambda: self.clock_reads() >= before + 6, TIMEOUT))
        self.assertEqual(self.record_count("Time DIFF: 2 sec. Sync Controller Time\n"), 0)
        self.assertFalse(any(r.startswith("Time DIFF") for r in self.board.records()))

        self.mcu.clock_set(time.strftime("%Y-%m-%d %H:%M:%S",
                                         time.localtime(time.time() - 600)))
        self.wait_record(lambda r: r.startswith("Time DIFF: -"))
        self.assertTrue(self.mcu.wait_for(lambda: abs(self.mcu_time() - time.time()) <= 2, 5))

    def clock_reads(self):
        return sum(1 for r in self.mcu.requests() if r[5] == 0x02 and r[8] == 0xD0)

    def mcu_time(self):
        text, _ = self.mcu.clock_get()
        return time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))

    def test_a_mode_change_travels_in_the_next_ping(self):
        self.activate(interval=1)
        self.mcu.mode(3)
        self.wait_record("Change MODE: 03\n")
        self.assertTrue(self.server.wait_for(
            lambda: any(m.get("mode") == 3 for m in self.server.messages("ping")), TIMEOUT))


class AfterYear2038Test(CloudTest):
    """cloudd with its clock in 2040: the server's date sets the system clock,
    the controller clock follows the system clock, events carry the year."""

    clock_shift = tq8sys.AFTER_2038 - int(time.time())

    def test_dates_after_2038_set_the_clocks_and_date_the_events(self):
        self.board.env["TZ"] = "UTC0"
        self.mcu.event(event(4))
        self.activate(interval=5, date="2040-06-01 12:30:00")
        # The system clock: seconds past 2^31.
        self.wait_record("Set Local Time To Server Time\n")
        self.assertEqual(self.board.read("var/run/system-clock").split()[0],
                         str(calendar.timegm((2040, 6, 1, 12, 30, 0))))
        # The controller clock, from the system clock (whose setting the
        # off-board run only records): 2040, BCD year 0x40.
        self.wait_record(lambda r: r.startswith("Time DIFF: -"))
        self.assertTrue(self.mcu.wait_for(
            lambda: self.mcu.clock_get()[0].startswith("2040-06-01 12:0"), TIMEOUT),
            self.mcu.clock_get())
        self.assertEqual(self.mcu.peek(0, 0xD0, 6, 1), b"\x40")
        # The event carries the year of the system clock.
        [reported] = self.server.wait_for_message("events", timeout=TIMEOUT)["events"]
        self.assertEqual(reported["time"], "2040-03-05 12:34:56")


if __name__ == "__main__":
    tq8sys.loopback_up()
    unittest.main()
