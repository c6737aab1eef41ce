"""The exchange recorder: an HTTP(S) forwarder between the virtual
controllers' daemons and the user's server (Python standard library only).

Every request a daemon sends goes to the server unchanged (method, path,
headers, body); the reply comes back unchanged.  On the way the recorder
notes the exchange: which controller, request and reply bodies, status and
the time the server took.  When the server cannot be reached or breaks off,
the daemon's connection is closed without a reply, so the daemon sees a
failed exchange just as it would without the recorder.

    recorder = Recorder("https://my.server/api", on_exchange=print,
                        route=lambda path: (serial_from(path), rest_of(path)))
    recorder.url          # where the daemons send their requests
    recorder.close()

Like the daemons themselves, the recorder does not verify the server's
certificate; it presents the client certificate it is given.
"""

import http.client
import http.server
import ssl
import threading
import time
import urllib.parse

# Headers that belong to one connection, not to the request.
HOP_BY_HOP = frozenset(("connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
                        "proxy-connection", "te", "trailer", "transfer-encoding", "upgrade",
                        "host", "content-length"))
# A body larger than this is not a daemon's exchange: refused, not buffered.
MAX_BODY = 4 << 20
# How much of each body the log keeps as text.
LOGGED_BODY = 8192


class Exchange:
    """One request and its reply (or the error that took its place)."""

    __slots__ = ("time", "serial", "method", "path", "request", "status", "reply", "ms", "error")

    def __init__(self, serial, method, path, request):
        self.time = time.time()
        self.serial = serial
        self.method = method
        self.path = path
        self.request = request
        self.status = None
        self.reply = b""
        self.ms = 0.0
        self.error = None

    @property
    def failed(self):
        return self.error is not None or self.status is None or self.status >= 400

    def as_json(self):
        return {"time": self.time, "method": self.method, "path": self.path,
                "request": text_of(self.request), "status": self.status,
                "reply": text_of(self.reply), "ms": round(self.ms, 1), "error": self.error}


def text_of(body):
    text = body[:LOGGED_BODY].decode("utf-8", "replace")
    return text + ("... (%d bytes)" % len(body) if len(body) > LOGGED_BODY else "")


def read_body(rfile, headers):
    """The request body: by Content-Length, or chunked; None when it is too
    large or malformed."""
    if "chunked" in headers.get("Transfer-Encoding", "").lower():
        body = b""
        while True:
            size_line = rfile.readline(64)
            try:
                size = int(size_line.split(b";")[0].strip(), 16)
            except ValueError:
                return None
            if size == 0:
                while rfile.readline(1024).strip():
                    pass
                return body
            if len(body) + size > MAX_BODY:
                return None
            body += rfile.read(size)
            rfile.readline(8)
    try:
        length = int(headers.get("Content-Length") or 0)
    except ValueError:
        return None
    if length < 0 or length > MAX_BODY:
        return None
    return rfile.read(length) if length else b""


class Recorder:
    """Listens on 127.0.0.1 (TLS with `listen_tls` = (certificate, key));
    forwards to `upstream` (an http or https URL: scheme, host and port are
    used; the path comes from each request, as `route` gives it).

    route(path) -> (serial, upstream path) or None for a path that belongs
    to no controller (answered 404).  on_exchange(exchange) is called after
    every exchange, from the recorder's threads."""

    def __init__(self, upstream, route, on_exchange, listen_tls=None, client_cert=None,
                 client_key=None, timeout=60.0):
        parts = urllib.parse.urlsplit(upstream)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError("not an http or https URL: %r" % upstream)
        self.scheme = parts.scheme
        self.host = parts.hostname
        self.port = parts.port or (443 if parts.scheme == "https" else 80)
        self.route = route
        self.on_exchange = on_exchange
        self.timeout = timeout
        self.client_context = None
        if self.scheme == "https":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            if client_cert:
                context.load_cert_chain(client_cert, client_key)
            self.client_context = context
        recorder = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            upstream_connection = None

            def log_message(self, *args):
                pass

            def do_POST(self):
                recorder._forward(self)

            do_GET = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_POST

            def finish(self):
                if self.upstream_connection is not None:
                    self.upstream_connection.close()
                super().finish()

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            # A fleet's daemons connect at the same moment.
            request_queue_size = 1024

            def handle_error(self, request, client_address):
                pass  # a daemon that went away mid-request is no error here

        self.server = Server(("127.0.0.1", 0), Handler)
        self.tls = listen_tls is not None
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*listen_tls)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.listen_port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, name="recorder",
                                       daemon=True)
        self.thread.start()

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.listen_port)

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def _connection(self, handler):
        if handler.upstream_connection is None:
            if self.scheme == "https":
                handler.upstream_connection = http.client.HTTPSConnection(
                    self.host, self.port, timeout=self.timeout, context=self.client_context)
            else:
                handler.upstream_connection = http.client.HTTPConnection(
                    self.host, self.port, timeout=self.timeout)
        return handler.upstream_connection

    def _forward(self, handler):
        body = read_body(handler.rfile, handler.headers)
        if body is None:
            handler.send_error(413 if handler.headers.get("Content-Length") else 400)
            handler.close_connection = True
            return
        target = self.route(handler.path)
        if target is None:
            handler.send_error(404, "no controller at this path")
            return
        serial, path = target
        exchange = Exchange(serial, handler.command, path, body)
        headers = {k: v for k, v in handler.headers.items() if k.lower() not in HOP_BY_HOP}
        headers["Host"] = self.host if self.port in (80, 443) else "%s:%d" % (self.host, self.port)
        if body or handler.command in ("POST", "PUT", "PATCH"):
            headers["Content-Length"] = str(len(body))
        started = time.monotonic()
        reply_headers = []
        # A kept connection that the server closed meanwhile fails at once:
        # one more try on a fresh connection.
        for attempt in (0, 1):
            connection = self._connection(handler)
            try:
                connection.request(handler.command, path, body=body, headers=headers)
                response = connection.getresponse()
                reply = response.read(MAX_BODY + 1)
                if len(reply) > MAX_BODY:
                    raise http.client.HTTPException("reply larger than %d bytes" % MAX_BODY)
                exchange.status = response.status
                exchange.reply = reply
                reply_headers = response.getheaders()
                if response.will_close:
                    connection.close()
                    handler.upstream_connection = None
                break
            except (OSError, http.client.HTTPException, ssl.SSLError) as error:
                connection.close()
                handler.upstream_connection = None
                reused = attempt == 0 and isinstance(
                    error, (http.client.RemoteDisconnected, BrokenPipeError,
                            ConnectionResetError))
                if reused and time.monotonic() - started < 1.0:
                    continue
                exchange.error = "%s: %s" % (type(error).__name__, error) if str(error) \
                    else type(error).__name__
                break
        exchange.ms = (time.monotonic() - started) * 1000
        if exchange.error is None:
            try:
                handler.send_response_only(exchange.status, None)
                for key, value in reply_headers:
                    if key.lower() not in HOP_BY_HOP:
                        handler.send_header(key, value)
                handler.send_header("Content-Length", str(len(exchange.reply)))
                handler.end_headers()
                if handler.command != "HEAD":
                    handler.wfile.write(exchange.reply)
                handler.wfile.flush()
            except OSError as error:
                exchange.error = "daemon went away: %s" % error
                handler.close_connection = True
        else:
            handler.close_connection = True
        self.on_exchange(exchange)

