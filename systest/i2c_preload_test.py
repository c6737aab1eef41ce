"""The I2C preload library (i2c_preload.c) against mcuemu: its open() and
ioctl() answer as the kernel's i2c-dev driver would, transfer by transfer.
The library's functions are called directly (ctypes), as a program that
has it preloaded calls them.

    TQ8_PRELOAD=build/systest/libtq8_i2c_preload.so MCUEMU=build/bin/mcuemu \\
      python3 systest/i2c_preload_test.py
"""

import ctypes
import errno
import os
import unittest

import tq8sys
from tq8sys import Board

I2C_SLAVE, I2C_SLAVE_FORCE, I2C_SMBUS = 0x0703, 0x0706, 0x0720
I2C_SMBUS_READ, I2C_SMBUS_WRITE = 1, 0
I2C_SMBUS_BYTE_DATA, I2C_SMBUS_I2C_BLOCK_BROKEN, I2C_SMBUS_I2C_BLOCK_DATA = 2, 6, 8


class SmbusData(ctypes.Structure):
    _fields_ = [("block", ctypes.c_uint8 * 34)]


class SmbusIoctlData(ctypes.Structure):
    _fields_ = [("read_write", ctypes.c_uint8), ("command", ctypes.c_uint8),
                ("size", ctypes.c_uint32), ("data", ctypes.POINTER(SmbusData))]


def load_library():
    path = os.environ.get("TQ8_PRELOAD") or os.path.join(
        tq8sys.SOURCE, "build", "systest", "libtq8_i2c_preload.so")
    lib = ctypes.CDLL(path, use_errno=True)
    lib.open.argtypes = [ctypes.c_char_p, ctypes.c_int]
    lib.ioctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p]
    lib.close.argtypes = [ctypes.c_int]
    return lib


LIB = load_library()


class PreloadTest(unittest.TestCase):

    def setUp(self):
        self.board = Board(serial=1234567, model=0x0642)
        self.addCleanup(self.board.close)
        self.log = self.board.path("preload.log")
        os.environ["TQ8_I2C_PRELOAD_LOG"] = self.log
        self.addCleanup(os.environ.pop, "TQ8_I2C_PRELOAD_LOG", None)
        self.mcu = self.board.mcu
        self.fd = self.open(self.board.path("dev/i2c-0"))
        self.assertGreaterEqual(self.fd, 0, os.strerror(ctypes.get_errno()))
        self.addCleanup(self.close_node)

    def close_node(self):
        if self.fd >= 0:
            LIB.close(self.fd)
            self.fd = -1

    def open(self, path):
        return LIB.open(path.encode(), os.O_RDWR | os.O_CLOEXEC)

    def ioctl(self, request, argument):
        """(result, errno) of one ioctl on the node."""
        ctypes.set_errno(0)
        result = LIB.ioctl(self.fd, request, argument)
        return result, ctypes.get_errno() if result < 0 else 0

    def smbus(self, read_write, command, size, block):
        data = SmbusData()
        for i, byte in enumerate(block):
            data.block[i] = byte
        args = SmbusIoctlData(read_write, command, size, ctypes.pointer(data))
        result = self.ioctl(I2C_SMBUS, ctypes.addressof(args))
        return result, bytes(data.block)

    def log_lines(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def test_block_transfers_carry_the_count_byte_and_the_size_codes(self):
        self.assertEqual(self.ioctl(I2C_SLAVE, 0x49), (0, 0))
        identity = self.mcu.identity()
        # The count in block[0] selects the length; the bytes follow it.
        result, block = self.smbus(I2C_SMBUS_READ, 2, I2C_SMBUS_I2C_BLOCK_DATA, [8])
        self.assertEqual(result, (0, 0))
        self.assertEqual(block[0], 8)
        self.assertEqual(block[1:9], identity[:8])
        # The size code without a count byte reads a whole block, whatever
        # block[0] held.
        result, block = self.smbus(I2C_SMBUS_READ, 2, I2C_SMBUS_I2C_BLOCK_BROKEN, [3])
        self.assertEqual(result, (0, 0))
        self.assertEqual(block[0], 32)
        self.assertEqual(block[1:1 + len(identity)], identity)
        # A write sends block[1..count] at the command byte, with either code.
        for size in (I2C_SMBUS_I2C_BLOCK_BROKEN, I2C_SMBUS_I2C_BLOCK_DATA):
            self.mcu.clear_logs()
            result, _ = self.smbus(I2C_SMBUS_WRITE, 40, size, [5, 1, 2, 3, 4, 5, 6, 7])
            self.assertEqual(result, (0, 0))
            self.assertEqual(self.mcu.transfers(), [("W", 40, 5, 0, bytes([1, 2, 3, 4, 5]))])
        lines = self.log_lines()
        self.assertEqual(lines[0], "open %d %s" % (os.getpid(), self.board.path("dev/i2c-0")))
        self.assertEqual([line.split()[0] for line in lines[1:]], ["A", "R", "R", "W", "W"])

    def test_failures_come_back_as_the_errno_of_the_ioctl(self):
        # Another slave: selected, but nothing answers there.
        self.assertEqual(self.ioctl(I2C_SLAVE_FORCE, 0x50), (0, 0))
        result, _ = self.smbus(I2C_SMBUS_READ, 2, I2C_SMBUS_I2C_BLOCK_DATA, [8])
        self.assertEqual(result, (-1, errno.ENXIO))
        self.assertEqual(self.mcu.transfers()[0][:4], ("A", 0x50, 1, 0), "forced")
        # Refused before anything reaches the bus, as i2c-dev refuses them.
        self.assertEqual(self.ioctl(I2C_SLAVE, 0x80), (-1, errno.EINVAL))
        self.assertEqual(self.ioctl(I2C_SLAVE, 0x49), (0, 0))
        self.mcu.clear_logs()
        for count in (0, 33, 255):
            result, _ = self.smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_I2C_BLOCK_DATA, [count])
            self.assertEqual(result, (-1, errno.EINVAL), count)
            result, _ = self.smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_I2C_BLOCK_DATA, [count])
            self.assertEqual(result, (-1, errno.EINVAL), count)
        result, _ = self.smbus(7, 0, I2C_SMBUS_I2C_BLOCK_DATA, [1])
        self.assertEqual(result, (-1, errno.EINVAL), "neither read nor write")
        self.assertEqual(self.mcu.transfers(), [])
        # What the socket cannot carry fails and is logged, so a test notices.
        result, _ = self.smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, [0])
        self.assertEqual(result, (-1, errno.EOPNOTSUPP))
        self.assertEqual(self.ioctl(0x0705, 0), (-1, errno.ENOTTY))  # I2C_FUNCS
        self.assertEqual(sum(line.startswith("unsupported") for line in self.log_lines()), 2)

    def test_a_broken_connection_fails_this_and_every_later_transfer_with_eio(self):
        self.assertEqual(self.ioctl(I2C_SLAVE, 0x49), (0, 0))
        self.mcu.drop()
        result, _ = self.smbus(I2C_SMBUS_READ, 2, I2C_SMBUS_I2C_BLOCK_DATA, [8])
        self.assertEqual(result, (-1, errno.EIO))
        self.assertEqual(self.ioctl(I2C_SLAVE, 0x49), (-1, errno.EIO))

    def test_other_paths_and_descriptors_are_left_to_the_c_library(self):
        self.assertEqual(self.open(self.board.path("dev/i2c/0")), -1)
        self.assertEqual(ctypes.get_errno(), errno.ENOENT)
        fd = self.open(self.board.path("sys/class/gpio/gpio14/value"))
        self.assertGreaterEqual(fd, 0)
        self.assertEqual(os.read(fd, 1), b"0")
        LIB.close(fd)
        # A closed node's number is no node any more.
        node = self.fd
        self.assertEqual(LIB.close(node), 0)
        self.fd = -1
        ctypes.set_errno(0)
        self.assertEqual(LIB.ioctl(node, I2C_SLAVE, 0x49), -1)
        self.assertEqual(ctypes.get_errno(), errno.EBADF)
        self.assertEqual(self.log_lines(), ["open %d %s" % (os.getpid(), self.board.path("dev/i2c-0"))])


if __name__ == "__main__":
    unittest.main()
