"""mcuemu as the system tests use it: start-up options, the control commands
through the Python module, and how the program stops."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mcuemu import Mcuemu, McuemuError, make_root, _binary  # noqa: E402
from socket_contract_test import Bus, read_mem, request, write_mem  # noqa: E402


class Layout(unittest.TestCase):
    def test_lays_out_a_root_and_keeps_existing_files(self):
        root = make_root()
        self.addCleanup(shutil.rmtree, root)
        for d in ("etc/config/tq8hub", "dev", "var/log", "var/run", "proc/net", "proc/bus", "root"):
            self.assertTrue(os.path.isdir(os.path.join(root, d)), d)
        self.assertEqual(os.path.getsize(os.path.join(root, "dev/kmsg")), 0)
        with open(os.path.join(root, "proc/net/route")) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("Iface\tDestination"))

        route = os.path.join(root, "proc/net/route")
        with open(route, "a") as f:
            f.write("eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n")
        subprocess.run([_binary(), "--root", root, "--layout-only"], check=True)
        with open(route) as f:
            self.assertIn("eth0\t00000000", f.read())


class Control(unittest.TestCase):
    def setUp(self):
        self.root = make_root()
        self.addCleanup(shutil.rmtree, self.root)
        self.mcu = Mcuemu(self.root, "--serial", "1234567", "--model", "0x0642", "--flags", "0x0A",
                          "--fw", "2.5", "--clock", "2026-03-05 12:34:56", "--frozen").start()
        self.addCleanup(self.mcu.stop)
        self.bus = Bus(self.mcu.i2c_path)
        self.addCleanup(self.bus.close)
        self.bus.address(0x49)

    def transact(self, frame):
        self.bus.write_frame(frame)
        return self.bus.read_reply()

    def test_start_options_set_identity_params_and_clock(self):
        ident = self.mcu.identity()
        self.assertEqual(ident[:8], bytes.fromhex("87D61200 42060000"))
        self.assertEqual(self.mcu.params(), (0, 0x0A, "2.5"))
        self.assertEqual(self.transact(request(0x00))[9:], bytes([0, 0x0A, 2, 5]))
        self.assertEqual(self.mcu.clock_get(), ("2026-03-05 12:34:56", False))
        self.assertEqual(self.mcu.peek(0, 0xD0, 0, 7), bytes([0x56, 0x34, 0x12, 4, 5, 3, 0x26]))

    def test_cards_and_external_events_reach_get_external(self):
        self.mcu.card(1, bytes.fromhex("A1B2C3D4E5F6"))
        self.mcu.ext_events([bytes(range(8)), bytes(range(8, 16))])
        self.assertEqual(self.mcu.ext_events(), 2)
        self.assertEqual(self.transact(request(0x0F, seq=5))[9:], bytes.fromhex("21A1B2C3D4E5F6"))
        self.transact(request(0x0F, data=bytes.fromhex("2501A1B2C3D4E5F6")))
        self.assertEqual(self.transact(request(0x0F))[9], 2)
        self.transact(request(0x0F, data=b"\x02"))
        self.assertEqual(self.mcu.ext_events(), 0)
        self.assertEqual(self.mcu.answers(), [(0x25, 1, bytes.fromhex("A1B2C3D4E5F6"))])
        self.assertEqual(self.mcu.acks(), [0, 0, 2])
        # The answer is timed from the card's presentation; one that no
        # presented card waited for is not.
        self.transact(request(0x0F, data=bytes.fromhex("2300A1B2C3D4E5F6")))
        (code, reader, card, ms), untimed = self.mcu.decisions()
        self.assertEqual((code, reader, card), (0x25, 1, bytes.fromhex("A1B2C3D4E5F6")))
        self.assertGreaterEqual(ms, 0)
        self.assertEqual(untimed[3], None)
        self.assertEqual(self.mcu.decisions(1), [untimed])
        self.assertEqual(self.mcu.decisions(5), [])

    def test_memory_ring_and_door_state(self):
        self.mcu.poke(0, 0xA0, 0x00C0, bytes.fromhex("0A1B2C3D4E5F0000"))
        self.assertEqual(self.mcu.peek(0, 0xA0, 0x00BE, 10), bytes.fromhex("00C8 0A1B2C3D4E5F0000"))
        self.assertEqual(self.transact(read_mem(0, 0xA0, 0x00C0, 6))[9:], bytes.fromhex("0A1B2C3D4E5F"))
        self.mcu.fill_keys(0x55)
        self.assertEqual(self.mcu.peek(1, 0xA0, 0x00BE, 2), b"\x00\xc0")

        self.mcu.event(bytes.fromhex("0400C80305123456"), bytes.fromhex("1234120305123457"))
        self.assertEqual(self.mcu.ring(), (16, 0))
        self.transact(write_mem(0, 0xD0, 0x000A, b"\x00\x08"))
        self.assertEqual(self.mcu.ring(), (16, 8))
        self.assertEqual(self.mcu.peek(2, 0xA0, 8, 8), bytes.fromhex("1234120305123457"))

        self.mcu.mode(2)
        self.assertEqual(self.mcu.peek(0, 0xD0, 7, 1), b"\x20")
        self.transact(request(0x16, data=b"\x01"))
        self.transact(request(0x07, 1))
        self.transact(request(0x0B, data=b"INIT"))
        self.assertEqual((self.mcu.mode(), self.mcu.modes(), self.mcu.doors(), self.mcu.service()),
                         (1, [1], [1], ["INIT"]))
        # Texts from the bus cannot end the reply early or split it.
        self.transact(request(0x0B, data=b"OK"))
        self.transact(request(0x0B, data=b"A\nB\\"))
        self.assertEqual(self.mcu.service(), ["INIT", "OK", "A\nB\\"])

    def test_config_fire_and_key_mode(self):
        block = bytes(range(80))
        self.mcu.config(block)
        self.assertEqual(self.transact(request(0x0D))[9:], block)
        self.mcu.fire(1)
        self.assertEqual(self.transact(request(0x13))[9:], b"\x00\x00\x01")
        self.transact(request(0x13, data=b"\x00"))
        self.assertFalse(self.mcu.fire())
        self.mcu.keymode(5)
        self.assertEqual(self.transact(request(0x66))[9:], b"\x05")

    def test_logs_faults_and_boot_state(self):
        self.mcu.clear_logs()
        frame = read_mem(0, 0xA0, 0x00C0, 8)
        self.mcu.fault("rejected", count=1, cmd=2)
        self.assertEqual(self.transact(frame)[0], 0x02)
        self.assertEqual(self.transact(frame)[0], 0x00)
        self.assertEqual(self.mcu.requests(), [frame, frame])
        transfers = self.mcu.transfers()
        self.assertEqual(transfers[0], ("W", 0, 12, 0, frame))
        self.assertEqual(transfers[1][:4], ("R", 0, 9, 0))
        self.assertTrue(self.mcu.ready())

        self.assertIn("noready", self.mcu.fault_kinds())
        self.mcu.fault("noready", cmd="any")
        self.bus.write_frame(frame)
        self.assertFalse(self.mcu.ready())
        self.mcu.clear_faults()

        self.mcu.bootloader(True)
        self.assertEqual(self.bus.read(2, 15)[1][8] & 0x80, 0x80)
        self.bus.write(0xFF, b"FWUPDONE\x00\x01\x00\x00")
        self.assertEqual(self.mcu.boot(), {"mode": "normal", "entries": 0, "headers": ["FWUPDONE 00000100"],
                                           "records": [], "done": 0x100})

    def test_drop_closes_bus_connections(self):
        self.mcu.drop()
        with self.assertRaises(ConnectionError):
            self.bus.read(2, 8)
        again = Bus(self.mcu.i2c_path)
        self.addCleanup(again.close)
        self.assertEqual(again.address(0x49), (0, b""))

    def test_bad_commands_fail_clearly_and_change_nothing(self):
        before = self.mcu.peek(0, 0xA0, 0, 16)
        for line in ("poke 0 0xA0 0 0G", "poke 0 0xA0 0xFFFF 0102", "poke 0 0xA0 65536 00",
                     "peek 0 0xD0 0 13", "peek 9 0xA0 0 1", "fault melt", "fault noready count=0",
                     "clock set '2026-02-30 00:00:00'", "card 2 00", "event 0102", "identity raw 00",
                     "config 00", "mode 4", "frobnicate", "clock set 'unbalanced", "", "params 1 2 3"):
            with self.assertRaises(McuemuError, msg=line):
                self.mcu.command(line)
        self.assertEqual(self.mcu.peek(0, 0xA0, 0, 16), before)
        self.assertEqual(self.mcu.ring(), (0, 0))
        self.assertEqual(self.transact(read_mem(0, 0xA0, 0, 16))[0], 0, "no fault was armed")

    def test_several_control_clients(self):
        other = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(other.close)
        other.connect(self.mcu.control_path)
        other.sendall(b"keymode 2\nkeymode\n")
        reply = b""
        while reply.count(b"OK\n") < 2:
            reply += other.recv(100)
        self.assertEqual(reply, b"OK\n2\nOK\n")
        self.assertEqual(self.mcu.keymode(), 2)


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.root = make_root()
        self.addCleanup(shutil.rmtree, self.root)

    def sockets_gone(self, mcu):
        return not os.path.exists(mcu.i2c_path) and not os.path.exists(mcu.control_path)

    def test_quit_and_signals_stop_cleanly(self):
        mcu = Mcuemu(self.root).start()
        self.assertEqual(mcu.quit(), 0)
        self.assertTrue(self.sockets_gone(mcu))
        for sig in (signal.SIGTERM, signal.SIGINT):
            mcu = Mcuemu(self.root).start()
            mcu.process.send_signal(sig)
            self.assertEqual(mcu.process.wait(timeout=10), 0)
            mcu.stop()
            self.assertTrue(self.sockets_gone(mcu), sig)

    def test_a_second_emulator_on_the_same_root_is_refused(self):
        with Mcuemu(self.root):
            second = subprocess.run([_binary(), "--root", self.root, "--control", self.root + "/b.ctl"],
                                    capture_output=True, text=True, timeout=10)
            self.assertEqual(second.returncode, 1)
            self.assertIn("another emulator", second.stderr)

    def test_bad_options_are_refused(self):
        for args in (["--serial", "12x"], ["--fw", "1"], ["--clock", "yesterday"], ["--device", "dev/sda"],
                     ["--bogus", "1"], []):
            run = subprocess.run([_binary()] + (["--root", self.root] if args else []) + args,
                                 capture_output=True, text=True, timeout=10)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn("usage: mcuemu", run.stderr)

    def test_a_client_that_leaves_early_does_not_kill_it(self):
        with Mcuemu(self.root) as mcu:
            for _ in range(20):
                c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                c.connect(mcu.control_path)
                c.sendall(b"transfers\nhelp\n" * 50)
                c.close()
                b = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                b.connect(mcu.i2c_path)
                b.sendall(b"R\x02\x08\x00" * 100)
                b.close()
            self.assertEqual(mcu.mode(), 0)
            self.assertIsNone(mcu.process.poll())


if __name__ == "__main__":
    unittest.main()
