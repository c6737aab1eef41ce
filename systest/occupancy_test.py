"""occupancy against the emulated MCU: the -r line, -w from standard input,
the group names in COVID.CFG and reads that never settle."""

import json
import os
import subprocess
import unittest

from tq8sys import Board, command

READ_MEM, WRITE_MEM = 0x02, 0x03
OCCUPANCY_TYPE = 0xD1

# maxima 1..8, counts 0x0101.., byte 32 = 0x5A
BLOCK = (b"".join(bytes([g, 0]) for g in range(1, 9))
         + b"".join(bytes([g, 1]) for g in range(1, 9)) + b"\x5a")


class Occupancy(unittest.TestCase):
    def setUp(self):
        self.board = Board("--clock", "2026-03-05 12:34:56", "--frozen")
        self.addCleanup(self.board.close)
        self.mcu = self.board.mcu
        self.mcu.poke(0, OCCUPANCY_TYPE, 0, BLOCK)
        self.covid = self.board.path("etc/config/tq8hub/COVID.CFG")

    def run_occupancy(self, *args, stdin=""):
        return subprocess.run(command("occupancy", *args), env=self.board.env,
                              input=stdin.encode(), capture_output=True, timeout=20)

    def show(self):
        result = self.run_occupancy("-r")
        self.assertEqual(result.returncode, 0)
        return result.stdout.decode()

    def set(self, line):
        result = self.run_occupancy("-w", stdin=line)
        self.assertEqual(result.returncode, 0)
        return result.stdout.decode()

    def block(self):
        return self.mcu.peek(0, OCCUPANCY_TYPE, 0, 33)

    def writes(self):
        return [r for r in self.mcu.requests() if r[5] == WRITE_MEM]

    def test_show_without_names_file(self):
        expected = '{"time":"12:34:56","covid":[' + ",".join(
            '{"max":%d, "cnt":%d, "name":"Group %d"}' % (g, 256 + g, g) for g in range(1, 9)
        ) + "]}\n"
        self.assertEqual(self.show(), expected)
        self.assertFalse(os.path.exists(self.covid))
        self.assertEqual(self.writes(), [])

    def test_one_maximum_changes_two_bytes_and_the_rest_goes_back_as_read(self):
        self.assertEqual(self.set('{"covid":[{"max":20}]}\n'), "")
        self.assertEqual(self.block(), b"\x14\x00" + BLOCK[2:])
        writes = self.writes()
        self.assertEqual(len(writes), 1)
        self.assertEqual(writes[0][7:12], bytes([0, OCCUPANCY_TYPE, 33, 0, 0]))

    def test_name_is_stored_quoted_and_shown_back(self):
        self.set('{"covid":[{"name":"Lobby","cur":7}]}')
        with open(self.covid) as f:
            self.assertIn('GROUP1="\\"Lobby\\""\n', f.read())
        shown = json.loads(self.show())
        self.assertEqual(shown["covid"][0], {"max": 1, "cnt": 7, "name": "Lobby"})
        self.assertEqual(shown["covid"][1]["name"], "Group 2")

    def test_null_element_is_reported_and_the_others_apply(self):
        out = self.set('{"covid":[{"max":10},{"max":11},{"max":12},null,{"max":14}]}')
        self.assertEqual(out, "ERROR GET GROUP 4\n")
        block = self.block()
        self.assertEqual(list(block[0:10]), [10, 0, 11, 0, 12, 0, 4, 0, 14, 0])
        self.assertEqual(block[10:], BLOCK[10:])

    def test_bad_input_writes_nothing(self):
        too_long = '{"covid":[{"max":20}]}' + " " * 1100 + "\n"
        cases = [
            ("hello\n", "ERROR parse JSON\n"),
            ("", "ERROR parse JSON\n"),
            (too_long, "ERROR parse JSON\n"),
            ('{"groups":[]}\n', "ERROR GET groups\n"),
            ('{"covid":{"max":1}}\n', "ERROR GET groups\n"),
        ]
        for line, out in cases:
            with self.subTest(line=line[:30]):
                self.assertEqual(self.set(line), out)
        self.assertEqual(self.writes(), [])
        self.assertEqual(self.block(), BLOCK)

    def test_more_than_eight_elements_change_eight_groups(self):
        line = '{"covid":[%s]}' % ",".join('{"max":%d}' % (100 + i) for i in range(40))
        self.assertEqual(self.set(line), "")
        self.assertEqual([self.block()[2 * g] for g in range(8)], list(range(100, 108)))
        self.assertEqual(self.block()[16:], BLOCK[16:])

    def test_counters_that_never_read_alike(self):
        self.mcu.fault("unstable")
        self.assertEqual(self.show(), "ERROR READ\n")
        reads = [r for r in self.mcu.requests() if r[5] == READ_MEM]
        # the discarded clock read, then 10 pairs of the clock and 10 of the block
        self.assertEqual(len(reads), 41)

        self.mcu.clear_logs()
        self.assertEqual(self.set('{"covid":[{"max":20}]}'), "")
        self.assertEqual(len(self.mcu.requests()), 10)
        self.assertEqual(self.writes(), [])
        self.assertEqual(self.block(), BLOCK)

    def test_the_last_pair_is_read_but_never_compared(self):
        # Four unequal pairs, then a fifth that would agree: -w gives up on it.
        self.mcu.fault("unstable", count=8)
        self.assertEqual(self.set('{"covid":[{"max":20}]}'), "")
        self.assertEqual(len(self.mcu.requests()), 10)
        self.assertEqual(self.writes(), [])

    def test_time_is_empty_when_the_clock_never_reads_alike(self):
        # the discarded read and the clock's 10 pairs differ; the block reads well
        self.mcu.fault("unstable", count=21)
        shown = json.loads(self.show())
        self.assertEqual(shown["time"], "")
        self.assertEqual(shown["covid"][0]["max"], 1)

    def test_hostile_names_keep_the_line_valid_json(self):
        names = ['say "hi"', "back\\slash\\", '"}],"time":"x', "tab\there\nnewline\u0001",
                 "caf\u00e9 \u20ac", "semi;colon #hash", "", "y" * 300]
        line = json.dumps({"covid": [{"name": n} for n in names]})
        self.assertEqual(self.set(line + "\n"), "")
        shown = json.loads(self.show())
        got = [g["name"] for g in shown["covid"]]
        self.assertEqual(got[:7], names[:7])
        self.assertTrue(names[7].startswith(got[7]) and 100 < len(got[7]) < 127)

    def test_hand_edited_names_are_shown_as_text(self):
        with open(self.covid, "w") as f:
            f.write('[GROUPS]\nGROUP1=Lobby\nGROUP2="\\"open\n')
        shown = json.loads(self.show())
        self.assertEqual(shown["covid"][0]["name"], "Lobby")
        self.assertEqual(shown["covid"][1]["name"], '"\\"open')

    def test_usage(self):
        for args in ((), ("-x",)):
            result = self.run_occupancy(*args)
            self.assertEqual((result.returncode, result.stdout), (1, b'Use "occupancy [-r|-w]"\n'))
        self.assertEqual(self.mcu.transfers(), [])


if __name__ == "__main__":
    unittest.main()
