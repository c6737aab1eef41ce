"""ctlcfg against the emulated MCU: the -r print-out, field edits with -w,
whole blocks with -W, and the words and texts it refuses."""

import unittest

from tq8sys import Board

WRITE_MEM, CONFIG, FIRE, KEY_MODE = 0x03, 0x0D, 0x13, 0x66


def crc8(data):
    """The block's check byte: reflected 0x8C, started at 0x55."""
    crc = 0x55
    for byte in data:
        for bit in range(8):
            mix = (crc ^ (byte >> bit)) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
    return crc


def sealed(block):
    block = bytearray(block)
    block[0] = crc8(block[1:])
    return bytes(block)


def compressed(block):
    """The -W text of a block: zero runs as run letters ('G' = 2 .. 'Z' = 21)."""
    text, digits, i = "", block.hex().upper(), 0
    while i < len(digits):
        run = 0
        while i + run < len(digits) and digits[i + run] == "0":
            run += 1
        if run < 2:
            text += digits[i]
            i += 1
            continue
        i += run
        while run >= 2:
            step = min(run, 21)
            if run - step == 1:
                step -= 1
            text += chr(0x45 + step)
            run -= step
        text += "0" * run
    return text


# A block whose every printed field has a known value: version 7, Dallas,
# internal sound, door flags 1010 0101 (no_long_pwr set), lock kind 10 10.
KNOWN = bytearray(80)
KNOWN[1] = 7
KNOWN[2] = 0x80  # a reader flag other than the Wiegand bit
KNOWN[8] = 0x0C
KNOWN[9] = 0x21
KNOWN[52:58] = bytes([0xA5, 0x01, 0x02, 0x03, 0x10, 0x10])
KNOWN[70] = 0x99
KNOWN = sealed(KNOWN)


class Ctlcfg(unittest.TestCase):
    def setUp(self):
        self.board = Board(serial=1234567)
        self.addCleanup(self.board.close)
        self.mcu = self.board.mcu

    def ctlcfg(self, *args, status=1):
        result = self.board.run("ctlcfg", *args)
        self.assertEqual(result.returncode, status, result.stdout)
        return result.stdout

    def requests_of(self, command):
        return [r for r in self.mcu.requests() if r[5] == command]

    def triples(self):
        return self.mcu.peek(0, 0xA0, 0, 3), self.mcu.peek(1, 0xA0, 0, 3)

    def test_print_out_of_a_known_block(self):
        self.mcu.config(KNOWN)
        self.mcu.poke(0, 0xA0, 0, bytes([5, 10, 15]))
        self.mcu.poke(1, 0xA0, 0, bytes([6, 11, 16]))
        self.mcu.fire(True)
        self.mcu.keymode(5)
        expected = (
            "Datasize: 80\n"
            + "".join("%02X " % b for b in KNOWN) + "\n"
            + "pConfig->Lock_flg=A5010203\n\n"
            + "pConfig->activator=1\n"
            + "pConfig->trigmode=0\n"
            + "pConfig->duallock=1\n"
            + "pConfig->no_wait_door=0\n"
            + "pConfig->unblock_door=0\n"
            + "pConfig->nightlock =1\n"
            + "pConfig->nightconf=0\n"
            + "pConfig->no_long_pwr =1\n"
            + "=" * 49 + "\n"
            + "DALLAS INT_SOUND LOCK_MEH CONFIG_VER:7 T1:5,10,15 T2:6,11,16 FIRE 05 MODE_ACCEPT \n")
        self.assertEqual(self.ctlcfg("-r"), expected)
        self.assertEqual(self.requests_of(WRITE_MEM), [])

        # Wiegand, no sound, no lock type, no fire, a mode without a label.
        plain = bytearray(80)
        plain[2] = 0x01
        self.mcu.config(sealed(plain))
        self.mcu.fire(False)
        self.mcu.keymode(3)
        last = self.ctlcfg("-r").splitlines()[-1]
        self.assertEqual(last, "WIEGAND CONFIG_VER:0 T1:5,10,15 T2:6,11,16 03 ")

    def test_print_out_of_a_block_without_data(self):
        self.mcu.fault("nodata", cmd=CONFIG)
        self.assertEqual(self.ctlcfg("-r"), "Datasize: 0\nWRONG SIZE 0\n")

    def test_lock_type_on_a_block_with_every_flag(self):
        block = bytearray(range(80))
        block[52:58] = b"\xff\xff\xff\xff\x00\x00"
        block[2] = 0x03
        block[8:10] = b"\x08\x21"
        self.mcu.config(sealed(block))
        before = self.triples()
        self.assertEqual(self.ctlcfg("-w", "L=1"),
                         "Datasize: 80\nSet LOCK=MEH\nSet Reader=1\nSet IntSound [0821]\n"
                         "WRITING CONFIG\nDatasize: 80\n")
        expected = bytearray(sealed(block))
        expected[52:58] = b"\x80\x00\x00\x00\x10\x10"
        self.assertEqual(self.mcu.config(), sealed(expected))
        self.assertEqual(self.triples(), before)
        self.assertEqual(self.requests_of(WRITE_MEM), [])

        # Another choice clears the flags, says nothing of a lock and still writes.
        self.assertEqual(self.ctlcfg("-w", "L=7", "R=0", "S=0"),
                         "Datasize: 80\nSet Reader=0\nSet IntSound [0021]\n"
                         "WRITING CONFIG\nDatasize: 80\n")
        expected[52:58] = b"\x00\x00\x00\x00\x10\x10"
        expected[2] = 0x02
        expected[8] = 0x00
        self.assertEqual(self.mcu.config(), sealed(expected))

    def test_timing_triple_goes_to_both_buses(self):
        self.mcu.poke(0, 0xA0, 0, bytes([5, 10, 20]))
        self.mcu.poke(1, 0xA0, 0, bytes([7, 7, 7]))
        block = self.mcu.config()
        self.assertEqual(self.ctlcfg("-w", "T2=15"), "Datasize: 80\nSet T=5,15,20\n")
        self.assertEqual(self.triples(), (bytes([5, 15, 20]), bytes([5, 15, 20])))
        writes = self.requests_of(WRITE_MEM)
        self.assertEqual([w[7] for w in writes], [0, 1])
        self.assertEqual(self.mcu.config(), block)

        # Values are taken modulo 256; a T word of another kind only rewrites.
        self.ctlcfg("-w", "T1=300", "T3=-1", "Tx")
        self.assertEqual(self.triples(), (bytes([44, 15, 255]),) * 2)

        # A refused write is not a completed run; the other bus is still written.
        self.mcu.fault("rejected", cmd=WRITE_MEM, count=1)
        self.assertEqual(self.ctlcfg("-w", "T1=1", status=0), "Datasize: 80\nSet T=1,15,255\n")
        self.assertEqual(self.triples(), (bytes([44, 15, 255]), bytes([1, 15, 255])))

    def test_key_mode_run_writes_nothing_else(self):
        self.mcu.keymode(5)
        block = self.mcu.config()
        self.assertEqual(self.ctlcfg("-w", "R=0", "K=0", "T1=9"),
                         "Datasize: 80\nSet KeyMode=0\n00 ")
        self.assertEqual(self.mcu.keymode(), 0)
        self.assertEqual(self.mcu.config(), block)
        self.assertEqual(self.requests_of(WRITE_MEM), [])

    def test_fire_alone(self):
        block = self.mcu.config()
        self.assertEqual(self.ctlcfg("-w", "F=1"), "Datasize: 80\nSet Fire=1\n")
        self.assertTrue(self.mcu.fire())
        self.assertEqual(self.mcu.config(), block)
        self.assertEqual(self.requests_of(WRITE_MEM), [])
        self.assertEqual(len(self.requests_of(CONFIG)), 1)  # the read only

    def test_whole_block_from_text(self):
        block = bytearray(80)
        block[1] = 3
        block[2] = 0x01
        block[30] = 0xAB
        block[56] = 0x10
        block = sealed(block)
        text = compressed(block)
        self.assertLess(len(text), 60)  # the zero runs did shrink it
        self.assertEqual(self.ctlcfg("-W", text),
                         "WRITE CONFIG: %s\nWRITING CONFIG\nDatasize: 80\nOK\n" % text)
        self.assertEqual(self.mcu.config(), block)

        # The same text with the check byte changed is not written.
        self.mcu.clear_logs()
        wrong = "%02X" % (block[0] ^ 0x01) + text[2:]
        self.assertEqual(self.ctlcfg("-W", wrong), "WRITE CONFIG: %s\nERROR CRC\n" % wrong)
        self.assertEqual(self.mcu.config(), block)
        self.assertEqual(self.mcu.requests(), [])

        # 160 plain digits; lower-case letters are runs ('a' = 28 zeros).
        block = bytearray(range(80))
        block = sealed(block)
        self.ctlcfg("-W", block.hex().upper())
        self.assertEqual(self.mcu.config(), block)
        block = sealed(bytes([0, 0x42]) + bytes(78))
        text = "%02X42" % block[0] + "a" + "Z" * 6
        self.ctlcfg("-W", text)
        self.assertEqual(self.mcu.config(), block)

    def test_whole_block_the_mcu_does_not_take(self):
        block = sealed(bytes([0, 9]) + bytes(78))
        self.mcu.fault("rejected", cmd=CONFIG)
        out = self.ctlcfg("-W", block.hex().upper(), status=0)
        self.assertNotIn("OK", out.splitlines())
        self.assertIn("error 02", out)

    def test_refused_texts_and_words_touch_nothing(self):
        block = self.mcu.config()
        cases = [
            (("-W",), "ERROR: no configuration text\n"),
            (("-W", "ZZZZZZZZ"), "WRITE CONFIG: ZZZZZZZZ\n"
                                 "ERROR: configuration text longer than 160 digits\n"),
            (("-W", "A" * 162), "WRITE CONFIG: %s\n"
                                "ERROR: configuration text longer than 160 digits\n" % ("A" * 162)),
            (("-W", "0" * 300), "WRITE CONFIG: %s\n"
                                "ERROR: configuration text longer than 160 digits\n" % ("0" * 300)),
            (("-W", "ABC"), "WRITE CONFIG: ABC\nERROR: configuration text of odd length\n"),
            (("-w", "F=1", "R"), "BAD ARGUMENT: R\n"),
            (("-w", "T2="), "BAD ARGUMENT: T2=\n"),
            (("-x",), ""),
            ((), 'Use "ctlcfg [-r|-w]"\n'),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.ctlcfg(*args), expected)
        self.assertEqual(self.mcu.requests(), [])
        self.assertEqual(self.mcu.config(), block)
        self.assertFalse(self.mcu.fire())

    def test_open_door(self):
        self.assertEqual(self.ctlcfg("-o"), "")
        self.assertEqual(self.mcu.doors(), [0])
        self.mcu.fault("noready", cmd=0x07)
        self.assertEqual(self.ctlcfg("-o"), "ERROR: WAIT TIMEOUT!\n")


if __name__ == "__main__":
    unittest.main()
