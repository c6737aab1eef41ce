"""bridged as a process: a test PC speaks the converter line protocol to it
over TCP (as client and as server), the emulated MCU answers the frames it
relays, and the kernel log, the statistics file and the discovery reply
show what it did."""

import os
import random
import re
import signal
import socket
import unittest

import tq8sys
from tq8sys import Board, free_port, receive, tcp_connect, udp_request

BANNER_END = b"Current mode - Advanced\r\n"
BANNER = (b"TQ8-HUB converter S/N:00042\r\n"
          b"TQ8 Hub Systems, tel. +00 100 200 300, fax +00 100 200 301\r\n"
          b"(c) TQ8 Hub Systems. All rights reserved.\r\n"
          b"www.tq8hub.example\r\n"
          b"Version 1.0.166 build Dec 25 2023 13:04:52\r\n"
          b"----------------------------------\r\n" + BANNER_END)
IDENTITY = b"TQ8-HUB S/N:00042,Mode:1,SECRET\r\n"
UNRECOGNISED = b"\x02HJ"
KEYS = bytes.fromhex("0A1B2C3D4E5F00FF" "1122334455662003")


def read_mem_request(bus, type_, address, size, sequence):
    """A ReadMem frame as the PC builds it: bytes 0 .. L, checksum sealed."""
    frame = bytearray([0x1F, 0, 11, 0x09, sequence, 0x02, 0x02, bus, type_,
                       size, address >> 8, address & 0xFF])
    frame[1] = -sum(frame[2:]) & 0xFF
    return bytes(frame)


def encode_request(frame):
    """The PC's request line: the start byte, bytes 1 .. L as text, CR."""
    text = bytearray([frame[0]])
    body = frame[1:]
    for first in range(0, len(body), 4):
        group = body[first:first + 4].ljust(4, b"\0")
        carrier = sum((b >> 7) << (3 - k) for k, b in enumerate(group))
        text.append(carrier ^ 0xCA)
        for b in group:
            t = b & 0x7F
            text.append(t ^ 0xCA if t <= 0x20 else t)
    text.append(0x0D)
    return bytes(text)


def decode_reply(text):
    """The PC's reading of a reply text (without its status byte): bytes 1 .."""
    frame = bytearray()
    for at in range(0, len(text) - 4, 5):
        carrier = text[at + 4] ^ 0xCA
        for k in range(4):
            c = text[at + k]
            t = c ^ 0xCA if c >= 0x80 else c
            frame.append(t | ((carrier >> k) & 1) << 7)
    return bytes(frame)


def discovery_reply(port, address):
    return ("TQ8-HUB-SW:1.0.166 SN42 L1_Port:%d L2_Port:0000 L1_Conn:%s L2_Conn:%s Lock:0"
            % (port, address, address)).encode()


class BridgeTest(unittest.TestCase):
    """One board and one bridged per test."""

    def setUp(self):
        self.board = Board(serial=1234567, model=0x0642)
        self.addCleanup(self.board.close)
        self.addCleanup(lambda: self.assertEqual(self.board.sanitizer_reports(), []))
        self.board.mcu.poke(1, 0xA0, 0x0100, KEYS)
        self.port = free_port()

    def start_bridge(self, settings):
        """Starts bridged -i with {(section, key): value} over the test's defaults;
        the daemon's Process."""
        config = {"INFO": {"SERIAL_NUMBER": 42},
                  "COMMON": {"AUTH_KEY": "SECRET"},
                  "TCP_SERVER": {"LOCAL_PORT": self.port}}
        for (section, key), value in settings.items():
            config.setdefault(section, {})[key] = value
        self.board.write_config(config)
        self.bridge = self.board.start("bridged", "-i")
        return self.bridge

    def start_server(self, allowed="255.255.255.255", mode="SERVER"):
        self.start_bridge({("TCP_SERVER", "ALLOWED_IP"): allowed, ("COMMON", "MODE"): mode})
        self.assertTrue(self.board.wait_for_record(
            "Start SERVER at port %d (allowed %s)\n" % (self.port, allowed)))

    def connect(self, source=None):
        pc = tcp_connect(self.port, source=source)
        self.addCleanup(pc.close)
        self.assertTrue(self.board.wait_for_record(
            "Client %s:%d connected\n" % pc.getsockname()))
        return pc

    def read_mem(self, pc, sequence=7):
        """A ReadMem of the 16 key bytes at bus 1, 0x0100, sent as a text frame."""
        request = read_mem_request(1, 0xA0, 0x0100, 16, sequence)
        pc.sendall(encode_request(request))
        return request

    def check_read_mem_answer(self, answer, sequence=7):
        self.assertEqual(answer[0], 0x00, "status")
        self.assertEqual(answer[-1], 0x0D)
        frame = decode_reply(answer[1:-1])
        length = frame[1]
        self.assertEqual(length, 8 + 16)
        self.assertEqual(len(answer), 1 + 5 * 6 + 1, "L = 24: six groups")
        self.assertEqual(sum(frame[:length]) & 0xFF, 0xFF, "bytes 1 .. L sum to 0xFF for the PC")
        self.assertEqual(frame[3], sequence, "the PC's sequence byte echoed")
        self.assertEqual(frame[8:length], KEYS)


class ServerModeTest(BridgeTest):

    def test_banner_identification_and_unrecognised_lines(self):
        self.start_server()
        pc = self.connect()
        pc.sendall(b"i\r\n")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER)
        pc.sendall(b"\xC8\r")
        self.assertEqual(receive(pc, count=len(IDENTITY)), IDENTITY)
        pc.sendall(b"what?\r")
        self.assertEqual(receive(pc, count=3), UNRECOGNISED)

    def test_a_read_mem_text_frame_reaches_the_mcu_and_its_data_comes_back(self):
        self.start_server()
        pc = self.connect()
        request = self.read_mem(pc)
        self.check_read_mem_answer(receive(pc, count=1 + 31))
        self.assertEqual(self.board.mcu.requests(), [request], "passed on as the PC built it")

    def test_split_and_combined_lines(self):
        self.start_server()
        pc = self.connect()
        line = encode_request(read_mem_request(1, 0xA0, 0x0100, 16, 9))
        pc.sendall(b"i\r" + line[:8])
        # The banner comes once the whole first chunk has been read.
        self.assertEqual(receive(pc, until=BANNER_END), BANNER)
        self.assertEqual(self.board.mcu.requests(), [], "half a request is no request")
        pc.sendall(line[8:] + b"\xC8\r\nzz\r")
        answer = receive(pc, count=32 + len(IDENTITY) + 3)
        self.check_read_mem_answer(answer[:32], sequence=9)
        self.assertEqual(answer[32:], IDENTITY + UNRECOGNISED)
        self.assertEqual(len(self.board.mcu.requests()), 1)

    def test_a_telnet_subnegotiation_chunk_is_dropped_whole_and_counted(self):
        self.start_server()
        pc = self.connect()
        pc.sendall(b"A" * 511 + b"\r")
        self.assertEqual(receive(pc, count=3), UNRECOGNISED)
        stats = re.compile(r"00h 00m \d\ds;(.*);(.*)")

        def statistics(expected):
            def match():
                m = stats.fullmatch(self.board.read("var/log/bridged.log") or "")
                return m and m.groups() == expected
            return match

        self.assertTrue(tq8sys.wait_for(statistics(("0.5 KiB", "0.0 KiB"))))
        negotiation = b"\xFF\xFA\x18\x01" + b"i\r\xC8\r" * 24 + b"\xFF\xF0"
        pc.sendall(negotiation)
        self.assertTrue(self.board.wait_for_record("Set ADVANCED mode\n"))
        pc.sendall(b"i\r")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER, "nothing for the dropped chunk")
        received = 512 + len(negotiation) + 2
        sent = 3 + len(BANNER)
        expected = ("%d.%d KiB" % (received // 1024, received % 1024 * 10 // 1024),
                    "%d.%d KiB" % (sent // 1024, sent % 1024 * 10 // 1024))
        self.assertTrue(tq8sys.wait_for(statistics(expected)),
                        self.board.read("var/log/bridged.log"))

    def test_a_raw_request_goes_to_the_mcu_as_received(self):
        self.start_server()
        pc = self.connect()
        pc.sendall(b"L\x01\x02\x03\r")
        # Without a reply set, the emulated MCU leaves a raw line unanswered.
        self.assertTrue(self.board.wait_for_record("ERROR: WAIT TIMEOUT!\n"))
        writes = [t for t in self.board.mcu.transfers() if t[0] == "W"]
        self.assertEqual([(t[1], t[4]) for t in writes], [(0, b"L\x01\x02\x03\r")])
        pc.sendall(b"i\r")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER, "no answer for the raw line")

    def test_a_raw_request_is_answered_with_the_payload_alone(self):
        self.board.mcu.raw_reply(bytes([0x00, 0x00, 0x0B, 0x09, 0x00, 0x00, 0x02, 0x00, 0x00,
                                        0x41, 0x42, 0x43]))
        self.start_server()
        pc = self.connect()
        pc.sendall(b"l\x10\x20\ri\r")
        # One block: the three payload bytes and nothing else, then the banner.
        self.assertEqual(receive(pc, until=BANNER_END), b"ABC" + BANNER)
        self.assertEqual(self.board.mcu.requests()[-1], b"l\x10\x20\r")

    def test_garbage_and_a_pc_that_leaves_mid_line_do_not_harm_the_bridge(self):
        self.start_server()
        pc = self.connect()
        rng = random.Random(6)
        garbage = bytes(0x0D if rng.random() < 0.05 else rng.randrange(256) for _ in range(6000))
        garbage += b"X" * 3000 + b"\r"  # longer than any line buffer
        for at in range(0, len(garbage), 700):
            pc.sendall(garbage[at:at + 700])
        pc.sendall(b"i\r")
        answers = receive(pc, until=lambda data: data.endswith(UNRECOGNISED + BANNER), timeout=30)
        self.assertTrue(answers.endswith(UNRECOGNISED + BANNER), answers[-300:])

        pc.sendall(b"\x1F\xCAi")  # half a line, then gone
        pc.close()
        self.assertTrue(self.board.wait_for_record("Client 127.0.0.1 disconnected\n"))
        pc = self.connect()
        pc.sendall(b"i\r")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER,
                         "the next PC's line does not continue the last one's")
        self.assertIsNone(self.bridge.poll())

    def test_discovery_reports_the_port_and_the_connected_client(self):
        self.start_server()
        probe = tcp_connect(self.port)  # listening: the port is published
        probe.close()
        self.assertTrue(self.board.wait_for_record(lambda r: r.endswith(" disconnected\n")))
        self.assertEqual(udp_request(b"SEEK W642IP", 9000), discovery_reply(self.port, "0.0.0.0"))
        pc = self.connect(source="127.0.0.3")
        self.assertEqual(udp_request(b"SEEK W642IP with more", 9000),
                         discovery_reply(self.port, "127.0.0.3"))
        pc.close()
        self.assertTrue(self.board.wait_for_record("Client 127.0.0.3 disconnected\n"))
        self.assertEqual(udp_request(b"SEEK W642IP", 9000), discovery_reply(self.port, "0.0.0.0"))
        self.assertEqual(self.board.records().count("SEEK from 127.0.0.1\n"), 3)

    def test_a_local_port_that_is_no_port_falls_back_to_the_default(self):
        for value, shown in (("0", "0"), ("70000", "70000"), ("none", "0")):
            with self.subTest(value=value):
                os.truncate(self.board.path("dev/kmsg"), 0)
                self.start_bridge({("TCP_SERVER", "LOCAL_PORT"): value})
                self.addCleanup(self.bridge.kill)
                self.assertTrue(self.board.wait_for_record(
                    "Start SERVER at port 1000 (allowed 255.255.255.255)\n"))
                tcp_connect(1000).close()  # listening on the default port
                self.assertTrue(self.board.wait_for_record("Client 127.0.0.1 disconnected\n"))
                self.assertEqual(udp_request(b"SEEK W642IP", 9000), discovery_reply(1000, "0.0.0.0"))
                self.assertEqual(self.board.records().count(
                    "LOCAL_PORT %s is no port: serving port 1000\n" % shown), 1)
                self.assertNotIn("error bind", self.board.records())
                self.assertEqual(self.bridge.stop(), 0)

    def test_sigterm_releases_the_bus_lock_and_exits_with_0(self):
        self.start_server()
        pc = self.connect()
        mcu = self.board.mcu
        mcu.fault("noready", count=1)
        self.read_mem(pc)
        # The request is written: the bridge now waits for the ready line,
        # holding the bus lock.
        self.assertTrue(mcu.wait_for(
            lambda: any(t[0] == "W" and t[1] == 0 for t in mcu.transfers())))
        self.assertEqual(self.bridge.stop(signal.SIGTERM), 0)
        self.assertIn("Caught signal 15\n", self.board.records())
        mcu.clear_logs()
        session = self.board.run("link-session", timeout=5)
        self.assertEqual(session.returncode, 0, session.stdout)
        self.assertIn("identity: serial number 1234567", session.stdout)
        self.assertTrue(mcu.requests(), "the next program's transactions went through")

    def test_allowed_ip_refuses_every_other_address(self):
        self.start_server(allowed="127.0.0.2")
        stranger = tcp_connect(self.port)
        self.addCleanup(stranger.close)
        self.assertEqual(receive(stranger), b"", "closed without an answer")
        self.assertTrue(self.board.wait_for_record(
            "Client 127.0.0.1:%d refused: not the allowed address 127.0.0.2\n"
            % stranger.getsockname()[1]))
        pc = self.connect(source="127.0.0.2")
        pc.sendall(b"i\r")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER)

    def test_the_mode_word_must_start_with_an_upper_case_c_for_client_mode(self):
        self.start_server(mode="client")
        self.assertEqual(receive(self.connect(), timeout=0.2), b"")

    def test_arguments(self):
        for args in ([], ["-x"], ["-i", "-d"]):
            result = self.board.run("bridged", *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout,
                             "Usage ./bridged -d for daemon or ./bridged -i for interactive\n")

    def test_a_discovery_port_in_use_ends_the_daemon_with_status_1(self):
        tq8sys.check_taken_discovery_port_ends(self, self.board, lambda: self.start_bridge({}))


class ClientModeTest(BridgeTest):

    def test_connects_out_retries_after_5_s_and_reconnects_at_once(self):
        self.start_bridge({("COMMON", "MODE"): "CLIENT",
                           ("TCP_CLIENT", "REMOTE_ADDR"): "127.0.0.1",
                           ("TCP_CLIENT", "REMOTE_PORT"): self.port})
        self.assertTrue(self.board.wait_for_record("Start CLIENT to 127.0.0.1:%d\n" % self.port))
        self.assertTrue(self.board.wait_for_record("Error : Connect Failed \n"))
        self.assertEqual(udp_request(b"SEEK W642IP", 9000), discovery_reply(self.port, "127.0.0.1"),
                         "the resolved server is published before the connect")

        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", self.port))
        server.listen(1)
        server.settimeout(10)
        pc, _ = server.accept()
        self.addCleanup(pc.close)
        self.assertTrue(self.board.wait_for_record("Connected to server\n"))
        records = self.board.records()
        self.assertEqual(records.count("Error : Connect Failed \n"), 1, "5 s between attempts")
        self.assertIn("Hostname: 127.0.0.1\n", records)
        self.assertIn("IP Address: 127.0.0.1\n", records)

        pc.sendall(b"i\r")
        self.assertEqual(receive(pc, until=BANNER_END), BANNER)
        self.read_mem(pc)
        self.check_read_mem_answer(receive(pc, count=32))

        pc.close()
        self.assertTrue(self.board.wait_for_record("Disconected from server\n"))
        again, _ = server.accept()
        again.close()
        self.assertTrue(self.board.wait_for_record("Connected to server\n", count=2))
        idle = re.compile(r"00h 00m \d\ds;0\.0 KiB;0\.0 KiB")
        self.assertTrue(tq8sys.wait_for(
            lambda: idle.fullmatch(self.board.read("var/log/bridged.log") or "")),
            "a connection that ended at once still writes its statistics")


if __name__ == "__main__":
    tq8sys.loopback_up()
    unittest.main()
