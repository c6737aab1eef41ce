"""Virtual controllers: the real daemons on emulated boards, pointed at your
own server, with a page to watch and drive them (./scripts/virtual.sh runs
this after the build).

    virtual.py --mode cloud --server https://my.server/api --count 20
    virtual.py --mode online --server https://access.server:25000 \\
               --cert client.pem --key client.key --ca ca.pem
    virtual.py --mode advanced --listen 1000        # your PC software connects
    virtual.py --mode advanced --server pc.host:25000   # bridged connects to it
    virtual.py ... --count 200 --report 10 [--json] [--duration 300]

Each controller gets a root of its own below a work folder, with its own
CONFIG.CFG, serial number (from --serial-base on) and bus lock name; the
emulated MCU (mcuemu) and the daemon of the mode run on it.  The daemons'
exchanges with the server pass through a recorder that notes them for the
page and the load report (--direct leaves it out).  Ctrl-C (or SIGTERM)
stops everything and removes what the run laid out.
"""

import argparse
import os
import random
import re
import resource
import shutil
import signal
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "systest"))

from fleet import DAEMONS, Fleet, program  # noqa: E402
from load import LoadReport  # noqa: E402
from mcuemu import McuemuError, write_config  # noqa: E402
from recorder import Recorder  # noqa: E402
from web import Api, WebServer  # noqa: E402

# One UDP discovery port and one TCP command port per machine: verifyd and
# bridged end when they cannot bind them, so those modes run one controller.
SINGLE = {"online": "verifyd binds UDP port 9000 (discovery) and TCP 127.0.0.1:9999 "
                    "(external commands), one of each per machine",
          "advanced": "bridged binds UDP port 9000 (discovery), one per machine"}
MAX_COUNT = 2000


def say(text):
    try:
        print(text, flush=True)
    except BrokenPipeError:
        pass


def arguments(argv):
    parser = argparse.ArgumentParser(
        prog="virtual.sh", description="Virtual controllers: the real daemons on emulated "
        "boards, pointed at your server, with a page on 127.0.0.1 to watch and drive them.")
    parser.add_argument("--mode", choices=sorted(DAEMONS), default="cloud",
                        help="cloud (cloudd), online (verifyd) or advanced (bridged)")
    parser.add_argument("--server", help="cloud: the cloud server's URL; online: the access "
                        "server's https URL with its port; advanced: HOST:PORT of the PC "
                        "software that bridged connects to (client mode)")
    parser.add_argument("--listen", type=int, metavar="PORT",
                        help="advanced: bridged listens on PORT for the PC software (server mode)")
    parser.add_argument("--count", type=int, default=1, help="controllers (cloud mode: many)")
    parser.add_argument("--serial-base", type=int, default=100001,
                        help="serial number of the first controller (default 100001)")
    parser.add_argument("--port", type=int, default=8080,
                        help="port of the page on 127.0.0.1 (default 8080; 0: any free port)")
    parser.add_argument("--interval", type=int, default=10,
                        help="cloud: seconds between exchanges until the server sets its own")
    parser.add_argument("--login", default="", help="cloud: the server's login name")
    parser.add_argument("--password", default="", help="cloud: the server's password")
    parser.add_argument("--cert", help="online: the access server's client certificate (PEM)")
    parser.add_argument("--key", help="online: the client certificate's key (PEM)")
    parser.add_argument("--ca", help="online: the access server's CA (PEM); cloud: the CA "
                        "cloudd is given as /etc/server.crt")
    parser.add_argument("--auth", default="", help="online: the AUTH_STR the server expects")
    parser.add_argument("--report", type=float, metavar="SECONDS",
                        help="load report every SECONDS, and a summary at the end")
    parser.add_argument("--json", action="store_true",
                        help="the load report as one JSON document at the end")
    parser.add_argument("--cards", type=float, default=0.0, metavar="RATE",
                        help="present RATE random cards per second across the fleet")
    parser.add_argument("--duration", type=float, metavar="SECONDS",
                        help="stop after SECONDS (default: at Ctrl-C)")
    parser.add_argument("--direct", action="store_true",
                        help="daemons talk to the server themselves; exchanges are not recorded")
    parser.add_argument("--workdir", help="lay the roots out here (default: a temporary folder)")
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build", "bin"),
                        help="the build's bin folder (default build/bin)")
    args = parser.parse_args(argv)

    def refuse(text):
        parser.error(text)

    if not 1 <= args.count <= MAX_COUNT:
        refuse("--count is 1 to %d" % MAX_COUNT)
    if args.count > 1 and args.mode in SINGLE:
        refuse("%s mode runs one controller on a machine: %s" % (args.mode, SINGLE[args.mode]))
    if not 1 <= args.serial_base or args.serial_base + args.count - 1 > 0x7FFFFFFF:
        refuse("--serial-base and --count give serial numbers from 1 to 2147483647")
    if not 0 <= args.port <= 65535:
        refuse("--port is 0 to 65535")
    if args.json and not args.report:
        refuse("--json is the form of the load report: give --report SECONDS too")
    if args.report is not None and args.report <= 0:
        refuse("--report takes a positive number of seconds")
    if args.report and args.direct:
        refuse("the load report needs the recorder: leave out --direct")
    if args.mode == "advanced":
        if (args.server is None) == (args.listen is None):
            refuse("advanced mode takes --listen PORT (server mode) or --server HOST:PORT "
                   "(client mode)")
        if args.server is not None and not re.fullmatch(r"[\w.-]+:\d{1,5}", args.server):
            refuse("advanced mode: --server is HOST:PORT of the PC software")
        if args.listen is not None and not 1 <= args.listen <= 65535:
            refuse("--listen is a port from 1 to 65535")
    else:
        if not args.server:
            refuse("%s mode needs --server URL" % args.mode)
        parts = urllib.parse.urlsplit(args.server)
        schemes = ("https",) if args.mode == "online" else ("http", "https")
        if parts.scheme not in schemes or not parts.hostname:
            refuse("--server must be an %s URL" % " or ".join(schemes))
        try:
            parts.port
        except ValueError:
            refuse("--server has a bad port")
    if args.mode == "online":
        missing = [name for name in ("cert", "key", "ca") if not getattr(args, name)]
        if missing:
            refuse("online mode needs the access server's client certificate, its key and "
                   "its CA: --cert, --key and --ca (missing: --%s)" % ", --".join(missing))
    for name in ("cert", "key", "ca"):
        if getattr(args, name) and not os.path.isfile(getattr(args, name)):
            refuse("--%s: no such file %s" % (name, getattr(args, name)))
    args.bin_dir = args.bin
    args.mcuemu = program("mcuemu", args.bin)
    for name in ("mcuemu", DAEMONS[args.mode]):
        if not os.access(program(name, args.bin), os.X_OK):
            refuse("%s is not built: %s (./scripts/virtual.sh builds it)"
                   % (name, program(name, args.bin)))
    return args


def url_path(url):
    parts = urllib.parse.urlsplit(url)
    return (parts.path or "/") + ("?" + parts.query if parts.query else "")


class Run:
    """One run: the fleet, the recorder between its daemons and the server,
    the page and the load report."""

    def __init__(self, args):
        self.args = args
        self.stop = threading.Event()
        self.fleet = Fleet(args)
        self.recorder = None
        self.web = None
        self.report = None
        self.running = False

    def configure(self, controller):
        args = self.args
        config = {"INFO": {"SERIAL_NUMBER": controller.serial}}
        if args.mode == "cloud":
            address = args.server if self.recorder is None else "%s/c/%d%s" % (
                self.recorder.url, controller.serial, url_path(args.server))
            config["WEBJSON"] = {"JSON_SERVER_ADDR": address, "JSON_PERIOD": args.interval,
                                 "JSON_LOGIN": args.login, "JSON_PASSWORD": args.password}
            if args.ca:
                shutil.copyfile(args.ca, os.path.join(controller.root, "etc/server.crt"))
        elif args.mode == "online":
            parts = urllib.parse.urlsplit(args.server)
            if self.recorder is None:
                address, port = "https://%s%s" % (parts.hostname, parts.path), parts.port or 443
            else:
                address, port = "https://127.0.0.1%s" % parts.path, self.recorder.listen_port
            config["ONLINE"] = {"SERVER_ADDR": address, "SERVER_PORT": port,
                                "AUTH_STR": args.auth}
            for source, target in ((args.cert, "root/tolvek.pem"), (args.key, "root/tolvek.key"),
                                   (args.ca, "root/vk_ca.pem")):
                os.makedirs(os.path.join(controller.root, os.path.dirname(target)), exist_ok=True)
                shutil.copyfile(source, os.path.join(controller.root, target))
        else:
            if args.listen is not None:
                config["COMMON"] = {"MODE": "SERVER"}
                config["TCP_SERVER"] = {"LOCAL_PORT": args.listen, "ALLOWED_IP": "255.255.255.255"}
            else:
                host, port = args.server.rsplit(":", 1)
                config["COMMON"] = {"MODE": "CLIENT"}
                config["TCP_CLIENT"] = {"REMOTE_ADDR": host, "REMOTE_PORT": port}
        write_config(controller.root, config)

    def start_recorder(self):
        args = self.args
        if args.direct or args.mode == "advanced":
            return
        if args.mode == "cloud":
            def route(path):
                match = re.fullmatch(r"/c/(\d+)([/?].*)?", path, re.S)
                if not match:
                    return None
                rest = match.group(2) or "/"
                return int(match.group(1)), rest if rest.startswith("/") else "/" + rest
            self.recorder = Recorder(args.server, route, self.fleet.record)
        else:
            import test_certs
            certs = test_certs.make_certs(os.path.join(self.fleet.workdir, "recorder-certs"))
            serial = args.serial_base
            self.recorder = Recorder(args.server, lambda path: (serial, path), self.fleet.record,
                                     listen_tls=(certs["server"], certs["server_key"]),
                                     client_cert=args.cert, client_key=args.key)
        self.fleet.recorded = True

    def describe(self):
        args = self.args
        first, last = args.serial_base, args.serial_base + args.count - 1
        say("virtual: %d %s controller%s (%s), serial%s %d%s, roots below %s"
            % (args.count, args.mode, "s" if args.count > 1 else "", DAEMONS[args.mode],
               "s" if args.count > 1 else "", first, " to %d" % last if last != first else "",
               self.fleet.workdir))
        if args.mode == "advanced":
            if args.listen is not None:
                say("virtual: PC software connects to this machine's TCP port %d" % args.listen)
            else:
                say("virtual: bridged connects to the PC software at %s" % args.server)
        elif self.recorder is not None:
            say("virtual: server %s, exchanges recorded on the way (%s)"
                % (args.server, self.recorder.url))
        else:
            say("virtual: server %s, exchanges not recorded (--direct)" % args.server)
        if args.count > 1:
            say("virtual: UDP port 9000 (discovery) is one per machine: controller %d answers "
                "probes when the port is free, the others run on without discovery" % first)
        elif args.mode in SINGLE:
            say("virtual: " + SINGLE[args.mode])

    def run(self):
        args = self.args
        self.start_recorder()
        self.fleet.layout(self.configure)
        self.web = WebServer(Api(self.fleet, args.server or "listening on port %s" % args.listen),
                             args.port)
        self.describe()
        self.fleet.start()
        self.running = True
        say("virtual: page %s" % self.web.url)
        say("virtual: %d controller%s started; Ctrl-C stops them"
            % (args.count, "s" if args.count > 1 else ""))
        if args.report:
            self.report = LoadReport(self.fleet, say, as_json=args.json)
        if args.cards > 0:
            threading.Thread(target=self.present_cards, name="cards", daemon=True).start()
        deadline = time.monotonic() + args.duration if args.duration else None
        next_report = time.monotonic() + args.report if args.report else None
        while not self.stop.is_set():
            now = time.monotonic()
            waits = [t - now for t in (deadline, next_report) if t is not None]
            self.stop.wait(max(0.0, min(waits)) if waits else None)
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                break
            if next_report is not None and now >= next_report:
                self.fleet.watch_now()
                self.report.report()
                next_report += args.report

    def present_cards(self):
        gap = 1.0 / self.args.cards
        while not self.stop.wait(gap):
            controller = random.choice(self.fleet.controllers)
            try:
                controller.present_card(os.urandom(6).hex().upper(), random.choice((1, 2)))
            except (OSError, McuemuError):
                pass

    def close(self):
        self.stop.set()
        if self.report is not None:
            self.fleet.watch_now()
            self.report.finish()
        if self.web is not None:
            self.web.close()
        self.fleet.stop()
        if self.recorder is not None:
            self.recorder.close()


def raise_file_limit():
    """Each controller holds a few descriptors here (its emulator's control
    connection and output, the recorder's connections): a large fleet needs
    more than the usual soft limit of 1024."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main(argv=None):
    args = arguments(argv)
    raise_file_limit()
    run = Run(args)

    def stop(signum, frame):
        run.stop.set()

    # A signal while the fleet starts ends the start (the clean-up below
    # still runs); once it runs, a signal ends the main loop.
    def interrupt(signum, frame):
        run.stop.set()
        if not run.running:
            raise KeyboardInterrupt

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupt)
    status = 0
    try:
        run.run()
    except KeyboardInterrupt:
        pass
    except Exception as error:  # noqa: BLE001 - whatever stopped the start, clean up
        say("virtual: cannot go on: %s: %s" % (type(error).__name__, error))
        status = 1
    finally:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, stop)
        run.close()
        say("virtual: stopped, nothing left behind")
    return status


if __name__ == "__main__":
    sys.exit(main())
