"""What the stand-in servers of the system tests share (cloud_server.py,
access_server.py; Python 3 standard library only): a threading HTTP/1.1
server on 127.0.0.1 that runs in a background thread, wraps every accepted
connection in TLS itself (so whether a client certificate is required can
change while it runs), records every request, asks for HTTP Basic or Digest
authentication when told to, and bends its replies by faults that a test
sets for the next N replies or until it clears them.

A subclass supplies KNOBS (name: default) and answer(record), which returns
(status, body) for a request that met no fault; a body is bytes, a text or
a JSON value.
"""

import base64
import hashlib
import hmac
import http.server
import json
import re
import secrets
import signal
import socket
import ssl
import sys
import threading
import time

import test_certs

DATE_FORMAT = "%Y-%m-%d %H:%M:%S"
MAX_BODY = 1 << 20
HOLDING = ("slow", "hang")          # wait, then answer
SHAPING = ("drop", "status", "garbage", "redirect", "oversize", "pieces")


def date_text(setting):
    """The "date" of a reply: None gives the local time now, a number the
    local time that many seconds from now, a text that text; False gives None
    (no date)."""
    if setting is False:
        return None
    if isinstance(setting, str):
        return setting
    return time.strftime(DATE_FORMAT, time.localtime(time.time() + (setting or 0)))


def as_bytes(body):
    """Bytes as they are, a text in UTF-8, anything else as compact JSON."""
    if isinstance(body, (bytes, bytearray)):
        return bytes(body)
    if isinstance(body, str):
        return body.encode("utf-8")
    return json.dumps(body, separators=(",", ":")).encode("utf-8")


def padded_json(body, size):
    """`body` (as_bytes) with blanks inserted before its last character, so
    that a JSON object or array stays valid JSON and is exactly `size` bytes
    long; a longer body is returned unchanged."""
    data = as_bytes(body)
    if len(data) >= size or not data:
        return data
    return data[:-1] + b" " * (size - len(data)) + data[-1:]


class Request:
    """One request as received; the reply fields are filled in when it is
    answered (`status` stays None for a dropped connection)."""

    def __init__(self, **fields):
        self.number = 0               # position in the server's record
        self.time = time.time()
        self.client = None            # (address, port)
        self.method = self.path = self.version = None
        self.headers = []             # [(name, value)] in the order received
        self.body = b""
        self.json = None              # the parsed body, None when it is not JSON
        self.tls = False
        self.client_cert = False      # a client certificate was presented
        self.peer_subject = None      # its subject as {field name: value}
        self.auth_scheme = None       # "Basic", "Digest", ... as the client sent it
        self.auth_ok = None           # None when no authentication was asked for
        self.fault = None             # the fault that shaped the reply, if any
        self.status = None
        self.reply = None             # the reply body as sent
        self.answered = False         # the exchange is over (answered or dropped)
        self.__dict__.update(fields)

    def header(self, name, default=None):
        """The first value of a header, its name compared without case."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return default

    def __repr__(self):
        return "<Request %d %s %s %r -> %s>" % (self.number, self.method, self.path,
                                               self.body[:60], self.status)


class Faults:
    """Faults by kind with their parameters, each for its next `count` uses
    (None: until cleared)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._faults = {}

    def set(self, kind, count=1, **params):
        with self._lock:
            if count is not None and count <= 0:
                self._faults.pop(kind, None)
            else:
                self._faults[kind] = [count, params]

    def clear(self, kind=None):
        with self._lock:
            if kind is None:
                self._faults.clear()
            else:
                self._faults.pop(kind, None)

    def take(self, *kinds):
        """(kind, params) of the first of `kinds` that is set, using it up
        once; (None, None) when none is."""
        with self._lock:
            for kind in kinds:
                if kind in self._faults:
                    entry = self._faults[kind]
                    if entry[0] is not None:
                        entry[0] -= 1
                        if entry[0] <= 0:
                            del self._faults[kind]
                    return kind, dict(entry[1])
        return None, None

    def active(self):
        with self._lock:
            return {kind: (count, dict(params)) for kind, (count, params) in self._faults.items()}


_DIGEST_PARAM = re.compile(r'([\w-]+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^,\s]*))')


def _md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


class Auth:
    """HTTP Basic or Digest (MD5, qop=auth) for one user."""

    def __init__(self, scheme, user, password, realm="TQ8 stand-in"):
        self.scheme = scheme.capitalize()
        if self.scheme not in ("Basic", "Digest"):
            raise ValueError("scheme %r is neither Basic nor Digest" % scheme)
        self.user, self.password, self.realm = user, password, realm
        self.opaque = secrets.token_hex(8)
        self._nonces = set()
        self._lock = threading.Lock()

    def challenge(self):
        """The WWW-Authenticate value of a 401 reply (a new nonce for Digest)."""
        if self.scheme == "Basic":
            return 'Basic realm="%s"' % self.realm
        nonce = secrets.token_hex(16)
        with self._lock:
            self._nonces.add(nonce)
        return ('Digest realm="%s", qop="auth", algorithm=MD5, nonce="%s", opaque="%s"'
                % (self.realm, nonce, self.opaque))

    def check(self, value, method, path):
        """(scheme the client used or None, whether its credentials are right)."""
        if not value:
            return None, False
        scheme, _, rest = value.strip().partition(" ")
        if scheme.capitalize() != self.scheme:
            return scheme, False
        if self.scheme == "Basic":
            try:
                user, _, password = base64.b64decode(rest.strip(), validate=True) \
                    .decode("utf-8").partition(":")
            except (ValueError, UnicodeDecodeError):
                return scheme, False
            return scheme, (user, password) == (self.user, self.password)
        p = {m.group(1).lower(): re.sub(r"\\(.)", r"\1", m.group(2)) if m.group(2) is not None
             else m.group(3) for m in _DIGEST_PARAM.finditer(rest)}
        with self._lock:
            known = p.get("nonce") in self._nonces
        if (not known or p.get("username") != self.user or p.get("realm") != self.realm
                or p.get("uri") != path or p.get("algorithm", "MD5").upper() != "MD5"):
            return scheme, False
        ha1 = _md5("%s:%s:%s" % (self.user, self.realm, self.password))
        ha2 = _md5("%s:%s" % (method, p["uri"]))
        if p.get("qop") == "auth":
            expected = _md5(":".join((ha1, p["nonce"], p.get("nc", ""), p.get("cnonce", ""),
                                      "auth", ha2)))
        elif "qop" in p:
            return scheme, False
        else:
            expected = _md5("%s:%s:%s" % (ha1, p["nonce"], ha2))
        return scheme, hmac.compare_digest(expected, p.get("response", "").lower())


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"     # keep-alive, every reply carries its length
    server_version = "TQ8-standin/1.0"

    def do_POST(self):
        self.server.standin._exchange(self)

    do_GET = do_PUT = do_POST

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):
        pass


class _Listener(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False            # close() ends the connections itself

    def __init__(self, standin, address):
        self.standin = standin
        super().__init__(address, _Handler)

    def finish_request(self, request, client_address):
        self.standin._connection(request, client_address)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], OSError):   # a peer that went away is no error
            super().handle_error(request, client_address)


class StandinServer:
    """Base of the stand-in servers: listens on 127.0.0.1:`port` (0: any free
    port, see .port and .url), over TLS when `certs` is given (a directory
    for test_certs.make_certs, or the dictionary it returned); `auth` is
    (scheme, user, password) or None; `echo` gets one text line per request
    and per reply."""

    KNOBS = {}

    def __init__(self, port=0, certs=None, auth=None, echo=None, **knobs):
        self._changed = threading.Condition()    # guards everything below
        self._lock = self._changed
        self._version = 0                         # counts recorded changes
        self._requests = []
        self._tls_failures = []
        self._knobs = dict(self.KNOBS)
        self._auth = None
        self._released = 0
        self._connections = {}                    # descriptor: thread
        self._stopping = threading.Event()
        self._closed = False
        self.faults = Faults()
        self.echo = echo
        self.set(**knobs)
        if auth:
            self.require_auth(*auth)
        self.certs = None
        self._contexts = None
        if certs is not None:
            self.certs = certs if isinstance(certs, dict) else test_certs.make_certs(certs)
            self._contexts = {required: self._tls_context(required) for required in (False, True)}
        self._listener = _Listener(self, ("127.0.0.1", port))
        self.port = self._listener.server_address[1]
        self.url = "%s://127.0.0.1:%d" % ("https" if self.certs else "http", self.port)
        self._thread = threading.Thread(target=self._listener.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True,
                                        name="%s:%d" % (type(self).__name__, self.port))
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Stops listening, ends held replies and open connections, and
        waits (bounded) for their threads."""
        with self._changed:
            if self._closed:
                return
            self._closed = True
            self._stopping.set()
            self._changed.notify_all()
        self._listener.shutdown()
        self._thread.join()
        self._listener.server_close()
        # A connection's thread leaves the table before it closes its socket,
        # so every descriptor in it is still that connection's.
        with self._lock:
            for descriptor in self._connections:
                raw = socket.socket(fileno=descriptor)
                try:
                    raw.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                raw.detach()                      # its thread closes it
            threads = list(self._connections.values())
        for thread in threads:
            thread.join(timeout=5)

    # --- knobs, faults, authentication ---

    def set(self, **knobs):
        """Changes behaviour knobs (the names of KNOBS)."""
        unknown = set(knobs) - set(self.KNOBS)
        if unknown:
            raise TypeError("unknown knobs: %s" % ", ".join(sorted(unknown)))
        with self._lock:
            self._knobs.update(self._normalise(knobs))

    @staticmethod
    def _normalise(knobs):
        if "granted" in knobs:                    # card texts compare in upper case
            knobs["granted"] = frozenset(str(card).upper() for card in knobs["granted"])
        return knobs

    def knobs(self):
        with self._lock:
            return dict(self._knobs)

    def require_auth(self, scheme=None, user="", password=""):
        """Asks for "basic" or "digest" authentication from now on; None: no longer."""
        auth = Auth(scheme, user, password) if scheme else None
        with self._lock:
            self._auth = auth

    def fail_status(self, status=500, body=b"Internal Server Error\n", count=1):
        """Answers with this HTTP status and body (bytes, text or JSON value)."""
        self.faults.set("status", count, status=status, body=body)

    def garbage(self, body=b"<html>this is not JSON\x00\xff</html>\n", count=1):
        """Answers 200 with a body that is not JSON."""
        self.faults.set("garbage", count, body=body)

    def oversize(self, size, body=None, count=1):
        """Answers with the usual reply (or `body`) padded with blanks to
        exactly `size` bytes of valid JSON."""
        self.faults.set("oversize", count, size=size, body=body)

    def slow(self, seconds, count=1):
        """Waits `seconds` before answering (cut short by release() or close())."""
        self.faults.set("slow", count, seconds=seconds)

    def hang(self, timeout=None, count=1):
        """Holds the request unanswered until release(), close() or `timeout`
        seconds, then answers as usual."""
        self.faults.set("hang", count, seconds=timeout)

    def release(self):
        """Lets every held request go on."""
        with self._changed:
            self._released += 1
            self._changed.notify_all()

    def redirect(self, location, header="Location", status=301, body=None, count=1):
        """Answers `status` ("301 Moved Permanently") with "header: location"
        and the usual reply (or `body`)."""
        self.faults.set("redirect", count, location=location, header=header,
                        status=status, body=body)

    def drop(self, count=1):
        """Closes the connection without answering."""
        self.faults.set("drop", count)

    def pieces(self, pieces=2, pause=0.05, chunked=False, body=None, count=1):
        """Sends the usual reply (or `body`) in `pieces` writes `pause`
        seconds apart, with chunked transfer encoding or one Content-Length."""
        self.faults.set("pieces", count, pieces=pieces, pause=pause, chunked=chunked, body=body)

    def require_client_cert(self, count=None):
        """Refuses TLS connections without a valid client certificate, for the
        next `count` connections (None: until clear_faults())."""
        self.faults.set("client_cert", count)

    def clear_faults(self, kind=None):
        self.faults.clear(kind)

    # --- the record ---

    def requests(self):
        with self._lock:
            return list(self._requests)

    def tls_failures(self):
        """[(time, client, client certificate required, error text)] of
        connections whose TLS handshake failed."""
        with self._lock:
            return list(self._tls_failures)

    def clear_record(self):
        with self._changed:
            self._requests.clear()
            self._tls_failures.clear()
            self._version += 1
            self._changed.notify_all()

    def wait_for(self, predicate, timeout=10.0):
        """Calls `predicate` whenever the server records something (and at
        least every 0.1 s) until it returns something true (returned) or the
        time is up (its last value returned)."""
        deadline = time.monotonic() + timeout
        while True:
            with self._changed:
                seen = self._version
            value = predicate()
            if value:
                return value
            with self._changed:
                left = deadline - time.monotonic()
                if left <= 0:
                    return value
                if self._version == seen:
                    self._changed.wait(min(left, 0.1))

    def _note(self, change=None):
        with self._changed:
            if change:
                change()
            self._version += 1
            self._changed.notify_all()

    def _say(self, line):
        if self.echo:
            self.echo(line)

    # --- connections ---

    def _tls_context(self, required):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.certs["server"], self.certs["server_key"])
        context.load_verify_locations(self.certs["ca"])
        context.verify_mode = ssl.CERT_REQUIRED if required else ssl.CERT_OPTIONAL
        return context

    def _connection(self, sock, client):
        descriptor = sock.fileno()
        with self._lock:
            if self._stopping.is_set():
                return
            self._connections[descriptor] = threading.current_thread()
        try:
            if self._contexts:
                required = self.faults.take("client_cert")[0] is not None
                sock = self._contexts[required].wrap_socket(sock, server_side=True,
                                                            do_handshake_on_connect=False)
                sock.settimeout(10)               # a stalled handshake ends in time
                try:
                    sock.do_handshake()
                except (OSError, ValueError) as error:
                    self._note(lambda: self._tls_failures.append(
                        (time.time(), client, required, str(error))))
                    self._say("TLS refused %s:%d: %s" % (client[0], client[1], error))
                    return
                sock.settimeout(None)
            _Handler(sock, client, self._listener)
        finally:
            with self._lock:
                self._connections.pop(descriptor, None)
            if isinstance(sock, ssl.SSLSocket):   # the listener closes plain ones
                self._listener.shutdown_request(sock)

    # --- one exchange ---

    def _exchange(self, h):
        malformed = False
        try:
            body = self._read_body(h)
        except (ValueError, OSError):
            body, malformed = b"", True
        record = Request(client=h.client_address, method=h.command, path=h.path,
                         version=h.request_version, headers=list(h.headers.items()), body=body)
        try:
            record.json = json.loads(body.decode("utf-8")) if body.strip() else None
        except (ValueError, RecursionError):
            pass
        if isinstance(h.connection, ssl.SSLSocket):
            record.tls = True
            cert = h.connection.getpeercert()
            if cert:
                record.client_cert = True
                record.peer_subject = dict(pair for rdn in cert.get("subject", ()) for pair in rdn)
        with self._lock:
            auth = self._auth
        authorization = h.headers.get("Authorization")
        if auth:
            record.auth_scheme, record.auth_ok = auth.check(authorization, h.command, h.path)
        elif authorization:
            record.auth_scheme = authorization.split(" ", 1)[0]

        def append():
            record.number = len(self._requests)
            self._requests.append(record)
        self._note(append)
        self._say("<- " + self.describe_request(record))

        if malformed:
            return self._send(h, record, 400, b"malformed request\n", close=True)
        if auth and not record.auth_ok:
            return self._send(h, record, 401, b"authentication required\n",
                              headers=[("WWW-Authenticate", auth.challenge())])
        kind, params = self.faults.take(*HOLDING)
        if kind:
            record.fault = kind
            self._hold(params["seconds"])
            if self._stopping.is_set():
                return self._drop(h, record)
        kind, params = self.faults.take(*SHAPING)
        if kind:
            record.fault = kind
        if kind == "drop":
            return self._drop(h, record)
        if kind in ("status", "garbage"):
            return self._send(h, record, params.get("status", 200), params["body"])
        status, body = self.answer(record)
        if kind and params.get("body") is not None:
            body = params["body"]
        if kind == "redirect":
            return self._send(h, record, params["status"], body,
                              headers=[(params["header"], params["location"])])
        if kind == "oversize":
            return self._send(h, record, status, padded_json(body, params["size"]))
        if kind == "pieces":
            return self._send(h, record, status, body, pieces=params["pieces"],
                              pause=params["pause"], chunked=params["chunked"])
        return self._send(h, record, status, body)

    def answer(self, record):
        return 200, b"{}"

    def describe_request(self, record):
        return "%s %s %d bytes" % (record.method, record.path, len(record.body))

    def describe_reply(self, record):
        return "%s %d bytes" % (record.status, len(record.reply))

    @staticmethod
    def _read_body(h):
        if "chunked" in h.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(h.rfile.readline(100).split(b";")[0], 16)
                if not 0 <= size <= MAX_BODY - len(body):
                    raise ValueError("bad chunk size")
                if size == 0:
                    while h.rfile.readline(1000).strip():
                        pass                      # trailer lines
                    return body
                body += h.rfile.read(size)
                h.rfile.readline(10)
        length = h.headers.get("Content-Length")
        if length is None:
            return b""
        length = int(length)
        if not 0 <= length <= MAX_BODY:
            raise ValueError("bad Content-Length")
        return h.rfile.read(length)

    def _hold(self, seconds):
        deadline = None if seconds is None else time.monotonic() + seconds
        with self._changed:
            generation = self._released
            while generation == self._released and not self._stopping.is_set():
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    break
                self._changed.wait(left)

    def _drop(self, h, record):
        h.close_connection = True
        self._note(lambda: setattr(record, "answered", True))
        self._say("-> (connection closed without a reply)")

    def _send(self, h, record, status, body, headers=(), pieces=1, pause=0.0,
              chunked=False, close=False):
        body = as_bytes(body)

        def answered():
            record.status, record.reply = status, body
        self._note(answered)
        self._say("-> " + self.describe_reply(record))
        try:
            h.send_response(status)
            h.send_header("Content-Type", "application/json")
            for name, value in headers:
                h.send_header(name, value)
            if chunked:
                h.send_header("Transfer-Encoding", "chunked")
            else:
                h.send_header("Content-Length", str(len(body)))
            if close:
                h.send_header("Connection", "close")
                h.close_connection = True
            h.end_headers()
            step = -(-len(body) // max(1, pieces)) or 1
            for start in range(0, len(body), step):
                if start:
                    self._stopping.wait(pause)    # so the client reads the pieces apart
                part = body[start:start + step]
                h.wfile.write(b"%x\r\n%s\r\n" % (len(part), part) if chunked else part)
            if chunked:
                h.wfile.write(b"0\r\n\r\n")
        finally:
            self._note(lambda: setattr(record, "answered", True))


def add_arguments(parser):
    """The command-line options both servers share."""
    parser.add_argument("--port", type=int, default=0, help="TCP port (default: any free one)")
    parser.add_argument("--grant", action="append", default=[], metavar="CARD",
                        help="card text (12 hex digits) to grant; repeatable")
    parser.add_argument("--grant-default", type=int, default=0, help="grant value for other cards")
    parser.add_argument("--events-success", type=int, default=1, help="answer to events")
    parser.add_argument("--date-offset", type=float, default=0, help="seconds added to the date")
    parser.add_argument("--basic", metavar="USER:PASSWORD", help="require Basic authentication")
    parser.add_argument("--digest", metavar="USER:PASSWORD", help="require Digest authentication")


def common_settings(args, echo=True):
    """Constructor keywords from the shared options."""
    auth = None
    if args.basic or args.digest:
        user, _, password = (args.basic or args.digest).partition(":")
        auth = ("basic" if args.basic else "digest", user, password)
    return dict(port=args.port, auth=auth, granted=args.grant, grant_default=args.grant_default,
                events_success=args.events_success, date=args.date_offset or None,
                echo=(lambda line: print(line, flush=True)) if echo else None)


def serve_until_signal(server, name):
    """Command-line mode: prints where the server listens, serves until
    SIGINT or SIGTERM, then closes it."""
    done = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: done.set())
    print("%s listening on %s" % (name, server.url), flush=True)
    while not done.wait(1.0):
        pass
    server.close()
    print("%s closed" % name, flush=True)
