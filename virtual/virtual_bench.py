"""How many virtual cloud controllers this machine holds (a benchmark, not
a test; Python 3 standard library).

    unshare -rn python3 virtual/virtual_bench.py [--counts 100,200,300] \\
        [--interval 5] [--seconds 60]

For each count, virtual.py runs that many cloud controllers (cloudd and
mcuemu each) against a stand-in cloud server in this process that answers
at once and keeps every controller online with the given interval.  Once
all are online, the time between one controller's consecutive exchanges is
measured for --seconds: the exchange itself takes a millisecond or two,
the rest is the wait phase.  A count is held when every wait phase stays
within 10 % of the interval, no exchange failed and every controller is
still online at the end.  The benchmark stops at the first count that is
not held.
"""

import argparse
import collections
import json
import os
import signal
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "systest"))

import tq8sys  # noqa: E402
from cloud_server import CloudServer  # noqa: E402

TOLERANCE = 0.10


def controllers(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/api/controllers" % port, timeout=30) as r:
        return json.load(r)


def fleet_memory(pids):
    """Memory of the given processes, in MiB: their proportional set sizes,
    so that pages they share (libraries, the programs) count once."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except (OSError, StopIteration):
            pass
    return total / 1024


def descendants(pid):
    children = collections.defaultdict(list)
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                children[int(f.read().rsplit(")", 1)[1].split()[1])].append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def measure(count, interval, seconds):
    server = CloudServer(online=1, interval=interval)
    port = tq8sys.free_port()
    tool = subprocess.Popen([sys.executable, os.path.join(HERE, "virtual.py"), "--mode", "cloud",
                             "--server", server.url + "/", "--count", str(count),
                             "--interval", str(interval), "--port", str(port)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        for line in tool.stdout:
            if " started; " in line:
                break
        started = time.monotonic()
        online = tq8sys.wait_for(lambda: all(c["state"] == "online" for c in controllers(port)),
                                 timeout=60 + count * 0.2, interval=1.0)
        if not online:
            return {"count": count, "held": False, "why": "not all online after start"}
        settle = time.monotonic() - started
        time.sleep(interval)  # the first exchanges after activation come quicker
        begin = time.time()
        time.sleep(seconds)
        end = time.time()
        memory = fleet_memory(descendants(tool.pid))
        final = controllers(port)
        times = collections.defaultdict(list)
        failed = 0
        for request in server.requests():
            if begin <= request.time <= end and isinstance(request.json, dict):
                times[request.json.get("sn")].append(request.time)
                failed += request.status != 200
        gaps = sorted(b - a for t in times.values() for a, b in zip(t, t[1:]))
        worst = max((abs(g - interval) for g in gaps), default=None)
        held = (bool(gaps) and worst <= TOLERANCE * interval and failed == 0
                and all(c["state"] == "online" for c in final) and len(times) == count)
        return {"count": count, "held": held, "settle_s": round(settle, 1),
                "exchanges_per_s": round(sum(len(t) for t in times.values()) / seconds, 1),
                "gap_median_s": round(statistics.median(gaps), 3) if gaps else None,
                "gap_min_s": round(gaps[0], 3) if gaps else None,
                "gap_max_s": round(gaps[-1], 3) if gaps else None,
                "failed": failed, "online": sum(c["state"] == "online" for c in final),
                "memory_mib": round(memory)}
    finally:
        tool.send_signal(signal.SIGINT)
        try:
            tool.wait(timeout=120)
        except subprocess.TimeoutExpired:
            tool.kill()
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--counts", default="50,100,200,300,400")
    parser.add_argument("--interval", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()
    try:
        tq8sys.loopback_up()
    except OSError:
        pass
    print("machine: %d cores, %s; interval %d s, wait phases within %d %%, %g s each"
          % (os.cpu_count(), os.uname().machine, args.interval, TOLERANCE * 100, args.seconds),
          flush=True)
    held = 0
    for count in (int(c) for c in args.counts.split(",")):
        result = measure(count, args.interval, args.seconds)
        print(json.dumps(result), flush=True)
        if not result["held"]:
            break
        held = count
    print("held: %d cloud controllers" % held, flush=True)


if __name__ == "__main__":
    main()
