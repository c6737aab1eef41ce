"""fwupdate against the emulated MCU and its boot loader: whole updates,
an MCU already in its loader, one that never enters it, records whose ready
line never comes, refused files, and the bus lock after every way out."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from tq8sys import Board, command

BOOT_REGISTER = 0xFF
RECORD = 262


def image(records, preamble=b""):
    """An update file: a preamble, `records` distinct records, and L."""
    body = b"".join(bytes((n * 7 + i) & 0xFF for i in range(RECORD)) for n in range(records))
    return preamble + body + struct.pack("<I", len(body) + 4)


class Fwupdate(unittest.TestCase):
    def setUp(self):
        self.board = Board(serial=1234567)
        self.addCleanup(self.board.close)
        self.mcu = self.board.mcu
        self.dir = tempfile.mkdtemp(prefix="fwupdate-")
        self.addCleanup(shutil.rmtree, self.dir)

    def fwupdate(self, content, status):
        """Runs the tool on `content` (None: no such file); its output, carriage returns kept."""
        path = os.path.join(self.dir, "update.bin")
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        result = subprocess.run(command("fwupdate", path), env=self.board.env,
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, status, result.stdout.decode())
        return result.stdout.decode()

    def kernel_log(self):
        return self.board.records()

    def boot_writes(self):
        return [t for t in self.mcu.transfers() if t[0] == "W" and t[1] == BOOT_REGISTER]

    def assert_bus_free(self):
        """The lock was released, not left to a dead holder, and another tool gets the bus."""
        state = self.board.run("bus-lock-state", self.board.lock_name)
        self.assertEqual(state.stdout, "free\n", state.stderr)
        self.mcu.bootloader(False)
        result = self.board.run("ctlcfg", "-r")
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stdout.startswith("Datasize: 80\n"), result.stdout)

    def test_update_from_normal_firmware(self):
        content = image(4, preamble=b"ignored" * 5)
        out = self.fwupdate(content, 0)
        self.assertEqual(out, "Try to update SN: 1234567 Mode: NORMAL\n"
                              "Switch to BootLoader...\n"
                              "Mode: BOOT\n"
                              "Size=%d Offset=%d\n" % (len(content), 4 * RECORD + 4)
                              + "  0% [=                    ]\r"
                              " 24% [=====                ]\r"
                              " 49% [==========           ]\r"
                              "100% [=====================]\r\n"
                              "\nUpdate OK\n")
        boot = self.mcu.boot()
        self.assertEqual(boot["entries"], 1)
        self.assertEqual(boot["headers"], ["FWUPDATE FFFFFFFF", "FWUPDATE FFFFFFFF",
                                           "FWUPDATE 00000000", "FWUPDATE 00000100",
                                           "FWUPDATE 00000200", "FWUPDONE 00000300"])
        body = content[35:]
        self.assertEqual(boot["records"],
                         [(0xFFFFFFFF, body[0:262]), (0, body[262:524]),
                          (0x100, body[524:786]), (0x200, body[786:1048])])
        self.assertEqual(boot["done"], 0x300)
        self.assertEqual(boot["mode"], "normal")
        # Headers are one 12-byte write, records 8 x 32 + 6, all at 0xFF.
        sizes = [len(t[4]) for t in self.boot_writes()]
        self.assertEqual(sizes, [12] + ([12] + [32] * 8 + [6]) * 4 + [12])
        self.assertEqual(self.kernel_log(), [])
        self.assert_bus_free()

    def test_image_whose_last_record_is_partial(self):
        # 1000 bytes ending in L = 772: record 0 and one more at address 0.
        content = bytes(range(256)) * 3 + bytes(228)
        content = content[:996] + bytes([4, 3, 0, 0])
        self.mcu.bootloader(True)
        self.fwupdate(content, 0)
        boot = self.mcu.boot()
        self.assertEqual([a for a, _ in boot["records"]], [0xFFFFFFFF, 0])
        self.assertEqual(boot["records"][1][1], content[228 + 262:228 + 524])
        self.assertEqual(boot["done"], 256)

    def test_mcu_already_in_its_boot_loader(self):
        self.mcu.bootloader(True)
        out = self.fwupdate(image(2), 0)
        self.assertTrue(out.startswith("Try to update SN: 1234567 Mode: BOOT\nSize=528 Offset=528\n"))
        boot = self.mcu.boot()
        self.assertEqual(boot["entries"], 0)
        self.assertEqual(boot["headers"][0], "FWUPDATE FFFFFFFF")
        self.assertEqual(len(boot["records"]), 2)
        self.assertEqual(len(self.boot_writes()), 1 + 9 + 1 + 9 + 1)

    def test_mcu_that_never_enters_its_boot_loader(self):
        self.mcu.fault("nobootloader", cmd="boot")
        out = self.fwupdate(image(2), 1)
        self.assertEqual(out, "Try to update SN: 1234567 Mode: NORMAL\n"
                              "Switch to BootLoader...\n"
                              "Mode: NORMAL\nMode: NORMAL\nMode: NORMAL\n"
                              "Unable to enter BootLoader...\n")
        boot = self.mcu.boot()
        self.assertEqual(boot["entries"], 3)
        self.assertEqual(boot["records"], [])
        self.assert_bus_free()

    def test_ready_line_that_never_comes_for_record_zero(self):
        self.mcu.bootloader(True)
        self.mcu.fault("noready", cmd="boot")
        out = self.fwupdate(image(3), 1)
        self.assertTrue(out.endswith("Size=790 Offset=790\n"), out)
        self.assertEqual(self.kernel_log(), ["ERROR: WAIT TIMEOUT 0!\n"])
        self.assertEqual(len(self.mcu.boot()["records"]), 1)
        self.assert_bus_free()

    def test_record_whose_ready_line_never_comes(self):
        # Record 0 gets its ready line; the next record never does.
        self.mcu.bootloader(True)
        self.mcu.fault("noready", cmd="boot", skip=1, count=3)
        content = image(3)
        out = self.fwupdate(content, 1)
        self.assertNotIn("Update OK", out)
        self.assertEqual(self.kernel_log(), ["ERROR: WAIT TIMEOUT!\n"] * 3)
        boot = self.mcu.boot()
        self.assertEqual(boot["headers"], ["FWUPDATE FFFFFFFF"] + ["FWUPDATE 00000000"] * 3)
        self.assertEqual(boot["records"], [(0xFFFFFFFF, content[:262])] + [(0, content[262:524])] * 3)
        self.assertIsNone(boot["done"])
        self.assertEqual(boot["mode"], "boot")
        self.assert_bus_free()

    def test_write_failure_of_record_zero(self):
        self.mcu.bootloader(True)
        self.mcu.fault("writeerror", cmd=BOOT_REGISTER, count=1)
        out = self.fwupdate(image(3), 1)
        self.assertTrue(out.endswith("Size=790 Offset=790\nERROR I2C WRITE (Adr 0)\n"), out)
        self.assertEqual(self.mcu.boot()["records"], [])
        self.assert_bus_free()

    def test_refused_files_reach_nothing(self):
        cases = [
            ("too short", image(1), "Size=266 Offset=266\nImage shorter than 524 bytes\n"),
            ("length past the file", b"x" * 996 + struct.pack("<I", 1001),
             "Size=1000 Offset=1001\nImage larger than the file\n"),
            ("no length field", b"abc", "File too short: 3 bytes\n"),
            ("empty", b"", "File too short: 0 bytes\n"),
        ]
        for name, content, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.fwupdate(content, 1), expected)
        os.unlink(os.path.join(self.dir, "update.bin"))
        self.assertEqual(self.fwupdate(None, 1), "File open error\n")
        # A FIFO (or a directory) is refused at once instead of waiting for a writer.
        os.mkfifo(os.path.join(self.dir, "update.bin"))
        self.assertEqual(self.fwupdate(None, 1),
                         "Not a regular file: %s\n" % os.path.join(self.dir, "update.bin"))
        result = self.board.run("fwupdate")
        self.assertEqual((result.returncode, result.stdout), (1, 'Use "fwupdate <filename>"\n'))

        self.assertEqual([t for t in self.mcu.transfers() if t[0] != "A"], [])
        self.assert_bus_free()


if __name__ == "__main__":
    unittest.main()
