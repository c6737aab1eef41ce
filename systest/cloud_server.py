"""A stand-in cloud server for the tests of cloudd (Python 3 standard library
only).  It takes the controller's message batches

    {"type":"TQ8HUB","sn":N,"messages":[...]}

and answers each with {"date": ..., "interval": N, "messages": [operations]}:

    server = CloudServer(interval=1)             # HTTP; certs=DIR for HTTPS
    board.write_config({"WEBJSON": {"JSON_SERVER_ADDR": server.url + "/"}})
    ...
    server.wait_for_message("ping")              # activated by its power_on
    server.queue({"operation": "open_door", "direction": 1})
    server.set(grant_default=1)                  # knobs, also while it runs
    server.fail_status(500, b"oops", count=3)    # faults: next N or until cleared
    server.close()

Unless told otherwise it activates a controller whose "power_on" says
"active":0, confirms every "events" message and refuses every card.
As a program it serves until SIGINT or SIGTERM and prints one line per
batch and per reply (see --help).
"""

import argparse
import collections
import itertools
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import standin_http  # noqa: E402
from standin_http import Request, StandinServer, padded_json  # noqa: E402,F401


def batch_messages(value):
    """The message objects of a parsed batch (none when it is not one)."""
    messages = value.get("messages") if isinstance(value, dict) else None
    return [m for m in messages if isinstance(m, dict)] if isinstance(messages, list) else []


class CloudServer(StandinServer):
    """The cloud server.  Knobs (constructor keywords or set()):

    auto_activate   answer a "power_on" with "active" 0 by "set_active"
    active, online  the values of that "set_active" (online None: left out)
    events_success  the "events_success" answer to an "events" message
                    (None: no answer)
    granted         card texts (12 hex digits) whose "check_access" gets
                    "granted" 1
    grant_default   "granted" for other cards (None: no answer)
    interval        "interval" of every reply (None: left out)
    date            None: local time now; a number: now plus that many
                    seconds; a text: that text; False: no "date"
    """

    KNOBS = dict(auto_activate=True, active=1, online=0, events_success=1,
                 granted=frozenset(), grant_default=0, interval=None, date=None)

    def __init__(self, port=0, certs=None, auth=None, echo=None, **knobs):
        self._queued = []
        self._raw = collections.deque()
        self._ids = itertools.count(1)
        super().__init__(port=port, certs=certs, auth=auth, echo=echo, **knobs)

    # --- what goes out ---

    def queue(self, *operations, ids=True):
        """Operations for the next reply, in order, each sent once; with `ids`
        an operation without "id" gets a fresh one.  Returns them."""
        operations = [dict(op) for op in operations]
        with self._lock:
            for op in operations:
                if ids and "id" not in op:
                    op["id"] = next(self._ids)
            self._queued.extend(operations)
        return operations

    def queue_reply(self, body):
        """A whole reply body (bytes, text or JSON value) sent as it is, in
        place of a built reply, once, in order; queued operations wait."""
        with self._lock:
            self._raw.append(standin_http.as_bytes(body))

    def pending(self):
        """Operations still waiting for a reply."""
        with self._lock:
            return [dict(op) for op in self._queued]

    def answer(self, record):
        with self._lock:
            if self._raw:
                return 200, self._raw.popleft()
            knobs = dict(self._knobs)
            operations = []
            for message in batch_messages(record.json):
                kind = message.get("operation")
                if kind == "power_on" and knobs["auto_activate"] and not message.get("active"):
                    op = {"id": next(self._ids), "operation": "set_active",
                          "active": knobs["active"]}
                    if knobs["online"] is not None:
                        op["online"] = knobs["online"]
                    operations.append(op)
                elif kind == "events" and knobs["events_success"] is not None:
                    operations.append({"id": message.get("id", 0), "operation": "events",
                                       "events_success": knobs["events_success"]})
                elif kind == "check_access":
                    card = str(message.get("card", "")).upper()
                    granted = 1 if card in knobs["granted"] else knobs["grant_default"]
                    if granted is not None:
                        operations.append({"id": message.get("id", 0),
                                           "operation": "check_access", "granted": granted})
            operations += self._queued
            self._queued = []
        reply = {}
        date = standin_http.date_text(knobs["date"])
        if date is not None:
            reply["date"] = date
        if knobs["interval"] is not None:
            reply["interval"] = knobs["interval"]
        reply["messages"] = operations
        return 200, reply

    # --- what came in ---

    def batches(self):
        """The parsed batches of the requests that got past authentication."""
        return [r.json for r in self.requests()
                if r.auth_ok is not False and isinstance(r.json, dict)]

    def messages(self, kind=None):
        """All messages of those batches in order, or those whose
        "operation" is `kind`."""
        return [m for batch in self.batches() for m in batch_messages(batch)
                if kind is None or m.get("operation") == kind]

    def wait_for_message(self, kind=None, count=1, timeout=10.0):
        """The `count`-th message of that kind once it has come, else None."""
        found = self.wait_for(lambda: len(self.messages(kind)) >= count, timeout)
        return self.messages(kind)[count - 1] if found else None

    def wait_for_requests(self, count=1, timeout=10.0):
        """Waits until `count` requests have been answered (or dropped)."""
        return self.wait_for(
            lambda: sum(r.answered for r in self.requests()) >= count, timeout)

    # --- command-line lines ---

    def describe_request(self, record):
        if not isinstance(record.json, dict):
            return "%s %s %d bytes, not a batch" % (record.method, record.path, len(record.body))
        parts = []
        for m in batch_messages(record.json):
            kind = str(m.get("operation", "?"))
            if kind == "events":
                kind += "(%d)" % len(m.get("events") or [])
            elif kind == "check_access":
                kind += " card=%s reader=%s" % (m.get("card"), m.get("reader"))
            elif kind == "read_cards":
                kind += "(%d)" % len(m.get("cards") or [])
            elif "operation" not in m:
                kind = json.dumps(m, separators=(",", ":"))
            parts.append(kind)
        auth = "" if record.auth_scheme is None else " [%s %s]" % (
            record.auth_scheme, {True: "ok", False: "wrong", None: "-"}[record.auth_ok])
        return "batch sn=%s%s: %s" % (record.json.get("sn"), auth, ", ".join(parts) or "-")

    def describe_reply(self, record):
        line = "%s%s" % (record.status, " (%s)" % record.fault if record.fault else "")
        try:
            reply = json.loads(record.reply.decode("utf-8"))
        except ValueError:
            return line + " %d bytes, not JSON" % len(record.reply)
        for op in batch_messages(reply):
            fields = " ".join("%s=%s" % (k, json.dumps(v)) for k, v in op.items()
                              if k not in ("id", "operation"))
            line += " [%s%s]" % (op.get("operation"), " " + fields if fields else "")
        if isinstance(reply, dict) and "interval" in reply:
            line += " interval=%s" % reply["interval"]
        return line


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in cloud server on 127.0.0.1.")
    standin_http.add_arguments(parser)
    parser.add_argument("--tls", metavar="DIR", help="serve HTTPS with test certificates in DIR")
    parser.add_argument("--no-activate", action="store_true", help="never send set_active")
    parser.add_argument("--online", type=int, default=0, help="online value of set_active")
    parser.add_argument("--interval", type=int, help="interval for every reply")
    args = parser.parse_args(argv)
    server = CloudServer(certs=args.tls, auto_activate=not args.no_activate, online=args.online,
                         interval=args.interval, **standin_http.common_settings(args))
    standin_http.serve_until_signal(server, "cloud server")


if __name__ == "__main__":
    main()
