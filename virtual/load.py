"""The load report of a virtual fleet: every interval, the exchanges per
second, the server's reply time (median, 99th percentile, worst), failed
exchanges and the controllers that fell back to inactive; a summary at the
end (Python standard library only)."""

import json
import math
import statistics
import threading
import time


def percentile(ordered, fraction):
    """Nearest-rank percentile of a sorted list (None when it is empty)."""
    if not ordered:
        return None
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def figures(times, failed, seconds, fell_back, fleet):
    ordered = sorted(times)
    states = [c.state for c in fleet.controllers]
    return {"seconds": round(seconds, 2), "exchanges": len(ordered),
            "exchanges_per_second": round(len(ordered) / seconds, 2) if seconds > 0 else 0.0,
            "reply_ms": {"median": round(statistics.median(ordered), 1) if ordered else None,
                         "p99": percentile(ordered, 0.99), "worst": ordered[-1] if ordered else None},
            "failed": failed, "fell_back": fell_back,
            "active": sum(s != "inactive" for s in states),
            "online": sum(s == "online" for s in states), "controllers": len(states)}


def line(title, f):
    ms = f["reply_ms"]

    def shown(value):
        return "-" if value is None else "%.1f" % value

    return ("%s: %d exchanges, %.1f/s; reply ms median %s, p99 %s, worst %s; failed %d; "
            "fell back to inactive %d; active %d, online %d of %d"
            % (title, f["exchanges"], f["exchanges_per_second"], shown(ms["median"]),
               shown(ms["p99"]), shown(ms["worst"]), f["failed"], f["fell_back"],
               f["active"], f["online"], f["controllers"]))


class LoadReport:
    """Collects the fleet's exchanges; report() every interval, finish() at
    the end.  With `as_json` nothing is printed until finish(), which
    prints one JSON document: {"intervals": [...], "summary": {...}}."""

    def __init__(self, fleet, say, as_json=False):
        self.fleet = fleet
        self.say = say
        self.as_json = as_json
        self.lock = threading.Lock()
        self.times = []          # reply ms of this interval
        self.failed = 0
        self.all_times = []
        self.all_failed = 0
        self.intervals = []
        self.started = self.last = time.monotonic()
        self.fell_back_at_start = {c.serial: c.fell_back for c in fleet.controllers}
        self.fell_back_last = dict(self.fell_back_at_start)
        fleet.listeners.append(self.take)

    def take(self, exchange):
        with self.lock:
            # A reply is timed whatever its status; a failed transfer has none.
            if exchange.status is not None:
                self.times.append(exchange.ms)
            if exchange.failed:
                self.failed += 1

    def _fell_back(self, since):
        return sum(1 for c in self.fleet.controllers if c.fell_back > since.get(c.serial, 0))

    def report(self):
        now = time.monotonic()
        with self.lock:
            times, failed = self.times, self.failed
            self.times, self.failed = [], 0
            self.all_times += times
            self.all_failed += failed
        fell_back = self._fell_back(self.fell_back_last)
        self.fell_back_last = {c.serial: c.fell_back for c in self.fleet.controllers}
        f = figures(times, failed, now - self.last, fell_back, self.fleet)
        f["at"] = round(now - self.started, 1)
        self.last = now
        self.intervals.append(f)
        if not self.as_json:
            self.say(line("%6.1f s" % f["at"], f))

    def finish(self):
        """The last interval and the summary; returns the summary."""
        if time.monotonic() - self.last > 0.5 or not self.intervals:
            self.report()
        summary = figures(self.all_times, self.all_failed, time.monotonic() - self.started,
                          self._fell_back(self.fell_back_at_start), self.fleet)
        if self.as_json:
            self.say(json.dumps({"intervals": self.intervals, "summary": summary}))
        else:
            self.say(line("summary over %.0f s" % summary["seconds"], summary))
        return summary
