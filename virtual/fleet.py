"""Virtual controllers: the real daemon of a mode on an emulated board, one
per controller, each below an off-target root of its own (Python standard
library only).

    fleet = Fleet(settings)      # settings: see virtual.py's options
    fleet.start()                # roots, emulators, daemons, the watcher
    fleet.controllers[0].present_card("A1B2C3D4E5F6", 1)
    fleet.stop()                 # daemons, emulators, roots, bus locks

A watcher thread follows every controller: its daemon's kernel log (from
which the controller's state is read), the decisions its MCU received, its
event ring, door mode and door openings.  Exchanges with the server come in
from the recorder (recorder.py) through Fleet.record.
"""

import collections
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "emulator"))

from mcuemu import Mcuemu, McuemuError, make_root  # noqa: E402

DAEMONS = {"cloud": "cloudd", "online": "verifyd", "advanced": "bridged"}

# Event codes belong to the door firmware; these are the emulated board's.
EVENT_CODES = [{"name": "exit button", "code": 0x0A},
               {"name": "door forced", "code": 0x0C},
               {"name": "alarm", "code": 0x0E}]
EXTENSION_CODES = (0x55, 0x56)

KEY_BASE_START = 0x00C0
KEY_BASE_END = 0x10000
KEY_RECORD = 8
EVENT_RECORD = 8

# What a daemon's kernel-log records say about the controller's state.
# cloudd: it asks to be activated while inactive; the server's set_active
# makes it active, and online when it decides every card.  verifyd: whether
# its access server answers.  bridged: whether the PC software is connected.
STATE_RECORDS = {
    "cloud": [("Try To Get Active!\n", "inactive"), ("SET_ACTIVE: 0\n", "inactive"),
              ("SET_ACTIVE: 1\n", "active"), ("ONLINE: 1\n", "+online"),
              ("ONLINE: 0\n", "-online")],
    "online": [("Server ONLINE\n", "online"), ("Server OFFLINE\n", "inactive")],
    "advanced": [("Start SERVER*", "active"), ("Start CLIENT*", "active"),
                 ("* connected\n", "online"), ("Connected to server\n", "online"),
                 ("* disconnected\n", "active"), ("Disconected from server\n", "active")],
}


def record_matches(pattern, record):
    """A record is `pattern`, or starts or ends as it does where the pattern
    has a '*' at the other end."""
    if pattern.endswith("*"):
        return record.startswith(pattern[:-1])
    if pattern.startswith("*"):
        return record.endswith(pattern[1:])
    return record == pattern


CLOUD_FAILURES_TO_INACTIVE = 10


NOT_JSON = object()


def json_value(body):
    """The parsed body, or NOT_JSON."""
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return NOT_JSON


def messages(value):
    """The message objects of a parsed cloud batch or reply (none when it is not one)."""
    found = value.get("messages") if isinstance(value, dict) else None
    return [m for m in found if isinstance(m, dict)] if isinstance(found, list) else []


def lenient_int(value):
    """A number as the daemons read one: numbers and numeric texts count."""
    try:
        return int(value)
    except (TypeError, ValueError):
        return 0


def program(name, bin_dir):
    """Path of a program: $NAME (upper case, '-' as '_'), else BIN_DIR/NAME."""
    return os.environ.get(name.upper().replace("-", "_")) or os.path.join(bin_dir, name)


def bcd(value):
    return (value // 10) << 4 | value % 10


def card_bytes(text):
    """The 6 bytes of a card given as 12 hex digits; ValueError otherwise."""
    if not isinstance(text, str) or len(text) != 12:
        raise ValueError("a card is 12 hex digits")
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise ValueError("a card is 12 hex digits") from None


def ring_bytes(flags):
    """Size of the event ring from the memory size code in the parameter flags."""
    return 8192 << ((flags & 3) + 1)


class Controller:
    """One virtual controller: its root, its emulated MCU and its daemon."""

    def __init__(self, fleet, serial, root):
        self.fleet = fleet
        self.serial = serial
        self.mode = fleet.settings.mode
        self.root = root
        self.lock_name = "/tq8-virtual-%d-%d" % (os.getpid(), serial)
        self.env = dict(os.environ, TQ8_ROOT=root, TQ8_BUSLOCK=self.lock_name)
        self.mcu = None
        self.daemon = None
        self.daemon_status = "stopped"
        self.lock = threading.Lock()
        self.state = "inactive"
        self.fell_back = 0
        self.kmsg = collections.deque(maxlen=50)
        self._kmsg_offset = 0
        self._kmsg_partial = b""
        self.decisions = collections.deque(maxlen=20)
        self._decisions_seen = 0
        self.doors = collections.deque(maxlen=20)
        self.door_openings = 0
        self.exchange_log = collections.deque(maxlen=20)
        self.exchanges = 0
        self.failed_exchanges = 0
        self.last_exchange_ms = None
        self.ring = (0, 0)
        self.ring_size = 16384
        self.door_mode = 0
        self._cards = (0.0, None)
        self._restarting = False
        self._failures = 0

    def emulator(self):
        """The running emulator; OSError once it has stopped."""
        mcu = self.mcu
        if mcu is None:
            raise OSError("the controller's emulator has stopped")
        return mcu

    # --- start and stop ---

    def start(self):
        settings = self.fleet.settings
        self.mcu = Mcuemu(self.root, "--serial", str(self.serial), binary=settings.mcuemu,
                          own_session=True).start()
        self.ring_size = ring_bytes(self.mcu.params()[1])
        self.start_daemon()

    def start_daemon(self):
        name = DAEMONS[self.mode]
        with open(os.path.join(self.root, name + ".stdout"), "ab") as out:
            self.daemon = subprocess.Popen(
                [program(name, self.fleet.settings.bin_dir), "-i"], env=self.env,
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True)
        with self.lock:
            self.daemon_status = "running"

    def stop_daemon(self, timeout=10.0):
        daemon = self.daemon
        if daemon is None:
            return None
        if daemon.poll() is None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        with self.lock:
            self.daemon_status = "stopped"
            self._set_state("inactive")
        return daemon.returncode

    def restart(self):
        """Stops the daemon and starts it again, in the background."""
        with self.lock:
            if self._restarting:
                return
            self._restarting = True

        def run():
            try:
                self.stop_daemon()
                self.start_daemon()
            finally:
                with self.lock:
                    self._restarting = False

        threading.Thread(target=run, name="restart-%d" % self.serial, daemon=True).start()

    def close(self):
        """Stops the daemon and the emulator, removes the bus lock."""
        self.stop_daemon()
        if self.mcu is not None:
            try:
                self.mcu.stop()
            except (OSError, subprocess.TimeoutExpired):
                pass
            self.mcu = None
        try:
            os.unlink("/dev/shm" + self.lock_name)
        except FileNotFoundError:
            pass

    # --- what the watcher follows ---

    def _set_state(self, state):
        was_up = self.state != "inactive"
        self.state = state
        if was_up and state == "inactive":
            self.fell_back += 1

    def _take_record(self, record):
        self.kmsg.append(record.rstrip("\n"))
        if self.fleet.recorded:
            return  # the exchanges tell the state, without the watcher's lag
        for pattern, meaning in STATE_RECORDS[self.mode]:
            if not record_matches(pattern, record):
                continue
            if meaning == "+online":
                if self.state != "inactive":
                    self._set_state("online")
            elif meaning == "-online":
                if self.state == "online":
                    self._set_state("active")
            else:
                self._set_state(meaning)

    def follow_kernel_log(self):
        try:
            with open(os.path.join(self.root, "dev", "kmsg"), "rb") as log:
                log.seek(self._kmsg_offset)
                data = log.read(1 << 20)
        except OSError:
            return
        if not data:
            return
        self._kmsg_offset += len(data)
        records = (self._kmsg_partial + data).split(b"\0")
        self._kmsg_partial = records.pop()
        with self.lock:
            for record in records:
                self._take_record(record.decode("latin-1"))

    def watch(self):
        """One look at the controller (the watcher thread)."""
        self.follow_kernel_log()
        daemon = self.daemon
        if daemon is not None and daemon.poll() is not None and not self._restarting:
            with self.lock:
                if self.daemon_status == "running":
                    self.daemon_status = "exited %d" % daemon.returncode
                    self._set_state("inactive")
        try:
            mcu = self.emulator()
            decisions = mcu.decisions(self._decisions_seen)
            ring = mcu.ring()
            door_mode = mcu.mode()
            doors = mcu.doors()
        except (OSError, McuemuError):
            return
        now = time.time()
        with self.lock:
            self._decisions_seen += len(decisions)
            for code, reader, card, ms in decisions:
                self.decisions.append({"card": card.hex().upper(), "reader": (reader & 1) + 1,
                                       "granted": code in (0x24, 0x25), "ms": ms, "time": now})
            self.ring = ring
            self.door_mode = door_mode
            for direction in doors[self.door_openings:]:
                self.doors.append({"direction": direction, "time": now})
            self.door_openings = max(self.door_openings, len(doors))

    def record(self, exchange, reply):
        """An exchange of this controller; `reply` its parsed reply body."""
        with self.lock:
            self._state_from(exchange, reply)
            self.exchanges += 1
            self.failed_exchanges += exchange.failed
            self.last_exchange_ms = round(exchange.ms, 1)
            self.exchange_log.append(exchange)

    def _state_from(self, exchange, reply):
        """Follows the daemon's state from its exchanges, as the daemon does."""
        if self.mode == "online":
            # verifyd counts its server online after a good exchange (the
            # power-on or a probe) and offline after a failed one.
            self._set_state("inactive" if exchange.failed else "online")
            return
        # cloudd asks to be activated only while inactive; the server's
        # set_active makes it active or online; a failed exchange drops an
        # online controller at once and an active one after ten in a row.
        if any(m.get("operation") == "power_on" for m in messages(json_value(exchange.request))):
            self._set_state("inactive")
        if exchange.failed:
            self._failures += 1
            if self.state == "online" or self._failures >= CLOUD_FAILURES_TO_INACTIVE:
                self._failures = 0
                self._set_state("inactive")
            return
        self._failures = 0
        for m in messages(reply):
            if m.get("operation") == "set_active":
                active, online = lenient_int(m.get("active")), lenient_int(m.get("online"))
                self._set_state("inactive" if not active else "online" if online else "active")

    # --- what the page and the API see ---

    def events_waiting(self):
        head, tail = self.ring
        return ((head & 0xFFF8) - (tail & 0xFFF8)) % self.ring_size // EVENT_RECORD

    def summary(self):
        with self.lock:
            daemon_status = "restarting" if self._restarting else self.daemon_status
            return {"serial": self.serial, "mode": self.mode, "state": self.state,
                    "daemon": daemon_status, "door_mode": self.door_mode,
                    "decisions": list(self.decisions), "exchanges": self.exchanges,
                    "failed_exchanges": self.failed_exchanges,
                    "events_waiting": self.events_waiting(), "door_openings": self.door_openings,
                    "last_exchange_ms": self.last_exchange_ms}

    def detail(self):
        result = self.summary()
        with self.lock:
            head, tail = self.ring
            result.update(
                ring={"head": head, "tail": tail, "waiting": self.events_waiting()},
                exchange_log=[e.as_json() for e in self.exchange_log],
                doors=list(self.doors), kmsg=list(self.kmsg),
                pid=self.daemon.pid if self.daemon is not None else None)
        result["cards"] = self.cards()
        result["clock"] = self.clock()
        return result

    def cards(self):
        """The key base's cards ({"count", "codes": the first 100}), read at
        most every 2 seconds."""
        read_at, cards = self._cards
        if cards is not None and time.monotonic() - read_at < 2.0:
            return cards
        cards = {"count": 0, "codes": []}
        try:
            mcu = self.emulator()
            pointer = int.from_bytes(mcu.peek(0, 0xA0, 0x00BE, 2), "big") or KEY_BASE_END
            end = min(max(pointer, KEY_BASE_START), KEY_BASE_END)
            address = KEY_BASE_START
            while address < end:
                size = min(end - address, 4096)
                block = mcu.peek(0, 0xA0, address, size)
                for offset in range(0, len(block) - KEY_RECORD + 1, KEY_RECORD):
                    record = block[offset:offset + KEY_RECORD]
                    if any(b != 0x55 for b in record[:7]):
                        cards["count"] += 1
                        if len(cards["codes"]) < 100:
                            cards["codes"].append(record[:6].hex().upper())
                address += size
        except (OSError, McuemuError):
            return cards
        self._cards = (time.monotonic(), cards)
        return cards

    def clock(self):
        try:
            text, _running = self.emulator().clock_get()
            mcu_time = time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))
        except (OSError, McuemuError, ValueError):
            return {"mcu": None, "offset": None}
        return {"mcu": text, "offset": int(round(mcu_time - time.time()))}

    # --- controls ---

    def present_card(self, card, reader):
        """Presents a card (12 hex digits) at reader 1 or 2."""
        data = card_bytes(card)
        if reader not in (1, 2) or isinstance(reader, bool):
            raise ValueError("reader is 1 or 2")
        self.emulator().card(reader - 1, data)

    def queue_event(self, code):
        """Writes an event record of `code`, at the MCU's time, into its ring."""
        if isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 255:
            raise ValueError("an event code is a number from 0 to 255")
        if code in EXTENSION_CODES:
            raise ValueError("0x55 and 0x56 are extension records, not events")
        mcu = self.emulator()
        text, _running = mcu.clock_get()
        moment = time.strptime(text, "%Y-%m-%d %H:%M:%S")
        mcu.event(bytes([code, 0, 0, bcd(moment.tm_mon), bcd(moment.tm_mday),
                              bcd(moment.tm_hour), bcd(moment.tm_min), bcd(moment.tm_sec)]))

    def set_clock_offset(self, offset):
        """Puts the MCU clock `offset` seconds off this machine's."""
        if isinstance(offset, bool) or not isinstance(offset, int) or abs(offset) > 10 * 365 * 86400:
            raise ValueError("an offset is a whole number of seconds, at most ten years")
        self.emulator().clock_set(time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(time.time() + offset)))

    def inject_fault(self, kind, count=1):
        if kind not in self.fleet.fault_kinds:
            raise ValueError("unknown fault; one of: " + ", ".join(self.fleet.fault_kinds))
        if isinstance(count, bool) or not isinstance(count, int) or not 1 <= count <= 1000000:
            raise ValueError("count is a number from 1 to 1000000")
        self.emulator().fault(kind, count=count)


class Fleet:
    """The virtual controllers of one run and the watcher that follows them."""

    def __init__(self, settings):
        self.settings = settings
        self.workdir = settings.workdir or tempfile.mkdtemp(prefix="tq8-virtual-")
        self.own_workdir = not settings.workdir
        self.controllers = []
        self.by_serial = {}
        self.fault_kinds = []
        self.exchange_times = collections.deque(maxlen=200)
        self.listeners = []  # called with every exchange (the load report)
        self.recorded = False  # whether a recorder passes every exchange on
        self.started = time.time()
        self._stop = threading.Event()
        self._watcher = None

    def layout(self, configure):
        """Lays out one root per controller; configure(controller) writes
        its configuration and files."""
        for i in range(self.settings.count):
            serial = self.settings.serial_base + i
            root = os.path.join(self.workdir, str(serial))
            os.makedirs(root)
            make_root(binary=self.settings.mcuemu, root=root)
            controller = Controller(self, serial, root)
            configure(controller)
            self.controllers.append(controller)
            self.by_serial[serial] = controller

    def start(self):
        for controller in self.controllers:
            controller.start()
        if self.controllers:
            self.fault_kinds = self.controllers[0].mcu.fault_kinds()
        self._watcher = threading.Thread(target=self._watch, name="watcher", daemon=True)
        self._watcher.start()

    def _watch(self):
        # A round over the whole fleet about once a second; a large fleet
        # spreads its round over more time rather than crowd the daemons.
        while not self._stop.is_set():
            started = time.monotonic()
            for controller in list(self.controllers):
                if self._stop.is_set():
                    return
                controller.watch()
            self._stop.wait(max(0.25, 1.0 - (time.monotonic() - started)))

    def record(self, exchange):
        reply = json_value(exchange.reply)
        # cloudd takes a reply that is no JSON for a failed exchange.
        if (self.settings.mode == "cloud" and exchange.error is None and exchange.status == 200
                and reply is NOT_JSON):
            exchange.error = "the reply is not JSON"
        controller = self.by_serial.get(exchange.serial)
        if controller is not None:
            controller.record(exchange, reply)
        self.exchange_times.append((exchange.time, round(exchange.ms, 1)))
        for listener in self.listeners:
            listener(exchange)

    def watch_now(self):
        """One round of the watcher at once (tests, the last report)."""
        for controller in self.controllers:
            controller.watch()

    def stop(self):
        """Stops every daemon and emulator and removes what the run laid out."""
        self._stop.set()
        if self._watcher is not None:
            self._watcher.join(timeout=10)
        # SIGTERM to every daemon first, then wait: a fleet stops in the time
        # of its slowest daemon, not the sum of them.
        for controller in self.controllers:
            if controller.daemon is not None and controller.daemon.poll() is None:
                controller.daemon.send_signal(signal.SIGTERM)
        for controller in self.controllers:
            controller.close()
        if self.own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
        else:
            for controller in self.controllers:
                shutil.rmtree(controller.root, ignore_errors=True)
