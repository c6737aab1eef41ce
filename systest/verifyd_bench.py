"""Card-to-answer latency of verifyd (a benchmark, not a test): cards are
presented to the emulated MCU at random moments, verifyd takes each from its
next poll, asks the stand-in access server (local, answering at once) and
answers the MCU.  Prints the median, mean and 99th percentile over the
cards, split at the moment the request reached the server, beside the floor
the design allows: half the 100 ms poll period on average plus one HTTP
round trip (measured here through libcurl on a kept connection).

    python3 systest/verifyd_bench.py [CARDS]     # default 200

Needs UDP 9000 and TCP 9999: runs itself in `unshare -rn` where it can."""

import ctypes
import ctypes.util
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import test_certs  # noqa: E402
import tq8sys  # noqa: E402
from access_server import AccessServer  # noqa: E402
from tq8sys import Board  # noqa: E402

POLL_PERIOD = 0.100
NAMESPACE_MARK = "TQ8_BENCH_NAMESPACE"


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def http_round_trip(server, certs, count=200):
    """Median and mean seconds of a check_access POST through libcurl (the
    library verifyd uses, called here through ctypes) on one kept
    connection, with the client certificate."""
    curl = ctypes.CDLL(ctypes.util.find_library("curl") or "libcurl.so.4")
    curl.curl_easy_init.restype = ctypes.c_void_p
    curl.curl_easy_perform.argtypes = [ctypes.c_void_p]
    curl.curl_easy_cleanup.argtypes = [ctypes.c_void_p]
    handle = curl.curl_easy_init()
    sink = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t,
                            ctypes.c_void_p)(lambda data, size, count, user: size * count)
    body = json.dumps({"operation": "check_access", "identifier": "010203040506",
                       "reader_id": "1"}).encode()
    texts = {10002: b"https://127.0.0.1", 10025: certs["client"].encode(),      # URL, SSLCERT
             10087: certs["client_key"].encode(), 10065: certs["ca"].encode(),  # SSLKEY, CAINFO
             10015: body}                                                        # POSTFIELDS
    numbers = {3: server.port, 60: len(body), 64: 0, 81: 0, 99: 1}  # PORT, POSTFIELDSIZE, VERIFYPEER, VERIFYHOST, NOSIGNAL
    for option, value in texts.items():
        curl.curl_easy_setopt(ctypes.c_void_p(handle), ctypes.c_int(option), ctypes.c_char_p(value))
    for option, value in numbers.items():
        curl.curl_easy_setopt(ctypes.c_void_p(handle), ctypes.c_int(option), ctypes.c_long(value))
    curl.curl_easy_setopt(ctypes.c_void_p(handle), ctypes.c_int(20011), sink)  # WRITEFUNCTION
    times = []
    rng = random.Random(2)
    for _ in range(count):
        # Spaced like cards: back to back, the stand-in's reply (header and
        # body in two writes) would meet the client's delayed ACK and cost
        # 40 ms that no card sees.
        time.sleep(rng.uniform(0, POLL_PERIOD))
        start = time.perf_counter()
        if curl.curl_easy_perform(handle) != 0:
            raise RuntimeError("libcurl could not reach the stand-in server")
        times.append(time.perf_counter() - start)
    curl.curl_easy_cleanup(handle)
    return statistics.median(times), statistics.mean(times)


def main():
    if not os.environ.get(NAMESPACE_MARK) and shutil.which("unshare") and subprocess.run(
            ["unshare", "-rn", "true"], stderr=subprocess.DEVNULL).returncode == 0:
        os.execvpe("unshare", ["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                               *sys.argv[1:]], dict(os.environ, **{NAMESPACE_MARK: "1"}))
    tq8sys.loopback_up()
    cards = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    scratch = tempfile.mkdtemp(prefix="tq8-bench-certs-")
    board = Board(serial=1)
    try:
        certs = test_certs.make_certs(scratch)
        test_certs.install(certs, board.root)
        with AccessServer(certs, grant_default=1) as server:
            board.write_config({"ONLINE": {"SERVER_ADDR": "https://127.0.0.1",
                                           "SERVER_PORT": server.port}})
            daemon = board.start("verifyd", "-i")
            if not server.wait_for_operation("poweron"):
                print("verifyd did not come online")
                return 1
            total, to_server = [], []
            rng = random.Random(1)
            for n in range(cards):
                time.sleep(rng.uniform(0, POLL_PERIOD))   # any moment of the poll cycle
                card = n.to_bytes(6, "big")
                start = time.time()
                board.mcu.card(n % 2, card)
                while len(board.mcu.answers()) <= n:
                    time.sleep(0.0005)
                total.append(time.time() - start)
                request = server.requests()[-1]
                to_server.append(request.time - start)
            daemon.stop()
            rt_median, rt_mean = http_round_trip(server, certs)
        ms = 1000.0
        print("verifyd card-to-answer latency, %d cards, emulated MCU, local stand-in server"
              % cards)
        print("  presented -> answered:  median %.1f ms  mean %.1f ms  99th percentile %.1f ms"
              % (statistics.median(total) * ms, statistics.mean(total) * ms,
                 percentile(total, 0.99) * ms))
        print("  presented -> at server: median %.1f ms  mean %.1f ms"
              % (statistics.median(to_server) * ms, statistics.mean(to_server) * ms))
        print("  HTTP round trip (libcurl, keep-alive HTTPS):   median %.1f ms  mean %.1f ms"
              % (rt_median * ms, rt_mean * ms))
        print("  floor: half the poll period plus the median round trip = %.1f ms on average"
              % ((POLL_PERIOD / 2 + rt_median) * ms))
        return 0
    finally:
        board.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
