"""The off-target demo: an emulated MCU below a fresh root, and the
controller's programs run against it the way they run on the board."""

import os
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(SOURCE, "build", "bin")
sys.path.insert(0, os.path.join(SOURCE, "emulator"))

from mcuemu import Mcuemu  # noqa: E402


def show(title):
    print("\n== " + title, flush=True)


def kernel_log(root):
    with open(os.path.join(root, "dev", "kmsg"), "rb") as log:
        return [r.decode(errors="replace") for r in log.read().split(b"\0") if r]


def main():
    root = os.path.join(SOURCE, "demo-root")
    subprocess.run(["rm", "-rf", root], check=True)
    os.makedirs(root)
    env = dict(os.environ, TQ8_ROOT=root, TQ8_BUSLOCK="/tq8-demo-%d" % os.getpid())

    show("off-target root " + root)
    with Mcuemu(root, "--serial", "1234567", "--model", "0x0642",
                "--clock", "2026-12-08 09:30:00", binary=os.path.join(BIN, "mcuemu")) as mcu:
        print("emulated MCU on " + mcu.i2c_path)
        mcu.poke(0, 0xA0, 0x00C0, bytes.fromhex("0A1B2C3D4E5F00FF" "1122334455662003"))
        mcu.poke(0, 0xA0, 0x00BE, bytes.fromhex("00D0"))

        show("a link session: identity, clock block, key memory")
        subprocess.run([os.path.join(BIN, "link-session")], env=env, check=True)

        show("what the emulated MCU received")
        for frame in mcu.requests():
            print("frame  " + frame.hex(" ").upper())
        for op, register, count, status, data in mcu.transfers():
            print("i2c    %s reg %3d  %2d bytes  status %d  %s"
                  % (op, register, count, status, data.hex(" ").upper()))

        records = kernel_log(root)
        if records:
            show("kernel log")
            for record in records:
                print(record, end="" if record.endswith("\n") else "\n")
    print()


if __name__ == "__main__":
    main()
