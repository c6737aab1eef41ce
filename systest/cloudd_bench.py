"""cloudd's speed against mcuemu and a stand-in cloud server on 127.0.0.1
that answers at once (a benchmark, not a test; Python 3 standard library).

    python3 systest/cloudd_bench.py [--cards 200] [--idle 60]

1. Card decisions: in online state, a card is presented at an emulated
   reader, cloudd's wait phase finds it, asks the server, and the decision
   arrives at the MCU (SetExternal).  The time from presenting to the
   decision, over --cards cards presented at random moments (so they fall
   anywhere in the 300 ms polling step): median and 99th percentile.
2. Idle cost: cloudd's CPU time (user + system, from /proc) per minute while
   it is active and online with nothing to do but its wait phase and a
   ping every 10 s; beside it, the CPU time of cloudd-poll-floor, a program
   that does only the polling the wait phase must do (identity read,
   GetExternal, clock block every 300 ms).

Needs UDP port 9000: run it in a network namespace of its own where it may
be in use (`unshare -rn python3 systest/cloudd_bench.py`)."""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tq8sys  # noqa: E402
from cloud_server import CloudServer  # noqa: E402
from tq8sys import Board  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def start(board, server, interval):
    board.write_config({"INFO": {"SERIAL_NUMBER": 42},
                        "WEBJSON": {"JSON_SERVER_ADDR": server.url + "/", "JSON_PERIOD": interval}})
    daemon = board.start("cloudd", "-i")
    if not server.wait_for_message("ping", timeout=20):
        raise SystemExit("cloudd did not become active")
    return daemon


def card_latencies(count):
    board = Board(serial=4242)
    server = CloudServer(online=1, interval=10, grant_default=1)
    try:
        start(board, server, 10)
        latencies = []
        for i in range(count):
            time.sleep(random.uniform(0.0, 0.3))
            card = (0xB0000000 + i).to_bytes(4, "big")
            presented = time.monotonic()
            board.mcu.card(1, card)
            if not board.mcu.wait_for(lambda: len(board.mcu.answers()) > i, 10, interval=0.001):
                raise SystemExit("no decision for card %d" % i)
            latencies.append((time.monotonic() - presented) * 1000)
        return latencies
    finally:
        server.close()
        board.close()


def idle_cost(seconds):
    board = Board(serial=4242)
    server = CloudServer(online=1, interval=10)
    try:
        daemon = start(board, server, 10)
        time.sleep(1)
        before = cpu_seconds(daemon.pid)
        requests = len(server.requests())
        time.sleep(seconds)
        used = cpu_seconds(daemon.pid) - before
        exchanges = len(server.requests()) - requests
        floor = board.run("cloudd-poll-floor", str(seconds), timeout=seconds + 30)
        floor_ms = int(floor.stdout.split()[1])
        return used * 1000 * 60 / seconds, exchanges, floor_ms * 60 / seconds
    finally:
        server.close()
        board.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cards", type=int, default=200)
    parser.add_argument("--idle", type=int, default=60, help="seconds of idle measurement")
    args = parser.parse_args()
    try:
        tq8sys.loopback_up()
    except OSError:
        pass
    print("machine: %d cores, %s" % (os.cpu_count(), os.uname().machine))

    latencies = sorted(card_latencies(args.cards))
    p99 = latencies[min(len(latencies) - 1, int(round(0.99 * len(latencies))) - 1)]
    print("card to decision at the MCU over %d cards: median %.0f ms, 99th percentile %.0f ms, "
          "min %.0f ms, max %.0f ms"
          % (len(latencies), statistics.median(latencies), p99, latencies[0], latencies[-1]))

    per_minute, exchanges, floor = idle_cost(args.idle)
    print("idle, online, interval 10 s (%d exchanges in %d s): cloudd %.0f ms CPU per minute; "
          "the wait phase's polling alone (cloudd-poll-floor) %.0f ms per minute"
          % (exchanges, args.idle, per_minute, floor))


if __name__ == "__main__":
    main()
