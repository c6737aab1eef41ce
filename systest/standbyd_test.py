"""standbyd as a process: its start-up records, its discovery reply, its
identity poll, both ways of starting it, and its end by a signal."""

import os
import signal
import socket
import unittest

import tq8sys
from tq8sys import Board, udp_request

USAGE = "Usage ./standbyd -d for daemon or ./standbyd -i for interactive\n"
REPLY = (b"TQ8-HUB-SW:1.0.166 SN123 L1_Port:0 L2_Port:0000 "
         b"L1_Conn:0.0.0.0 L2_Conn:0.0.0.0 Lock:0")


def children_named(name):
    """Pids of this process's children that run program `name` (its command
    name, or a program path ending in it when a launcher such as qemu-user
    runs it)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        command = stat[stat.index("(") + 1:stat.rindex(")")]
        parent = int(stat[stat.rindex(")") + 2:].split()[1])
        if parent != os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                arguments = f.read().decode("latin-1").split("\0")
        except OSError:
            continue
        if command == name or any(os.path.basename(a) == name for a in arguments[:8]):
            pids.append(int(entry))
    return pids


class StandbyTest(unittest.TestCase):

    def setUp(self):
        self.board = Board(serial=4242, model=0x0642)
        self.addCleanup(self.board.close)
        self.addCleanup(lambda: self.assertEqual(self.board.sanitizer_reports(), []))
        self.board.write_config({"INFO": {"SERIAL_NUMBER": 123}})

    def test_starts_in_order_answers_probes_and_polls_the_identity(self):
        daemon = self.board.start("standbyd", "-i")
        self.assertTrue(self.board.wait_for_record("Start OFFLINE \n"))
        self.assertTrue(self.board.wait_for_record("SN=04242 Model=0642\n"))
        start_up = [r for r in self.board.records() if not r.startswith("SN=04242")]
        self.assertEqual(start_up, ["SN=123\n",
                                    "Start Offline_Daemon as programm\n",
                                    "ThreadScan created successfully\n",
                                    "ThreadCtrl created successfully\n",
                                    "Start OFFLINE \n"])

        # A datagram of the probe's first 10 bytes is not answered; a whole
        # probe from another port is, at that port.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as short:
            short.sendto(b"SEEK W642I", ("127.0.0.1", 9000))
            self.assertEqual(udp_request(b"SEEK W642IP\0\0", 9000), REPLY)
            short.setblocking(False)
            with self.assertRaises(BlockingIOError):
                short.recv(4096)
        self.assertEqual(self.board.records().count("SEEK from 127.0.0.1\n"), 1)
        self.assertIsNone(daemon.poll())

    def test_sigterm_releases_the_bus_lock_and_exits_with_0(self):
        daemon = self.board.start("standbyd", "-i")
        self.assertTrue(self.board.wait_for_record("SN=04242 Model=0642\n"))
        self.assertEqual(daemon.stop(signal.SIGTERM), 0)
        self.assertIn("Caught signal 15\n", self.board.records())
        session = self.board.run("link-session", timeout=5)
        self.assertEqual(session.returncode, 0, session.stdout)
        self.assertIn("identity: serial number 4242", session.stdout)

    def test_daemon_mode_forks_a_session_leader_and_the_parent_exits_with_0(self):
        tq8sys.become_subreaper()
        parent = self.board.start("standbyd", "-d")
        self.assertEqual(parent.wait(), 0)
        self.assertTrue(self.board.wait_for_record("Start OFFLINE \n"))
        [child] = children_named("standbyd")
        try:
            self.assertEqual(os.getsid(child), child)
            self.assertIn("Start Offline_Daemon as daemon\n", self.board.records())
            self.assertEqual(udp_request(b"SEEK W642IP", 9000), REPLY)
        finally:
            os.kill(child, signal.SIGTERM)
            _, status = os.waitpid(child, 0)
        self.assertTrue(os.WIFEXITED(status))
        self.assertEqual(os.WEXITSTATUS(status), 0)

    def test_any_other_argument_gets_the_usage_line(self):
        for args in ([], ["-x"], ["-d", "-i"]):
            result = self.board.run("standbyd", *args)
            self.assertEqual((result.returncode, result.stdout), (1, USAGE), args)

    def test_a_discovery_port_in_use_ends_the_daemon_with_status_1(self):
        tq8sys.check_taken_discovery_port_ends(
            self, self.board, lambda: self.board.start("standbyd", "-i"))


if __name__ == "__main__":
    tq8sys.loopback_up()
    unittest.main()
