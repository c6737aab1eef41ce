"""The I2C socket and ready-line file of a running mcuemu, checked byte by byte
with a raw client: what any program's platform layer relies on."""

import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mcuemu  # noqa: E402  (only to find and start the program)

ENOENT_WAIT = 10.0
SERIAL, MODEL = 1234567, 0x0A0B
EIO, ENXIO = 5, 6


def checksum_ok(frame):
    return sum(frame[1:]) % 256 == 0


def request(command, p1=0, p2=0, data=b"", seq=1):
    start = 0x20 if command == 0 else 0x1F
    frame = bytearray([start, 0, 8 + len(data), 0x09, seq, command, 0x02, p1, p2]) + bytes(data)
    frame[1] = (-sum(frame[2:])) % 256
    return bytes(frame)


def write_mem(bus, type_, address, data, seq=1):
    return request(0x03, bus, type_, bytes([len(data), address >> 8, address & 0xFF]) + data, seq)


def read_mem(bus, type_, address, size, seq=1):
    return request(0x02, bus, type_, bytes([size, address >> 8, address & 0xFF]), seq)


class Bus:
    """One raw connection to the I2C socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(5)
        self.sock.connect(path)

    def close(self):
        self.sock.close()

    def _exchange(self, header, data=b""):
        self.sock.sendall(bytes(header) + bytes(data))
        head = self._recv(2)
        return head[0], self._recv(head[1])

    def _recv(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("closed")
            out += chunk
        return out

    def address(self, addr, forced=0):
        return self._exchange([ord("A"), addr, forced, 0])

    def write(self, register, data):
        return self._exchange([ord("W"), register, len(data), 0], data)

    def read(self, register, count):
        return self._exchange([ord("R"), register, count, 0])

    def write_frame(self, frame, after_each=None):
        for at in range(0, len(frame), 32):
            status, data = self.write(at, frame[at:at + 32])
            assert (status, data) == (0, b""), (status, data)
            if after_each:
                after_each(at)

    def read_reply(self):
        status, head = self.read(0, 9)
        assert status == 0 and len(head) == 9
        reply = head
        at = 9
        while at <= head[2]:
            status, part = self.read(at, min(32, head[2] + 1 - at))
            assert status == 0
            reply += part
            at += 32
        return reply


class SocketContract(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="mcuemu-contract-")
        cls.socket_path = os.path.join(cls.root, "dev", "i2c-0")
        cls.value_path = os.path.join(cls.root, "sys/class/gpio/gpio14/value")
        cls.process = subprocess.Popen(
            [mcuemu._binary(), "--root", cls.root, "--serial", str(SERIAL), "--model", hex(MODEL)],
            stdout=subprocess.PIPE, text=True)
        # The GPIO files must be there by the time the socket first accepts.
        cls.files_before_accept = None
        deadline = time.monotonic() + ENOENT_WAIT
        while time.monotonic() < deadline and cls.files_before_accept is None:
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                probe.connect(cls.socket_path)
                cls.files_before_accept = all(os.path.isfile(os.path.join(cls.root, p)) for p in (
                    "sys/class/gpio/export", "sys/class/gpio/gpio14/direction",
                    "sys/class/gpio/gpio14/value"))
            except OSError:
                time.sleep(0.001)
            finally:
                probe.close()
        ready, _, _ = select.select([cls.process.stdout], [], [], ENOENT_WAIT)
        cls.ready_line = cls.process.stdout.readline() if ready else ""

    @classmethod
    def tearDownClass(cls):
        cls.process.terminate()
        cls.exit_status = cls.process.wait(timeout=10)
        cls.process.stdout.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.bus = Bus(self.socket_path)
        self.assertEqual(self.bus.address(0x49), (0, b""))
        # Opened once, as the programs do: a replaced file would go unseen.
        self.value = os.open(self.value_path, os.O_RDONLY)

    def tearDown(self):
        os.close(self.value)
        self.bus.close()

    def level(self):
        return os.pread(self.value, 1, 0)

    def test_starts_with_gpio_files_in_place(self):
        self.assertTrue(self.ready_line.startswith("mcuemu ready "), self.ready_line)
        self.assertTrue(self.files_before_accept)

    def test_only_address_0x49_answers(self):
        self.assertEqual(self.bus.address(0x50), (0, b""))
        self.assertEqual(self.bus.write(0, b"\x1f"), (ENXIO, b""))
        self.assertEqual(self.bus.read(2, 8), (ENXIO, b""))
        self.assertEqual(self.bus.address(0x49, forced=1), (0, b""))
        self.assertEqual(self.bus.read(2, 8)[0], 0)

    def test_identity_block_at_register_2(self):
        status, block = self.bus.read(2, 15)
        self.assertEqual(status, 0)
        self.assertEqual(len(block), 15)
        self.assertEqual(struct.unpack("<II", block[:8]), (SERIAL, MODEL))
        self.assertEqual(block[8] & 0x80, 0)
        self.assertEqual(self.bus.read(2, 8), (0, block[:8]))

    def test_framed_request_in_chunks_and_ready_line(self):
        inode = os.stat(self.value_path).st_ino
        payload = bytes(range(100, 160))  # 60 bytes: a frame of 72, written as 32 + 32 + 8
        frame = write_mem(0, 0xA0, 0x0400, payload, seq=0x33)
        self.bus.write_frame(request(0x00))  # leaves the line at '1'
        self.assertEqual(self.level(), b"1")
        levels = []
        self.bus.write_frame(frame, after_each=lambda at: levels.append(self.level()))
        self.assertEqual(levels, [b"0", b"0", b"1"])
        self.assertEqual(os.stat(self.value_path).st_ino, inode, "the value file was replaced")

        reply = self.bus.read_reply()
        self.assertEqual(reply[0], 0x00)
        self.assertEqual(reply[2], 8)
        self.assertEqual(reply[3:6], bytes([0x09, 0x33, 0x03]))
        self.assertTrue(checksum_ok(reply))

        self.bus.write_frame(read_mem(0, 0xA0, 0x0400, 60, seq=0x34))
        self.assertEqual(self.level(), b"1")
        reply = self.bus.read_reply()
        self.assertEqual(reply[2], 68)
        self.assertEqual(reply[4], 0x34)
        self.assertTrue(checksum_ok(reply))
        self.assertEqual(reply[9:], payload)
        # The data reads at 9, 41 and 73 are plain offsets into the reply.
        self.assertEqual(self.bus.read(41, 28), (0, payload[32:60]))

    def test_rejected_request(self):
        frame = bytearray(read_mem(0, 0xA0, 0, 8))
        frame[1] ^= 0x01
        self.bus.write_frame(bytes(frame))
        self.assertEqual(self.level(), b"1")
        status, head = self.bus.read(0, 9)
        self.assertEqual(status, 0)
        self.assertEqual((head[0], head[2]), (0x02, 8))

    def test_every_count_from_1_to_32(self):
        for n in range(1, 33):
            status, data = self.bus.read(0, n)
            self.assertEqual((status, len(data)), (0, n))
            self.assertEqual(self.bus.write(200, bytes(n)), (0, b""))
        for bad in (0, 33):
            status, data = self.bus.read(0, bad)
            self.assertNotEqual(status, 0)
            self.assertEqual(data, b"")

    def test_boot_loader_writes_at_0xff(self):
        self.bus.write_frame(request(0x00))
        self.assertEqual(self.level(), b"1")
        self.assertEqual(self.bus.write(0xFF, b"FWUPDATE" + b"\xff" * 4), (0, b""))
        self.assertEqual(self.level(), b"0")
        self.assertEqual(self.bus.read(2, 15)[1][8] & 0x80, 0x80)
        self.assertEqual(self.bus.write(0xFF, b"FWUPDONE" + bytes(4)), (0, b""))
        self.assertEqual(self.level(), b"1")
        self.assertEqual(self.bus.read(2, 15)[1][8] & 0x80, 0)

    def test_closed_connections_leave_others_served(self):
        other = Bus(self.socket_path)
        other.address(0x49)
        half = Bus(self.socket_path)
        half.sock.sendall(b"W\x00")  # a request cut short
        half.close()
        broken = Bus(self.socket_path)
        broken.sock.sendall(b"W\x00\x20\x00" + read_mem(0, 0xA0, 0, 8))  # data missing
        broken.close()
        # Two programs taking turns on the bus.
        self.bus.write_frame(request(0x07, 1))
        other.write_frame(read_mem(0, 0xA0, 0x00BE, 2))
        self.assertEqual(other.read_reply()[9:], b"\x00\xc0")
        self.assertEqual(self.bus.read(2, 8)[0], 0)
        other.close()
        self.assertEqual(self.bus.read(2, 8)[0], 0)

    def test_unknown_operation_is_refused(self):
        self.assertNotEqual(self.bus._exchange([ord("X"), 0, 1, 0])[0], 0)
        self.assertEqual(self.bus.read(2, 8)[0], 0)


if __name__ == "__main__":
    unittest.main()
