"""The page and the HTTP JSON API of the virtual controllers, on 127.0.0.1
(Python standard library only).

    GET  /api/fleet, /api/controllers, /api/controllers/SERIAL
    POST /api/controllers/SERIAL/card | event | clock | fault | restart
    POST /api/cards                     (a card at every controller)

Every request body is one JSON object.  Bad requests get a 4xx status and
{"error": text}; nothing a client sends can stop the server.
"""

import http.server
import json
import os
import re
import threading
import traceback
import urllib.parse

from fleet import EVENT_CODES
from mcuemu import McuemuError

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page")
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".png": "image/png", ".svg": "image/svg+xml"}
MAX_REQUEST = 65536


class ApiError(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


def field(body, name, kind, default=None):
    value = body.get(name, default)
    if value is None:
        raise ApiError(400, 'missing "%s"' % name)
    if kind is int and (isinstance(value, bool) or not isinstance(value, int)):
        raise ApiError(400, '"%s" must be a whole number' % name)
    if kind is str and not isinstance(value, str):
        raise ApiError(400, '"%s" must be a text' % name)
    return value


def control(action):
    """Runs one control of a controller; bad values are the client's fault
    (400), a controller that cannot take them is not (409)."""
    try:
        action()
    except ValueError as error:
        raise ApiError(400, str(error)) from None
    except (OSError, McuemuError) as error:
        raise ApiError(409, "the controller's emulator did not take it: %s" % error) from None


class Api:
    """The routes, on a fleet and what the run is (mode, server)."""

    def __init__(self, fleet, server_text):
        self.fleet = fleet
        self.server_text = server_text

    def get(self, path):
        if path == "/api/fleet":
            return {"mode": self.fleet.settings.mode, "server": self.server_text,
                    "count": len(self.fleet.controllers), "started": self.fleet.started,
                    "faults": self.fleet.fault_kinds, "event_codes": EVENT_CODES,
                    "exchange_times": list(self.fleet.exchange_times)}
        if path == "/api/controllers":
            return [c.summary() for c in self.fleet.controllers]
        match = re.fullmatch(r"/api/controllers/(\d+)", path)
        if match:
            return self.controller(match.group(1)).detail()
        raise ApiError(404, "no such resource: " + path)

    def controller(self, serial_text):
        controller = self.fleet.by_serial.get(int(serial_text))
        if controller is None:
            raise ApiError(404, "no controller %s" % serial_text)
        return controller

    def post(self, path, body):
        if path == "/api/cards":
            card, reader = field(body, "card", str), field(body, "reader", int)
            for controller in self.fleet.controllers:
                control(lambda c=controller: c.present_card(card, reader))
            return {"ok": True, "controllers": len(self.fleet.controllers)}
        match = re.fullmatch(r"/api/controllers/(\d+)/(\w+)", path)
        if not match:
            raise ApiError(404, "no such resource: " + path)
        controller = self.controller(match.group(1))
        action = match.group(2)
        if action == "card":
            card, reader = field(body, "card", str), field(body, "reader", int)
            control(lambda: controller.present_card(card, reader))
        elif action == "event":
            code = field(body, "code", int)
            control(lambda: controller.queue_event(code))
        elif action == "clock":
            offset = field(body, "offset", int)
            control(lambda: controller.set_clock_offset(offset))
        elif action == "fault":
            kind, count = field(body, "kind", str), field(body, "count", int, 1)
            control(lambda: controller.inject_fault(kind, count))
        elif action == "restart":
            controller.restart()
        else:
            raise ApiError(404, "no such control: " + action)
        return {"ok": True}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    api = None  # set on the subclass the server makes

    def log_message(self, *args):
        pass

    def send(self, status, body, content_type="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def fail(self, status, text):
        self.send(status, {"error": text})

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        try:
            if path.startswith("/api/"):
                self.send(200, self.api.get(path))
            else:
                self.page_file(path)
        except ApiError as error:
            self.fail(error.status, str(error))
        except Exception as error:  # noqa: BLE001 - a fault of ours is no reason to stop
            self.internal_error(error)

    do_HEAD = do_GET

    def internal_error(self, error):
        traceback.print_exc()
        try:
            self.fail(500, "internal error: %s" % error)
        except OSError:
            pass

    def page_file(self, path):
        name = "index.html" if path == "/" else path[1:]
        extension = os.path.splitext(name)[1]
        if not re.fullmatch(r"[\w.-]+", name) or name.startswith(".") or extension not in TYPES:
            raise ApiError(404, "no such page file: " + path)
        try:
            with open(os.path.join(PAGE, name), "rb") as f:
                data = f.read()
        except OSError:
            raise ApiError(404, "no such page file: " + path) from None
        self.send(200, data, TYPES[extension])

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0 or length > MAX_REQUEST:
            self.close_connection = True
            return self.fail(413 if length > 0 else 400, "a request body is a JSON object of at "
                             "most %d bytes, with a Content-Length" % MAX_REQUEST)
        raw = self.rfile.read(length) if length else b"{}"
        try:
            body = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return self.fail(400, "the body is not JSON")
        if not isinstance(body, dict):
            return self.fail(400, "the body must be a JSON object")
        try:
            self.send(200, self.api.post(path, body))
        except ApiError as error:
            self.fail(error.status, str(error))
        except Exception as error:  # noqa: BLE001
            self.internal_error(error)

    def do_PUT(self):
        self.fail(405, "use GET or POST")

    do_DELETE = do_PATCH = do_PUT


class WebServer:
    """Serves the page and the API on 127.0.0.1:`port` (0: a free one)."""

    def __init__(self, api, port):
        handler = type("BoundHandler", (Handler,), {"api": api})

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a browser that went away mid-reply

        self.server = Server(("127.0.0.1", port), handler)
        self.port = self.server.server_address[1]
        self.url = "http://127.0.0.1:%d/" % self.port
        self.thread = threading.Thread(target=self.server.serve_forever, name="web",
                                       daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
