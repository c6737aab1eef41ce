#!/usr/bin/env python3
"""The layering check on made-up trees: each include that goes the wrong
way is reported, and a tree without one passes, so a check that stopped
catching a layer's rule fails here."""

import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-layers.py")

# (file, the header it includes, whether that is allowed)
CASES = [
    ("link/platform/logger.cc", "link/platform/sync.h", True),
    ("link/platform/logger.cc", "link/variant.h", False),
    ("link/platform/gpio.cc", "minini/minIni.h", False),
    ("link/frame.cc", "link/platform/platform.h", True),
    ("link/frame.cc", "daemon/start.h", False),
    ("minini/minIni.cc", "link/platform/platform.h", True),
    ("minini/minIni.cc", "link/memory.h", False),
    ("net/http_client.cc", "link/commands.h", False),
    ("discovery/discovery.cc", "link/variant.h", False),
    ("discovery/discovery.cc", "net/controller_ip.h", False),
    ("daemon/thread_ctrl.cc", "link/memory.h", True),
    ("daemon/thread_ctrl.cc", "cloudd/state.h", False),
    ("cloudd/batch.cc", "net/http_client.h", True),
    ("cloudd/batch.cc", "verifyd/requests.h", False),
    ("tools/ctlcfg/main.cc", "tools/keybase/key_rows.h", False),
    ("cloudd/batch.cc", "emulator/mcu_emulator.h", False),
    ("cloudd/batch_test.cc", "emulator/mcu_emulator.h", True),
]


def run(cases):
    with tempfile.TemporaryDirectory() as root:
        for number, (source, header, _) in enumerate(cases):
            path = os.path.join(root, source)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "a") as f:
                f.write('#include "%s"  // %d\n' % (header, number))
        result = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return result.returncode, result.stdout


def main():
    failed = 0
    status, out = run(CASES)
    for source, header, allowed in CASES:
        reported = ("%s includes %s" % (source, header)) in out
        if reported == allowed:
            failed += 1
            print("FAILED: %s including %s %s" % (source, header,
                                                  "was reported" if allowed else "was not reported"))
    if status != 1:
        failed += 1
        print("FAILED: exit status %d with broken includes" % status)
    status, out = run([c for c in CASES if c[2]])
    if status != 0:
        failed += 1
        print("FAILED: a tree that follows the rule: exit status %d\n%s" % (status, out))
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
