"""keybase against emulated MCUs: export to a DBF table, import into a
second controller, the tables it refuses, the end values of the key base,
failing transfers, and the service actions."""

import datetime
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from tq8sys import Board

READ_MEM, WRITE_MEM = 0x02, 0x03
EEPROM, CLOCK = 0xA0, 0xD0
SLOTS = 8168
FIELDS = [("N", "N", 5), ("ATTR", "N", 4), ("SHORTN", "N", 10),
          ("LONGN", "C", 13), ("NUMBERN", "C", 13), ("COMMENT", "C", 101)]

# Reading the table back does not go through the tool's own code: dbfread,
# here or in the system's Python when this interpreter lacks it.
_READER = r"""
import json, sys, dbfread
table = dbfread.DBF(sys.argv[1])
print(json.dumps({"fields": [[f.name, f.type, f.length] for f in table.fields],
                  "language_driver": table.header.language_driver,
                  "rows": [dict(r) for r in table]}))
"""


def read_table(path):
    """{'fields', 'language_driver', 'rows'} of a DBF file, or None without dbfread."""
    for python in (sys.executable, "/usr/bin/python3"):
        if not os.path.exists(python):
            continue
        probe = subprocess.run([python, "-c", "import dbfread"], capture_output=True)
        if probe.returncode == 0:
            out = subprocess.run([python, "-c", _READER, path], capture_output=True, check=True)
            return json.loads(out.stdout)
    return None


def write_table(path, rows, fields=FIELDS, deleted=()):
    """A dBASE III table written byte by byte: fields (name, type, width), rows as tuples."""
    record_size = 1 + sum(width for _, _, width in fields)
    header_size = 32 + 32 * len(fields) + 1
    out = bytearray(struct.pack("<BBBBIHH20x", 3, 126, 1, 1, len(rows), header_size, record_size))
    for name, kind, width in fields:
        out += struct.pack("<11sc4xBB14x", name.encode(), kind.encode(), width, 0)
    out += b"\r"
    for index, row in enumerate(rows):
        out += b"*" if index in deleted else b" "
        for (name, kind, width), value in zip(fields, row):
            text = str(value)
            out += (text.rjust(width) if kind == "N" else text.ljust(width)).encode()[:width]
    out += b"\x1a"
    with open(path, "wb") as f:
        f.write(out)


def key_row(number, code, attribute=257, shortn=None):
    """A table row as an export writes it (code: 6 bytes)."""
    if shortn is None:
        shortn = code[0] | code[1] << 8 | code[2] << 16
    return (number, attribute, shortn, code.hex().upper(), code[::-1].hex().upper(), "")


def imported(record):
    """What an import makes of an exported record: code, flags by the export's rules, 0xFF."""
    code, flags = record[:6], record[6]
    attribute = 3 if flags & 0x08 else 2 if flags & 0x10 else 1
    new_flags = (0x20 if code[3:6] == b"\0\0\0" else 0) | {1: 0, 2: 0x10, 3: 0x08}[attribute]
    return code + bytes([new_flags, 0xFF])


def sample_record(slot):
    """Varied records: long and short keys, every flag pattern, time-zone bytes, empty slots."""
    if slot % 7 == 3:
        return b"\x55" * 8
    if slot % 5 == 1:
        short = (slot * 7919) & 0xFFFFFF
        return bytes([short & 0xFF, short >> 8 & 0xFF, short >> 16, 0, 0, 0, 0x20, slot & 0xFF])
    code = bytes((slot * 31 + i * 17 + 1) & 0xFF for i in range(6))
    return code + bytes([[0x00, 0x10, 0x08, 0x18, 0xFF][slot % 5], (slot * 3) & 0xFF])


def keybase(board, *args):
    return board.run("keybase", *args, timeout=120)


def slots(board, bus, first=0, count=SLOTS):
    """Key records of one bus, slot `first` on."""
    data = b""
    address = 0xC0 + 8 * first
    end = address + 8 * count
    while address < end:
        size = min(4096, end - address)
        data += board.mcu.peek(bus, EEPROM, address, size)
        address += size
    return data


def writes_to(board):
    return [r for r in board.mcu.requests() if r[5] == WRITE_MEM]


def reads_from(board):
    return [r for r in board.mcu.requests() if r[5] == READ_MEM]


def set_pointer(board, value):
    board.mcu.poke(0, EEPROM, 0xBE, struct.pack(">H", value))


def write_fields(request):
    """(bus, address, size) of a WriteMem request."""
    return request[7], request[10] << 8 | request[11], request[9]


class Keybase(unittest.TestCase):
    def board(self, serial):
        board = Board(serial=serial)
        self.addCleanup(board.close)
        return board

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="keybase-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.table = os.path.join(self.dir, "keys.dbf")

    def test_export_and_import_into_an_empty_controller_restore_every_slot(self):
        source = self.board(1234567)
        records = b"".join(sample_record(s) for s in range(SLOTS))
        for first in range(0, SLOTS, 512):
            source.mcu.poke(0, EEPROM, 0xC0 + 8 * first, records[8 * first:8 * (first + 512)])
        set_pointer(source, 0)  # the whole key base

        result = keybase(source, "-r", self.table)
        self.assertEqual(result.returncode, 1, result.stdout[-500:])
        lines = result.stdout.splitlines()
        self.assertEqual(lines[:2], ["SN=0012D687", "LastCard=00000000"])
        self.assertEqual(len(lines), 2 + 2 * SLOTS)
        self.assertEqual(lines[2 + 2 * 100], records[800:806].hex().upper())
        self.assertEqual(lines[3 + 2 * 100], records[800:806][::-1].hex().upper())
        reads = reads_from(source)
        self.assertEqual(len(reads), 1 + -(-(SLOTS * 8) // 96))
        self.assertEqual((reads[-1][10] << 8 | reads[-1][11], reads[-1][9]), (0xFFC0, 64))

        table = read_table(self.table)
        if table is None:
            print("dbfread is not installed: the table is not read back independently",
                  file=sys.stderr)
        else:
            self.assertEqual([tuple(f) for f in table["fields"]], FIELDS)
            self.assertEqual(table["language_driver"], 87)
            rows = table["rows"]
            self.assertEqual(len(rows), 1 + SLOTS)
            self.assertEqual(rows[0], {"N": -1, "ATTR": 0, "SHORTN": 0, "LONGN": "TQ8HUB",
                                       "NUMBERN": "TQ8HUB",
                                       "COMMENT": "TQ8HUB SN 1234567. Key Base"})
            for slot in range(SLOTS):
                record = records[8 * slot:8 * slot + 8]
                flags = record[6]
                expected = {"N": slot, "ATTR": 259 if flags & 8 else 258 if flags & 0x10 else 257,
                            "SHORTN": record[0] | record[1] << 8 | record[2] << 16,
                            "LONGN": record[:6].hex().upper(),
                            "NUMBERN": record[5::-1].hex().upper(),
                            "COMMENT": "TQ8HUB_1234567. Key #%d" % slot}
                if rows[1 + slot] != expected:
                    self.fail("slot %d: %r != %r" % (slot, rows[1 + slot], expected))

        target = self.board(7654321)
        pointer_before = target.mcu.peek(0, EEPROM, 0xBE, 2)
        result = keybase(target, "-w", self.table)
        self.assertEqual(result.returncode, 1, result.stdout[-500:])
        self.assertEqual(result.stdout, "ADD %d Keys OK!\n" % SLOTS)
        expected = b"".join(imported(records[i:i + 8]) for i in range(0, len(records), 8))
        self.assertEqual(slots(target, 0), expected)
        self.assertEqual(slots(target, 1), expected)
        writes = [write_fields(r) for r in writes_to(target)]
        self.assertEqual(len(writes), 2 * -(-SLOTS // 12))
        self.assertNotIn(0xBE, [address for _, address, _ in writes])
        self.assertEqual(writes[:2], [(0, 0xC0, 96), (1, 0xC0, 96)])
        self.assertEqual(writes[-2:], [(0, 0xFFC0, 64), (1, 0xFFC0, 64)])
        del pointer_before  # the emulated MCU keeps its own pointer up to date

    def test_end_values(self):
        board = self.board(42)
        board.mcu.poke(0, EEPROM, 0xC0, bytes(range(16)))
        for pointer, rows in ((200, 2), (192, 1), (100, 1), (0xC4, 2)):
            with self.subTest(pointer=pointer):
                set_pointer(board, pointer)
                board.mcu.clear_logs()
                result = keybase(board, "-r", self.table)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout.splitlines()[:2],
                                 ["SN=0000002A", "LastCard=%08X" % pointer])
                reads = reads_from(board)
                self.assertEqual(len(reads), rows)  # the pointer, then the blocks
                table = read_table(self.table)
                if table is not None:
                    self.assertEqual(len(table["rows"]), rows)
                    if rows == 2:
                        self.assertEqual(table["rows"][1]["LONGN"], "000102030405")

    def test_import_batches_follow_the_slots_the_rows_name(self):
        board = self.board(5)
        codes = [bytes([k, 0xA0, 0xB0, 0xC0, 0xD0, k]) for k in range(40)]
        rows = [(-1, 0, 0, "TQ8HUB", "TQ8HUB", "heading")]
        rows += [key_row(k, codes[k]) for k in range(25)]
        write_table(self.table, rows)
        result = keybase(board, "-w", self.table)
        self.assertEqual(result.stdout, "ADD 25 Keys OK!\n")
        self.assertEqual([write_fields(r) for r in writes_to(board)],
                         [(0, 0xC0, 96), (1, 0xC0, 96), (0, 0x120, 96), (1, 0x120, 96),
                          (0, 0x180, 8), (1, 0x180, 8)])

        # A gap, rows out of order, lower-case digits, a short key, a deleted row.
        board.mcu.fill_keys(0x55)
        board.mcu.clear_logs()
        rows = [key_row(0, codes[0]), key_row(1, codes[1]), key_row(7, codes[7]),
                key_row(3, codes[3]), (4, 259, 0, codes[4].hex(), "", ""),
                (5, 258, 1193046, "", "", ""), key_row(6, codes[6])]
        write_table(self.table, rows, deleted={6})
        result = keybase(board, "-w", self.table)
        self.assertEqual(result.stdout, "ADD 6 Keys OK!\n")
        expected = {0: codes[0] + b"\x00\xff", 1: codes[1] + b"\x00\xff",
                    3: codes[3] + b"\x00\xff", 4: codes[4] + b"\x08\xff",
                    5: b"\x56\x34\x12\x00\x00\x00\x30\xff", 7: codes[7] + b"\x00\xff"}
        for bus in (0, 1):
            got = slots(board, bus, 0, 9)
            for slot in range(9):
                self.assertEqual(got[8 * slot:8 * slot + 8], expected.get(slot, b"\x55" * 8),
                                 "bus %d slot %d" % (bus, slot))
        self.assertEqual([write_fields(r) for r in writes_to(board)],
                         [(0, 0xC0, 16), (1, 0xC0, 16), (0, 0xF8, 8), (1, 0xF8, 8),
                          (0, 0xD8, 24), (1, 0xD8, 24)])

    def test_tables_that_are_refused_write_nothing(self):
        board = self.board(5)
        good = [key_row(0, bytes(6))]
        wrong_field = [f if f[0] != "LONGN" else ("LONGNR", "C", 13) for f in FIELDS]
        cases = [
            ("missing.dbf", None, 2, "UNKNOWN FILE\n"),
            ("nofields.dbf", dict(rows=[], fields=[]), 3, "UNKNOWN FILE\n"),
            ("wrongfield.dbf", dict(rows=good, fields=wrong_field), 5, "UNKNOWN FILE\n"),
            ("fewfields.dbf", dict(rows=[(0, 257)], fields=FIELDS[:2]), 5, "UNKNOWN FILE\n"),
            ("slot.dbf", dict(rows=good + [key_row(8168, bytes(6))]), 5,
             "BAD KEY NUMBER IN RECORD 1\n"),
            ("negative.dbf", dict(rows=good + [key_row(-5, bytes(6))]), 5,
             "BAD KEY NUMBER IN RECORD 1\n"),
            ("code.dbf", dict(rows=good + [(1, 257, 0, "12-34-56", "", "")]), 5,
             "BAD KEY CODE IN RECORD 1\n"),
            ("short.dbf", dict(rows=good + [(1, 257, 16777216, "", "", "")]), 5,
             "BAD KEY CODE IN RECORD 1\n"),
        ]
        for name, table, status, out in cases:
            with self.subTest(table=name):
                path = os.path.join(self.dir, name)
                if table is not None:
                    write_table(path, **table)
                result = keybase(board, "-w", path)
                self.assertEqual((result.returncode, result.stdout), (status, out))
        self.assertEqual(board.mcu.requests(), [])

        for args in (("-r",), ("-w",), ("-w", "")):
            with self.subTest(args=args):
                result = keybase(board, *args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout,
                                 'No file name given: Use "keybase [-r|-w] filename"\n')
        # The library would put these tables in keys.dbf, a file not named.
        for args in (("-r", os.path.join(self.dir, "keys.txt")),
                     ("-w", os.path.join(self.dir, "keys.dbf.bak"))):
            with self.subTest(args=args):
                result = keybase(board, *args)
                self.assertEqual((result.returncode, result.stdout),
                                 (2, "Not a .dbf file name: %s\n" % args[1]))
        self.assertFalse(os.path.exists(self.table))
        result = keybase(board)
        self.assertEqual((result.returncode, result.stdout),
                         (1, 'Use "keybase [-r|-w] filename"\n'))
        self.assertEqual(board.mcu.requests(), [])

    def test_a_key_block_that_keeps_failing(self):
        board = self.board(5)
        write_table(self.table, [key_row(k, bytes([k] * 6)) for k in range(20)])
        board.mcu.fault("rejected", cmd=WRITE_MEM, count=3)
        result = keybase(board, "-w", self.table)
        self.assertEqual((result.returncode, result.stdout),
                         (0, "ERROR: key block 00C0 not written on bus 0\n"))
        self.assertEqual([write_fields(r) for r in writes_to(board)], [(0, 0xC0, 96)] * 3)

        # Two failures are survived: the third attempt goes through.
        board.mcu.clear_logs()
        board.mcu.fault("rejected", cmd=WRITE_MEM, count=2)
        result = keybase(board, "-w", self.table)
        self.assertEqual((result.returncode, result.stdout), (1, "ADD 20 Keys OK!\n"))
        self.assertEqual(len(writes_to(board)), 2 + 4)

        # Export: 96-byte replies whose second data chunk cannot be read.
        board.mcu.clear_logs()
        set_pointer(board, 0xC0 + 8 * 20)
        board.mcu.fault("readerror", cmd=41)
        result = keybase(board, "-r", self.table)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.endswith("ERROR: key block 00C0 not read\n"), result.stdout)
        self.assertEqual(len(reads_from(board)), 1 + 3)
        table = read_table(self.table)
        if table is not None:
            self.assertEqual([r["N"] for r in table["rows"]], [-1])

        # Without the last-key pointer nothing is exported.
        board.mcu.clear_faults()
        board.mcu.fault("rejected", cmd=READ_MEM)
        os.unlink(self.table)
        result = keybase(board, "-r", self.table)
        self.assertEqual((result.returncode, result.stdout),
                         (0, "SN=00000005\nERROR: last-key pointer not read\n"))
        self.assertFalse(os.path.exists(self.table))

    def test_service_actions(self):
        board = self.board(5)
        for arg, door in (("-o0", 0), ("-o1", 1)):
            result = keybase(board, arg)
            self.assertEqual((result.returncode, result.stdout), (1, ""))
            self.assertEqual(board.mcu.doors()[-1], door)

        board.mcu.clear_logs()
        before = datetime.datetime.now().replace(microsecond=0)
        result = keybase(board, "-t")
        after = datetime.datetime.now()
        self.assertEqual((result.returncode, result.stdout), (1, "Sync Controller Time\n"))
        writes = writes_to(board)
        self.assertEqual(len(writes), 1)
        self.assertEqual(writes[0][7:12], bytes([0, CLOCK, 7, 0, 0]))
        second, minute, hour, weekday, day, month, year = [
            (b >> 4) * 10 + (b & 15) if i != 3 else b for i, b in enumerate(writes[0][12:19])]
        sent = datetime.datetime(2000 + year, month, day, hour, minute, second)
        self.assertTrue(before <= sent <= after, (before, sent, after))
        self.assertEqual(weekday, sent.isoweekday())  # Sunday is 7


if __name__ == "__main__":
    unittest.main()
