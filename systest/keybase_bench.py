"""Speed of a full key base export and import (8168 keys) against mcuemu.

    python3 systest/keybase_bench.py        # programs from build/bin, or $KEYBASE, $MCUEMU

Reports the wall time of each run and the MCU transactions it made (from the
emulator's logs), beside the least the procedure allows:

    export: identity read + last-key pointer + ceil(65344 / 96) key blocks
    import: 2 buses x ceil(8168 / 12) batches

A benchmark to run by hand, not a test.
"""

import os
import struct
import tempfile
import time

from tq8sys import Board

SLOTS = 8168
BLOCK = 96
IDENTITY_REGISTER = 2


def transactions(board):
    """Framed requests plus identity reads (which carry no frame)."""
    identity_reads = [t for t in board.mcu.transfers() if t[0] == "R" and t[1] == IDENTITY_REGISTER]
    return len(board.mcu.requests()) + len(identity_reads)


def timed(board, *args):
    start = time.monotonic()
    result = board.run("keybase", *args, timeout=600)
    elapsed = time.monotonic() - start
    if result.returncode != 1:
        raise SystemExit("keybase %s failed (%d): %s" % (" ".join(args), result.returncode,
                                                         result.stdout[-300:]))
    return elapsed


def main():
    export_least = 1 + 1 + -(-(SLOTS * 8) // BLOCK)
    import_least = 2 * -(-SLOTS // 12)
    with tempfile.TemporaryDirectory(prefix="keybase-bench-") as directory:
        table = os.path.join(directory, "keys.dbf")
        source, target = Board(serial=1), Board(serial=2)
        try:
            records = bytes((slot * 13 + i) & 0xFF for slot in range(SLOTS) for i in range(8))
            for first in range(0, len(records), 4096):
                source.mcu.poke(0, 0xA0, 0xC0 + first, records[first:first + 4096])
            source.mcu.poke(0, 0xA0, 0xBE, struct.pack(">H", 0))
            source.mcu.clear_logs()
            target.mcu.clear_logs()

            export_time = timed(source, "-r", table)
            export_count = transactions(source)
            import_time = timed(target, "-w", table)
            import_count = transactions(target)

            print("keybase, %d keys against mcuemu" % SLOTS)
            print("  export: %.2f s, %d transactions (least possible %d), %.0f us each"
                  % (export_time, export_count, export_least, 1e6 * export_time / export_count))
            print("  import: %.2f s, %d transactions (least possible %d), %.0f us each"
                  % (import_time, import_count, import_least, 1e6 * import_time / import_count))
        finally:
            source.close()
            target.close()


if __name__ == "__main__":
    main()
