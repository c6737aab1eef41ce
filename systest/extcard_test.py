"""extcard against the emulated MCU: the card record in the key mailbox,
the instance lock file and the arguments it refuses."""

import fcntl
import os
import unittest

from tq8sys import Board

WRITE_MEM = 0x03


class Extcard(unittest.TestCase):
    def setUp(self):
        self.board = Board()
        self.addCleanup(self.board.close)
        self.mcu = self.board.mcu
        self.lock_file = self.board.path("var/run/extcard.pid")

    def run_extcard(self, *args):
        return self.board.run("extcard", *args, timeout=20)

    def mailbox_writes(self):
        return [r for r in self.mcu.requests() if r[5] == WRITE_MEM]

    def test_card_goes_least_significant_first_to_the_mailbox_of_its_direction(self):
        self.mcu.poke(1, 0xA0, 0x10, bytes(6))
        other_direction = self.mcu.peek(0, 0xA0, 0x10, 6)
        result = self.run_extcard("1", "00AB12CD")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "CD 12 AB 00 \nsend 5 bytes\n")

        writes = self.mailbox_writes()
        self.assertEqual(len(writes), 1)
        frame = writes[0]
        # bus 1, type 0xA0, size 5 at 0x0010, then the record
        self.assertEqual(frame[7:12], bytes([1, 0xA0, 5, 0x00, 0x10]))
        self.assertEqual(frame[12:], bytes.fromhex("03CD12AB00"))
        self.assertEqual(self.mcu.peek(1, 0xA0, 0x10, 6), bytes.fromhex("03CD12AB0000"))
        self.assertEqual(self.mcu.peek(0, 0xA0, 0x10, 6), other_direction)

        # Created for every user, and not written into.
        self.assertEqual(os.stat(self.lock_file).st_mode & 0o777, 0o666)
        self.assertEqual(os.path.getsize(self.lock_file), 0)

    def test_odd_length_ignores_the_first_digit(self):
        result = self.run_extcard("0", "f123abc")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "BC 3A 12 \nsend 4 bytes\n")
        self.assertEqual(self.mcu.peek(0, 0xA0, 0x10, 4), bytes.fromhex("03BC3A12"))

    def test_second_instance_leaves_at_once_without_touching_the_mcu(self):
        fd = os.open(self.lock_file, os.O_RDWR | os.O_CREAT, 0o666)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        result = self.run_extcard("1", "00AB12CD")
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertEqual(self.mcu.transfers(), [])

        fcntl.flock(fd, fcntl.LOCK_UN)
        self.assertEqual(self.run_extcard("1", "00").returncode, 0)

    def test_bad_arguments_are_refused_before_anything_reaches_the_mcu(self):
        cases = [
            ((), 'Use "extcard DIR HEX_CARD"\n'),
            (("1",), 'Use "extcard DIR HEX_CARD"\n'),
            (("2", "1234"), "ERROR DIR must be 0 or 1\n"),
            (("-1", "1234"), "ERROR DIR must be 0 or 1\n"),
            (("one", "1234"), "ERROR DIR must be 0 or 1\n"),
            (("1", "12G4"), "ERROR HEX_CARD must hold hexadecimal digits only\n"),
            (("1", "0x1234"), "ERROR HEX_CARD must hold hexadecimal digits only\n"),
            (("1", "1" * 31), "ERROR HEX_CARD longer than 30 digits\n"),
            (("1", "A" * 5000), "ERROR HEX_CARD longer than 30 digits\n"),
        ]
        for args, line in cases:
            with self.subTest(args=args[:1] + tuple(a[:40] for a in args[1:])):
                result = self.run_extcard(*args)
                self.assertEqual((result.returncode, result.stdout), (1, line))
        self.assertEqual(self.mcu.transfers(), [])


if __name__ == "__main__":
    unittest.main()
