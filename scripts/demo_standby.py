"""The off-target standby demo (`./scripts/demo.sh standby`): an emulated
MCU below a fresh root, and the controller's programs run against it the
way they run on the board.

1. a link session reads the MCU's identity, clock block and key memory;
2. the offline daemon, standbyd, starts; its kernel-log records are shown as
   they arrive;
3. a discovery probe, as PC software sends it, is answered by the daemon;
4. the daemon is stopped with SIGTERM, then the emulator."""

import os
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get("TQ8_BIN") or os.path.join(SOURCE, "build", "bin")
sys.path.insert(0, os.path.join(SOURCE, "systest"))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))

import tq8sys  # noqa: E402
from demo_root import (KernelLog, kill_if_running, run_in_demo_root,  # noqa: E402
                       show, stop_daemon)
from mcuemu import Mcuemu  # noqa: E402

SERIAL = 1234567
PROBE = b"SEEK W642IP"


def main():
    return run_in_demo_root(run)


def run(root, env):

    show("off-target root " + root)
    with Mcuemu(root, "--serial", str(SERIAL), "--model", "0x0642",
                "--clock", "2026-12-08 09:30:00", binary=os.path.join(BIN, "mcuemu")) as mcu:
        print("emulated MCU on " + mcu.i2c_path)
        mcu.poke(0, 0xA0, 0x00C0, bytes.fromhex("0A1B2C3D4E5F00FF" "1122334455662003"))
        mcu.poke(0, 0xA0, 0x00BE, bytes.fromhex("00D0"))
        with open(os.path.join(root, "etc/config/tq8hub/CONFIG.CFG"), "w") as config:
            config.write("[INFO]\nSERIAL_NUMBER=%d\n" % SERIAL)

        show("a link session: identity, clock block, key memory")
        subprocess.run([os.path.join(BIN, "link-session")], env=env, check=True)

        show("what the emulated MCU received")
        for frame in mcu.requests():
            print("frame  " + frame.hex(" ").upper())
        for op, register, count, status, data in mcu.transfers():
            print("i2c    %s reg %3d  %2d bytes  status %d  %s"
                  % (op, register, count, status, data.hex(" ").upper()))

        show("the offline daemon: standbyd -i (its kernel log as it arrives)")
        log = KernelLog(root)
        daemon = subprocess.Popen([os.path.join(BIN, "standbyd"), "-i"], env=env,
                                  stdin=subprocess.DEVNULL)
        try:
            started = log.follow(lambda records: daemon.poll() is not None or (
                "Start OFFLINE \n" in records and any(" Model=" in r for r in records)))
            if daemon.poll() is not None:
                print("standbyd ended with status %d (is UDP port 9000 in use?)"
                      % daemon.returncode)
                return 1
            if not started:
                print("standbyd did not start in time")
                return 1

            show('a discovery probe: "%s" to 127.0.0.1:9000' % PROBE.decode())
            reply = tq8sys.udp_request(PROBE, 9000)
            print("reply: " + (reply.decode(errors="replace") if reply else "none"))
            log.follow(lambda records: "SEEK from 127.0.0.1\n" in records, timeout=2)

            stop_daemon(daemon, "standbyd", log)
        finally:
            kill_if_running(daemon)
    print("emulator stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
