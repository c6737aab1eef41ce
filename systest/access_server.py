"""A stand-in access server for the tests of verifyd (Python 3 standard
library only): HTTPS on 127.0.0.1 with the test certificates, HTTP/1.1
keep-alive, one JSON request per POST:

    "poweron"       -> {"date": ...}
    "check_access"  -> {"grant_access": 0 or 1, "date": ...}
    "events"        -> {"success": 1}
    empty body      -> 200 and a small body (the reachability probe)

    certs = test_certs.make_certs(directory)
    test_certs.install(certs, board.root)        # the client side for verifyd
    server = AccessServer(certs, granted={"010203040506"})
    board.write_config({"ONLINE": {"SERVER_ADDR": "https://127.0.0.1",
                                   "SERVER_PORT": server.port}})
    ...
    server.wait_for_operation("check_access")
    server.require_client_cert()                 # refuse connections without one
    server.hang()                                # ... server.release()
    server.close()

As a program it serves until SIGINT or SIGTERM and prints one line per
request and per reply (see --help).
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import standin_http  # noqa: E402
from standin_http import Request, StandinServer, padded_json  # noqa: E402,F401


class AccessServer(StandinServer):
    """The access server.  `certs` is a directory for test_certs.make_certs
    (or its result); None makes a set in a temporary directory that close()
    removes.  Knobs (constructor keywords or set()):

    granted         identifiers (12 hex digits) that get "grant_access" 1
    grant_default   "grant_access" for other identifiers
    events_success  "success" of the answer to "events"
    date            None: local time now; a number: now plus that many
                    seconds; a text: that text; False: no "date"
    probe_body      body of the answer to an empty request
    """

    KNOBS = dict(granted=frozenset(), grant_default=0, events_success=1, date=None,
                 probe_body=b'{"status":"online"}')

    def __init__(self, certs=None, port=0, require_client_cert=False, auth=None, echo=None,
                 **knobs):
        self._scratch = None
        if certs is None:
            self._scratch = certs = tempfile.mkdtemp(prefix="tq8-access-certs-")
        super().__init__(port=port, certs=certs, auth=auth, echo=echo, **knobs)
        if require_client_cert:
            self.require_client_cert()

    def close(self):
        super().close()
        if self._scratch:
            shutil.rmtree(self._scratch, ignore_errors=True)

    def answer(self, record):
        knobs = self.knobs()
        if not record.body.strip():
            return 200, knobs["probe_body"]
        request = record.json if isinstance(record.json, dict) else {}
        operation = request.get("operation")
        reply = {}
        if operation == "check_access":
            identifier = str(request.get("identifier", "")).upper()
            reply["grant_access"] = (1 if identifier in knobs["granted"]
                                     else knobs["grant_default"])
        elif operation == "events":
            return 200, {"success": knobs["events_success"]}
        elif operation != "poweron":
            return 400, {"error": "unknown operation"}
        date = standin_http.date_text(knobs["date"])
        if date is not None:
            reply["date"] = date
        return 200, reply

    # --- what came in ---

    def operations(self, kind=None):
        """The parsed requests that got past authentication, in order, or
        those whose "operation" is `kind`."""
        return [r.json for r in self.requests()
                if r.auth_ok is not False and isinstance(r.json, dict)
                and (kind is None or r.json.get("operation") == kind)]

    def probes(self):
        """The requests with an empty body."""
        return [r for r in self.requests() if not r.body.strip()]

    def wait_for_operation(self, kind=None, count=1, timeout=10.0):
        """The `count`-th request of that operation once it has come, else None."""
        found = self.wait_for(lambda: len(self.operations(kind)) >= count, timeout)
        return self.operations(kind)[count - 1] if found else None

    def wait_for_probes(self, count=1, timeout=10.0):
        found = self.wait_for(lambda: len(self.probes()) >= count, timeout)
        return self.probes()[count - 1] if found else None

    # --- command-line lines ---

    def describe_request(self, record):
        cert = ("client cert %s" % (record.peer_subject or {}).get("commonName", "?")
                if record.client_cert else "no client cert")
        if not record.body.strip():
            what = "probe"
        elif isinstance(record.json, dict):
            what = str(record.json.get("operation"))
            if what == "check_access":
                what += " identifier=%s reader=%s" % (record.json.get("identifier"),
                                                      record.json.get("reader_id"))
            elif what == "events":
                what += "(%d)" % len(record.json.get("events") or [])
        else:
            what = "%d bytes, not JSON" % len(record.body)
        return "%s %s: %s (%s)" % (record.method, record.path, what, cert)

    def describe_reply(self, record):
        fault = " (%s)" % record.fault if record.fault else ""
        return "%s%s %s" % (record.status, fault, record.reply[:200].decode("latin-1"))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in access server on 127.0.0.1 (HTTPS).")
    standin_http.add_arguments(parser)
    parser.add_argument("--certs", metavar="DIR", help="test certificates (made when missing)")
    parser.add_argument("--require-cert", action="store_true",
                        help="refuse connections without a client certificate")
    args = parser.parse_args(argv)
    server = AccessServer(args.certs, require_client_cert=args.require_cert,
                          **standin_http.common_settings(args))
    standin_http.serve_until_signal(server, "access server")


if __name__ == "__main__":
    main()
