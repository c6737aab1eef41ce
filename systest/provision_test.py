"""provision against the emulated MCU, with stand-in uci and passwd programs
that record what they receive: the summary, the provisioning steps in their
order, the options, and values that must reach the shell's programs as
stored without running anything."""

import os
import shlex
import shutil
import stat
import tempfile
import unittest

from tq8sys import Board

# Records its arguments (uci), or its arguments and standard input (passwd),
# one line per call: its name, then " LENGTH:BYTES" per argument, then for
# passwd " <LENGTH:BYTES" with what it read.  A shell script, so that a call
# costs no interpreter start.
STAND_IN = """#!/bin/sh
LC_ALL=C
export LC_ALL
name=${0##*/}
{
  printf '%%s' "$name"
  for arg in "$@"; do printf ' %%d:%%s' "${#arg}" "$arg"; done
  if [ "$name" = passwd ]; then
    input=$(cat; printf x)
    input=${input%%x}
    printf ' <%%d:%%s' "${#input}" "$input"
  fi
  printf '\\n'
} >> %(log)s
"""


def parse_calls(raw):
    """The recorded calls: [{"program", "args"[, "stdin"]}]."""
    calls, at = [], 0
    while at < len(raw):
        end = at
        while raw[end] not in b" \n":
            end += 1
        call = {"program": raw[at:end].decode(), "args": []}
        at = end
        while raw[at] == ord(" "):
            at += 1
            into_stdin = raw[at] == ord("<")
            at += into_stdin
            colon = raw.index(b":", at)
            length = int(raw[at:colon])
            field = raw[colon + 1:colon + 1 + length].decode("latin-1")
            at = colon + 1 + length
            if into_stdin:
                call["stdin"] = field
            else:
                call["args"].append(field)
        at += 1  # the line end
        calls.append(call)
    return calls


# Identity: serial 1234567, model 0x0642, boot bit clear, per-device bytes
# 0A B1 2C F3, frequency value 0x1F3F (+1).
IDENTITY = bytes.fromhex("87D61200" "42060000" "00" "0AB12CF3" "3F1F")


# SuperFastHash of 00 12 D6 87 (1234567), worked by hand in the unit test.
API_KEY_1234567 = "82D15153"


class Provision(unittest.TestCase):
    def setUp(self):
        self.board = Board("--fw", "2.5", "--clock", "2026-03-05 12:34:56", "--frozen")
        self.addCleanup(self.board.close)
        self.root = self.board.root
        self.mcu = self.board.mcu
        self.mcu.set_identity_bytes(IDENTITY)

        self.bin = tempfile.mkdtemp(prefix="tq8-provision-bin-")
        self.addCleanup(shutil.rmtree, self.bin)
        self.log = os.path.join(self.bin, "calls.log")
        for name in ("uci", "passwd"):
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(STAND_IN % {"log": shlex.quote(self.log)})
            os.chmod(path, 0o755)
        self.board.env["PATH"] = self.bin + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin")

        self.config = self.board.path("etc/config/tq8hub/CONFIG.CFG")
        self.httpd = self.board.path("etc/httpd.conf")
        self.config_dir = self.root + "/etc/config/tq8hub/"

    def run_provision(self, *args):
        result = self.board.run("provision", *args, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return parse_calls(f.read())

    def uci_calls(self):
        return [c["args"] for c in self.calls() if c["program"] == "uci"]

    def passwd_calls(self):
        return [c for c in self.calls() if c["program"] == "passwd"]

    def write_config(self, text):
        with open(self.config, "w", encoding="latin-1") as f:
            f.write(text)

    def read(self, path):
        with open(path, encoding="latin-1") as f:
            return f.read()

    SUMMARY = ("SN=1234567 Model=0642\nSERIAL_NUMBER=1234567\nDEF_AUTH_KEY: F32CB10A\n"
               "Freq: 8000\nVersion: 2.5\nCTRL_TIME: 2026-03-05 12:34\n")

    def test_full_provisioning_of_serial_1234567(self):
        api_key = API_KEY_1234567
        self.assertEqual(self.run_provision(), self.SUMMARY + "DEF_API_KEY: %s\n" % api_key)

        mac = "02:54:51:01:94:47"
        c = ["-c", self.config_dir]
        self.assertEqual(self.uci_calls(), [
            c + ["set", "network_eth.lan.macaddr=" + mac],
            c + ["set", "wireless_wrk.@wifi-iface[0].macaddr=" + mac],
            c + ["set", "wireless_cfg.@wifi-iface[0].macaddr=" + mac],
            c + ["set", "wireless_cfg.@wifi-iface[0].ssid=TQ8HUB_1234567"],
            c + ["commit", "network_eth"],
            c + ["commit", "wireless_cfg"],
            c + ["commit", "wireless_wrk"],
        ])
        # passwd comes after the uci commands
        self.assertEqual([c["program"] for c in self.calls()][-1], "passwd")
        self.assertEqual(self.passwd_calls(),
                         [{"program": "passwd", "args": ["root"], "stdin": "F32CB10A\nF32CB10A\n"}])
        self.assertEqual(self.read(self.httpd),
                         "/cgi-bin/ext:ext:%s\n/:tq8hub:F32CB10A\n" % api_key)
        self.assertEqual(os.listdir(os.path.dirname(self.httpd)), ["config", "httpd.conf"])
        self.assertEqual(stat.S_IMODE(os.stat(self.httpd).st_mode), 0o600,
                         "a new file with passwords in clear text is for its owner only")
        config = self.read(self.config)
        for line in ("SERIAL_NUMBER=1234567", "AUTH_KEY=F32CB10A", "API_KEY=" + api_key):
            self.assertIn(line + "\n", config)
        self.assertEqual(self.mcu.service(), [])

    def test_existing_keys_are_kept_and_used(self):
        self.write_config("[COMMON]\nAUTH_KEY=secret1\nAPI_KEY=apikey2\n")
        with open(self.httpd, "w") as f:
            f.write("old\n")
        os.chmod(self.httpd, 0o600)
        self.run_provision()
        self.assertEqual(self.passwd_calls()[0]["stdin"], "secret1\nsecret1\n")
        self.assertEqual(self.read(self.httpd), "/cgi-bin/ext:ext:apikey2\n/:tq8hub:secret1\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.httpd).st_mode), 0o600)
        config = self.read(self.config)
        self.assertIn("AUTH_KEY=secret1\n", config)
        self.assertIn("API_KEY=apikey2\n", config)

    def test_a_replaced_access_file_keeps_its_mode_and_empty_keys_count_as_missing(self):
        self.write_config("[COMMON]\nAUTH_KEY=\nAPI_KEY=\"\"\n")
        with open(self.httpd, "w") as f:
            f.write("old\n")
        os.chmod(self.httpd, 0o640)
        out = self.run_provision()
        self.assertIn("AUTH_KEY is empty: the default is used\n", out)
        self.assertIn("API_KEY is empty: the default is used\n", out)
        self.assertEqual(self.passwd_calls()[0]["stdin"], "F32CB10A\nF32CB10A\n")
        self.assertEqual(self.read(self.httpd),
                         "/cgi-bin/ext:ext:%s\n/:tq8hub:F32CB10A\n" % API_KEY_1234567)
        self.assertEqual(stat.S_IMODE(os.stat(self.httpd).st_mode), 0o640)
        self.assertIn("AUTH_KEY=F32CB10A\n", self.read(self.config))

    def test_summary_only_records_the_serial_number_and_nothing_else(self):
        before = "; installer notes\n[INFO]\nSERIAL_NUMBER=17\n[COMMON]\nMODE=CLIENT\n"
        for option in ("-s", "-t"):
            with self.subTest(option=option):
                self.write_config(before)
                self.assertEqual(self.run_provision(option), self.SUMMARY)
                self.assertEqual(self.read(self.config),
                                 before.replace("SERIAL_NUMBER=17", "SERIAL_NUMBER=1234567"))
        self.assertEqual(self.calls(), [])
        self.assertFalse(os.path.exists(self.httpd))
        self.assertEqual(self.mcu.service(), [])

    def test_reset_sends_reset_and_provisions_nothing(self):
        self.assertEqual(self.run_provision("-r"), self.SUMMARY)
        self.assertEqual(self.mcu.service(), ["RESET"])
        self.assertEqual(self.calls(), [])
        self.assertFalse(os.path.exists(self.httpd))
        self.assertNotIn("AUTH_KEY", self.read(self.config))

    def test_provision_then_init(self):
        self.run_provision("-R")
        self.assertEqual(len(self.uci_calls()), 7)
        self.assertTrue(os.path.exists(self.httpd))
        self.assertEqual(self.mcu.service(), ["INIT"])

    def test_boot_loader_bit_and_a_failed_identity_read(self):
        self.mcu.bootloader(True)
        self.assertIn("DEF_AUTH_KEY: F32CB10A\nBOOTFreq: 8000\n", self.run_provision("-s"))
        self.mcu.bootloader(False)

        os.unlink(self.config)
        self.mcu.fault("readerror", cmd=2)
        self.assertEqual(self.run_provision(), "SN: ERROR I2C READ ")
        self.assertFalse(os.path.exists(self.config))
        self.assertEqual(self.calls(), [])

    def test_serial_numbers_too_large_for_the_mac_are_refused(self):
        serial = 256000000
        self.mcu.set_identity_bytes(serial.to_bytes(4, "little") + IDENTITY[4:])
        out = self.run_provision("-R")
        self.assertTrue(out.startswith("SN=256000000 Model=0642\nSERIAL_NUMBER=256000000\n"), out)
        self.assertIn("ERROR serial number 256000000 too large to provision (at most 255999999)\n",
                      out)
        self.assertEqual(self.calls(), [])
        self.assertFalse(os.path.exists(self.httpd))
        self.assertEqual(self.mcu.service(), [])

    def test_hostile_values_reach_passwd_and_httpd_conf_as_stored_and_run_nothing(self):
        marker = os.path.join(self.root, "pwned")
        auth = ("it's \"q\" $(touch %s1) `touch %s2`; touch %s3 | x & \\n \\\\ %%s *"
                % (marker, marker, marker))
        api = "k'e\"y$(touch %s4)>%s5;<>'" % (marker, marker)
        # In the file a value with quotes goes in double quotes, \" for each quote.
        self.write_config('[COMMON]\nAUTH_KEY="%s"\nAPI_KEY="%s"\n'
                          % (auth.replace('"', '\\"'), api.replace('"', '\\"')))
        before = self.read(self.config)
        self.run_provision()

        self.assertEqual(self.passwd_calls(),
                         [{"program": "passwd", "args": ["root"], "stdin": "%s\n%s\n" % (auth, auth)}])
        self.assertEqual(self.read(self.httpd), "/cgi-bin/ext:ext:%s\n/:tq8hub:%s\n" % (api, auth))
        self.assertEqual([n for n in os.listdir(self.root) if n.startswith("pwned")], [])
        self.assertEqual(self.read(self.config).count("AUTH_KEY"), 1)
        self.assertIn(before.splitlines()[1], self.read(self.config))

    def test_a_password_with_a_line_break_is_refused(self):
        # A carriage return inside a value survives the configuration file;
        # passwd would end the password there.
        self.write_config("[COMMON]\nAUTH_KEY=ab\rcd\n")
        with open(self.httpd, "w") as f:
            f.write("old\n")
        out = self.run_provision()
        self.assertIn("ERROR AUTH_KEY holds a line break: root password not set\n", out)
        self.assertIn("ERROR API_KEY or AUTH_KEY holds a line break: /etc/httpd.conf not written\n",
                      out)
        self.assertEqual(self.passwd_calls(), [])
        self.assertEqual(self.read(self.httpd), "old\n")
        self.assertEqual(len(self.uci_calls()), 7)


if __name__ == "__main__":
    unittest.main()
