"""Fault soak of the four daemons (Python 3 standard library only).

Each daemon runs against mcuemu, in a network namespace of its own, while
MCU faults of every kind the emulator offers are armed at random, events
are queued, cards presented and (cloudd, verifyd) the stand-in server
fails, stalls, answers garbage or drops connections.  Storms of faults
alternate with calm spells in which every fault is cleared and the
invariants are checked:

- the process is alive and answers the discovery probe;
- the bus lock is free (link-session, which takes it, runs to its end);
- every event the emulator produced reached the server at least once, and
  no event was acknowledged to the MCU (ring tail moved, external batch
  acknowledged) before the server had confirmed it;
- every card the server answered while it was reachable got its answer at
  the MCU, and no card was ever granted that the server did not grant,
  nor answered for another reader;
- bridged: a PC frame is answered with the MCU's data;
- at the end SIGTERM stops the daemon with status 0, the bus lock is free
  afterwards and no sanitizer report is on its standard error.

    python3 systest/soak.py                          # every daemon, 25 s each
    python3 systest/soak.py --seconds 600 --seed 7   # the long soak
    python3 systest/soak.py --daemons verifyd --seed 7 --seconds 60

The seed is printed; the same seed draws the same random choices (which
faults, events and cards, in which order), while the daemon's timing
between them differs from run to run.  Each
daemon runs as its own child process (`unshare -rn` where the machine
allows it, then all four at once; else one after the other in this
network), and its last line is its figures as JSON.
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tq8sys  # noqa: E402
from tq8sys import Board, free_port, receive, tcp_connect, udp_request  # noqa: E402

DAEMONS = ("cloudd", "verifyd", "bridged", "standbyd")

# The emulator's fault kinds.  dropconnection ends the daemon's I2C
# connection for good (a broken connection stays broken, as a vanished
# adapter would), so it is armed once, in the last storm, and only the
# checks that need no MCU follow it.  nobootloader concerns the boot
# loader only, which no daemon enters.
MCU_FAULTS = ("noready", "slowready", "rejected", "statusaa", "refused", "nodata",
              "badchecksum", "wrongecho", "shortlength", "extradata", "unstable",
              "writeerror", "readerror")
FINAL_FAULT = "dropconnection"
TRANSFER_FAULTS = ("writeerror", "readerror", FINAL_FAULT)
# The commands the daemons send (frame byte 5): ReadMem, WriteMem, GetExternal and
# SetExternal, GetCtrlParams.
FRAME_COMMANDS = (0x02, 0x03, 0x0F, 0x00)
HTTP_FAULTS = ("status", "garbage", "oversize", "slow", "stall", "drop", "pieces")
# Replies a sound client reads as the server's answer.
READABLE = (None, "pieces", "slow", "hang")

CALM_TIMEOUT = 45.0       # verifyd probes every 5 s, an exchange gives up after 10 s
STORM_SECONDS = (2.0, 5.0)
MAX_OUTSTANDING = 40      # events waiting at the MCU at most


class Violation(AssertionError):
    """An invariant did not hold."""


def bcd(value):
    return (value // 10) << 4 | value % 10


def event_time(n):
    """Month, day, hour, minute, second of event number n: unique for 12 x 28
    days.  The second is always 0 and no part of the event's identity: the
    emulator's unstable reads change the last byte read, and a record so
    changed still reaches the server as the same event."""
    return (n // (1440 * 28) % 12 + 1, n // 1440 % 28 + 1, n // 60 % 24, n % 60, 0)


def event_key(n):
    """How the event's date reads at the server without its year and second."""
    return "%02d-%02d %02d:%02d" % event_time(n)[:4]


def date_key(text):
    """The event key of a date text "YYYY-MM-DD HH:MM:SS"."""
    return str(text)[5:16]


def event_record(code, n, b1=0, b2=0):
    return bytes([code, b1, b2] + [bcd(v) for v in event_time(n)])


class Soak:
    """One daemon's soak: subclasses start the peers and the daemon, and
    provide storm actions and calm checks."""

    name = None

    def __init__(self, seconds, seed):
        self.rng = random.Random(seed)
        self.seconds = seconds
        self.seed = seed
        self.figures = {"daemon": self.name, "seed": seed, "seconds": seconds, "events": 0,
                        "cards": 0, "mcu_faults": 0, "http_faults": 0, "storms": 0,
                        "checks": 0, "faults_by_kind": {}}
        self.board = None
        self.daemon = None
        self.next_event = self.rng.randrange(10 ** 6)

    # --- bookkeeping ---

    def check(self, condition, text):
        self.figures["checks"] += 1
        if not condition:
            raise Violation("%s (seed %d): %s" % (self.name, self.seed, text))

    def count_fault(self, kind):
        by_kind = self.figures["faults_by_kind"]
        by_kind[kind] = by_kind.get(kind, 0) + 1

    def log_tail(self, count=40):
        return "".join(self.board.records()[-count:])

    # --- the run ---

    def run(self):
        self.board = Board(serial=4242, model=0x0642)
        try:
            self.start()
            deadline = time.monotonic() + self.seconds
            while True:
                self.storm(final=False)
                self.calm()
                if time.monotonic() >= deadline:
                    break
            self.storm(final=True)
            self.finish()
        except Violation:
            self.keep_evidence()
            raise
        finally:
            self.stop_peers()
            self.board.close()
        return self.figures

    def keep_evidence(self):
        """The whole kernel log and what the server received and answered,
        kept for a failed run (its name printed)."""
        path = os.path.join(tempfile.gettempdir(), "tq8-soak-%s-%d.log" % (self.name, self.seed))
        with open(path, "w") as out:
            out.write("".join(self.board.records()))
            server = getattr(self, "server", None)
            for record in server.requests() if server else ():
                out.write("\n== request %d %s fault=%s status=%s\n%s\n-> %r\n"
                          % (record.number, time.strftime("%H:%M:%S",
                                                          time.localtime(record.time)),
                             record.fault, record.status, record.body.decode("latin-1"),
                             record.reply))
        print("evidence: " + path, flush=True)

    def storm(self, final):
        """Random actions for a few seconds; the last storm also breaks the
        daemon's I2C connection."""
        self.figures["storms"] += 1
        end = time.monotonic() + self.rng.uniform(*STORM_SECONDS)
        if final:
            self.arm_mcu_fault(FINAL_FAULT)
        while time.monotonic() < end:
            roll = self.rng.random()
            if roll < 0.3 and not final:
                self.arm_mcu_fault(self.rng.choice(MCU_FAULTS))
            elif roll < 0.45:
                self.http_fault()
            elif roll < 0.5:
                self.probe_flood()
            else:
                self.action()
            self.sample()
            time.sleep(self.rng.uniform(0.02, 0.2))

    def arm_mcu_fault(self, kind):
        # Mostly a few uses; now and then until the calm spell clears it.
        options = {"count": None if self.rng.random() < 0.1 else self.rng.randint(1, 3)}
        if self.rng.random() < 0.3 and kind not in TRANSFER_FAULTS:
            options["cmd"] = self.rng.choice(FRAME_COMMANDS)
        if kind == "slowready":
            options["value"] = self.rng.randint(5, 300)
        elif kind == "shortlength":
            options["value"] = self.rng.randint(0, 7)
        elif kind == "extradata":
            options["value"] = self.rng.randint(1, 16)
        elif kind in ("writeerror", "readerror"):
            options["value"] = self.rng.choice((0, 5, 6, 121))
        elif kind == FINAL_FAULT:
            options = {"count": 1}
        if self.rng.random() < 0.3:
            options["skip"] = self.rng.randint(1, 5)
        self.board.mcu.fault(kind, **options)
        self.figures["mcu_faults"] += 1
        self.count_fault(kind)

    def probe_flood(self):
        """Discovery probes, some of them not the probe at all."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(self.rng.randint(1, 20)):
                payload = self.rng.choice((b"SEEK W642IP", b"SEEK W642IP" + b"x" * 2000,
                                           self.rng.randbytes(self.rng.randint(0, 64))))
                s.sendto(payload, ("127.0.0.1", 9000))
        self.figures["probes"] = self.figures.get("probes", 0) + 1

    def calm(self):
        """Clears every fault and checks the invariants."""
        self.board.mcu.clear_faults()
        self.clear_http_faults()
        self.check_alive()
        self.calm_checks()
        self.sample()
        self.check_bus_lock_free()

    def finish(self):
        """After the last storm: alive, discoverable, lock free; then SIGTERM."""
        self.board.mcu.clear_faults()
        self.clear_http_faults()
        self.check_alive()
        self.sample()
        self.check_bus_lock_free()
        status = self.daemon.stop(signal.SIGTERM, timeout=15)
        self.check(status == 0, "exit status %r after SIGTERM" % status)
        self.check_bus_lock_free()
        self.check(self.board.sanitizer_reports() == [],
                   "sanitizer report:\n" + self.daemon.stderr()[-3000:])

    def check_alive(self):
        self.check(self.daemon.poll() is None,
                   "the daemon ended with %r\n%s\n%s" % (self.daemon.poll(), self.log_tail(),
                                                       self.daemon.stderr()[-3000:]))
        reply = None
        for _ in range(3):
            reply = udp_request(b"SEEK W642IP", 9000, timeout=3.0)
            if reply:
                break
        self.check(reply is not None and reply.startswith(b"TQ8-HUB-SW:"),
                   "no discovery reply: %r" % reply)

    def check_bus_lock_free(self):
        try:
            session = self.board.run("link-session", timeout=30)
            ok = session.returncode == 0 and "identity: serial number 4242" in session.stdout
            text = session.stdout
        except subprocess.TimeoutExpired:
            ok, text = False, "link-session still waits for the bus lock after 30 s"
        self.check(ok, "the bus lock is not free: " + text)

    # --- what subclasses provide ---

    def start(self):
        raise NotImplementedError

    def action(self):
        pass

    def http_fault(self):
        pass

    def clear_http_faults(self):
        pass

    def sample(self):
        pass

    def calm_checks(self):
        pass

    def stop_peers(self):
        pass


class ServerSoak(Soak):
    """What the two daemons with an HTTP server share: server faults, cards
    and their decisions, events and their confirmations."""

    def __init__(self, *args):
        super().__init__(*args)
        self.server = None
        self.granted = set()          # card texts the server grants, both byte orders
        self.cards = {}               # card text -> reader it was presented at
        self.card_number = self.rng.randrange(1 << 40)
        self.produced = []            # event keys in the order the MCU got them
        self.slots = []               # per MCU record: the event key it belongs to

    def http_fault(self):
        kind = self.rng.choice(HTTP_FAULTS)
        s, rng = self.server, self.rng
        if kind == "status":
            s.fail_status(rng.choice((500, 503, 404, 401)), count=rng.randint(1, 3))
        elif kind == "garbage":
            s.garbage(count=rng.randint(1, 2))
        elif kind == "oversize":
            s.oversize(rng.choice((2049, 3000, 8192)))
        elif kind == "slow":
            s.slow(rng.uniform(0.1, 2.0))
        elif kind == "stall":
            s.hang(timeout=self.stall_seconds())
        elif kind == "drop":
            s.drop(count=rng.randint(1, 2))
        else:
            s.pieces(pieces=rng.randint(2, 5), pause=0.02, chunked=rng.random() < 0.5)
        self.figures["http_faults"] += 1
        self.count_fault("http-" + kind)

    def clear_http_faults(self):
        self.server.clear_faults()
        self.server.release()

    def stop_peers(self):
        if self.server:
            self.server.close()

    # --- cards ---

    def present_odd_card(self):
        """A card number of another length than six bytes: the server is asked
        about it like any other and refuses it."""
        card = self.rng.randbytes(self.rng.choice((1, 2, 3, 5, 7, 10, 16, 40)))
        self.board.mcu.card(self.rng.randint(0, 1), card)
        self.figures["cards"] += 1

    def present_card(self, reader=None):
        self.card_number = (self.card_number + 7919) % (1 << 48)
        card = self.card_number.to_bytes(6, "big")
        text = card.hex().upper()
        reader = self.rng.randint(0, 1) if reader is None else reader
        if self.rng.random() < 0.5:
            self.granted.update((text, card[::-1].hex().upper()))
            self.server.set(granted=self.granted)
        self.cards[text] = reader
        self.board.mcu.card(reader, card)
        self.figures["cards"] += 1
        return text

    def check_answers(self):
        """Every answer at the MCU: granted only for a card that was presented
        and that the server grants, at its reader.  (A reply the MCU padded
        with bytes may read as a card nobody presented; the server refuses
        it like any unknown card.)"""
        for code, reader, card in self.board.mcu.answers():
            text = card[:6].hex().upper()       # bytes a padded reply added are no card
            self.check(code in (0x22, 0x23, 0x24, 0x25) and code & 1 == reader,
                       "answer %02X for reader %d, card %s" % (code, reader, text))
            if code in (0x24, 0x25):
                self.check(text in self.granted and text in self.cards,
                           "card %s granted, the server does not grant it\n%s"
                           % (text, self.log_tail(80)))
            if text in self.cards:
                self.check(reader == self.cards[text], "card %s of reader %d answered for "
                           "reader %d" % (text, self.cards[text], reader))

    def card_answered(self, text):
        """Whether the MCU has an answer for the card the server knows as
        `text` (its first six bytes; a shorter card may come back padded)."""
        text = text[:12]
        answers = [card[:6].hex().upper() for _, _, card in self.board.mcu.answers()]
        return any(a and (a.startswith(text) or text.startswith(a)) for a in answers)

    def calm_cards(self):
        """Cards presented until one is answered; then every card the server
        answered during the calm spell must have its answer at the MCU."""
        since = len(self.server.requests())
        calm_cards = []

        def answered_calm_card():
            if not calm_cards or (time.monotonic() - presented[0] > 5.0
                                  and not self.asked_since(since, calm_cards[-1])):
                calm_cards.append(self.present_card())
                presented[0] = time.monotonic()
            return any(self.card_answered(t) for t in calm_cards)

        presented = [0.0]
        self.check(tq8sys.wait_for(answered_calm_card, CALM_TIMEOUT, 0.05),
                   "no card answered in %d s while the server answers: %s\n%s"
                   % (CALM_TIMEOUT, calm_cards, self.log_tail()))
        decided = self.decided_since(since)
        self.check(tq8sys.wait_for(lambda: all(self.card_answered(t) for t in decided), 10.0),
                   "cards the server decided got no answer: %s\n%s"
                   % ([t for t in decided if not self.card_answered(t)], self.log_tail()))
        self.check_answers()

    # --- events ---

    def sample(self):
        """Acknowledged records must all belong to confirmed events.  The
        acknowledgement is read first: the server records its confirmation
        before it sends it, so anything confirmed before the
        acknowledgement is in its record by now."""
        acked = self.acknowledged()
        self.check(0 <= acked <= len(self.slots), "acknowledged %d of %d records"
                   % (acked, len(self.slots)))
        confirmed = self.confirmed_keys()
        for slot in range(acked):
            key = self.slots[slot]
            self.check(key is None or key in confirmed, "record %d (event %s) acknowledged to the MCU before "
                       "the server confirmed it\n%s" % (slot, key, self.log_tail()))

    def calm_events(self):
        """Every event produced reaches the server and is acknowledged."""
        def drained():
            return self.acknowledged() == len(self.slots)
        self.check(tq8sys.wait_for(drained, CALM_TIMEOUT, 0.1),
                   "%d of %d records still wait at the MCU\n%s"
                   % (len(self.slots) - self.acknowledged(), len(self.slots), self.log_tail()))
        seen = self.seen_keys()
        missing = [k for k in self.produced if k not in seen]
        self.check(not missing, "events never reached the server: %s" % missing[:10])

    def calm_checks(self):
        self.calm_cards()
        self.calm_events()


class CloudSoak(ServerSoak):
    name = "cloudd"

    def start(self):
        from cloud_server import CloudServer
        self.server = CloudServer(interval=1, online=1)
        self.board.write_config({
            "INFO": {"SERIAL_NUMBER": 42},
            "WEBJSON": {"JSON_SERVER_ADDR": self.server.url + "/api", "JSON_PERIOD": 1}})
        flags = self.board.mcu.params()[1]
        self.ring_size = (8192 << ((flags & 3) + 1)) % 65536 or 65536
        self.daemon = self.board.start("cloudd", "-i")
        self.check(self.server.wait_for_message("ping", timeout=60) is not None,
                   "cloudd never became active\n" + self.log_tail())

    def stall_seconds(self):
        return self.rng.uniform(1.0, 7.0)      # beyond the 5 s time-out at times

    def action(self):
        roll = self.rng.random()
        if roll < 0.6:
            head, tail = self.board.mcu.ring()
            if ((head - tail) % self.ring_size) // 8 < MAX_OUTSTANDING:
                records = []
                for _ in range(self.rng.randint(1, 4)):
                    n = self.next_event
                    self.next_event += 1
                    if self.rng.random() < 0.05:      # a record of any bytes at all
                        records.append(self.rng.randbytes(8))
                        self.slots.append(None)
                        continue
                    # Code 4 names key slot 0, so the key record is read too.
                    code, b2 = self.rng.choice(((2, 0x00), (4, 0xC0)))
                    records.append(event_record(code, n, 0, b2))
                    self.produced.append(event_key(n))
                    self.slots.append(event_key(n))
                self.board.mcu.event(*records)
                self.figures["events"] += len(records)
        elif roll < 0.75:
            self.present_card()
        elif roll < 0.8:
            self.present_odd_card()
        self.check_answers()

    def acknowledged(self):
        head, tail = self.board.mcu.ring()
        return len(self.slots) - ((head - tail) % self.ring_size) // 8

    def batches(self):
        return [(r, m) for r in self.server.requests() if isinstance(r.json, dict)
                for m in r.json.get("messages") or [] if isinstance(m, dict)]

    def seen_keys(self):
        return {date_key(e.get("time", "")) for _, m in self.batches()
                if m.get("operation") == "events"
                for e in m.get("events") or [] if isinstance(e, dict)}

    def confirmed_keys(self):
        keys = set()
        for record, message in self.batches():
            if message.get("operation") != "events" or not self.readable(record):
                continue
            try:
                reply = json.loads(record.reply.decode("utf-8"))
            except ValueError:
                continue
            if any(op.get("operation") == "events" and op.get("id") == message.get("id")
                   and (op.get("events_success") or 0) > 0 for op in reply.get("messages", [])):
                keys.update(date_key(e.get("time", "")) for e in message.get("events") or [])
        return keys

    @staticmethod
    def readable(record):
        return record.status == 200 and record.fault in READABLE and record.reply is not None

    def asked_since(self, since, text):
        return any(m.get("operation") == "check_access" and str(m.get("card", "")).upper() == text
                   for r in self.server.requests()[since:] if isinstance(r.json, dict)
                   for m in r.json.get("messages") or [] if isinstance(m, dict))

    def decided_since(self, since):
        """Cards whose decision went out in a readable reply after `since`."""
        asked = {}
        decided = []
        for record in self.server.requests():
            messages = record.json.get("messages") if isinstance(record.json, dict) else None
            for m in messages or []:
                if isinstance(m, dict) and m.get("operation") == "check_access":
                    asked[m.get("id")] = str(m.get("card", "")).upper()
            if record.number < since or not self.readable(record):
                continue
            try:
                reply = json.loads(record.reply.decode("utf-8"))
            except ValueError:
                continue
            for op in reply.get("messages", []):
                if op.get("operation") == "check_access" and op.get("id") in asked:
                    decided.append(asked[op["id"]])
        return decided


class VerifySoak(ServerSoak):
    name = "verifyd"

    def start(self):
        import test_certs
        from access_server import AccessServer
        self.certs_dir = tempfile.mkdtemp(prefix="tq8-soak-certs-")
        certs = test_certs.make_certs(self.certs_dir)
        test_certs.install(certs, self.board.root)
        self.server = AccessServer(certs)
        self.board.write_config({"INFO": {"SERIAL_NUMBER": 123},
                                 "ONLINE": {"SERVER_ADDR": "https://127.0.0.1",
                                            "SERVER_PORT": self.server.port}})
        self.daemon = self.board.start("verifyd", "-i", env=dict(self.board.env, TZ="UTC0"))
        self.check(self.server.wait_for_operation("poweron", timeout=30) is not None,
                   "verifyd never said poweron\n" + self.log_tail())

    def stop_peers(self):
        super().stop_peers()
        shutil.rmtree(getattr(self, "certs_dir", ""), ignore_errors=True)

    def stall_seconds(self):
        return self.rng.uniform(1.0, 12.0)     # beyond the 10 s time-out at times

    def action(self):
        roll = self.rng.random()
        if roll < 0.6:
            mcu = self.board.mcu
            if mcu.ext_events() < MAX_OUTSTANDING:
                records = []
                for _ in range(self.rng.randint(1, 8)):
                    n = self.next_event
                    self.next_event += 1
                    key = event_key(n)
                    if self.rng.random() < 0.2:       # an extension record carries the card
                        records.append(bytes([0x55, 0x01]) + self.rng.randbytes(6))
                        self.slots.append(key)
                    records.append(event_record(self.rng.choice((2, 4)), n, 0, 0xC0))
                    self.slots.append(key)
                    self.produced.append(key)
                mcu.ext_events(records)
                self.figures["events"] += len(records)
        elif roll < 0.7:
            self.present_card()
        elif roll < 0.75:
            self.present_odd_card()
        elif roll < 0.85:
            self.command_client()
        self.check_answers()

    def command_client(self):
        """A program on the controller that uses the command socket, or
        connects and leaves at once."""
        request = self.rng.choice((b'{"operation":"check_status","request_id":1}',
                                   b'{"operation":"open_door","request_id":2,"direction":1}',
                                   b'{"operation":"open_door","direction":-1}', b"",
                                   self.rng.randbytes(self.rng.randint(1, 3000))))
        try:
            with socket.create_connection(("127.0.0.1", 9999), timeout=1.0) as s:
                if request:
                    s.sendall(request)
                    receive(s, timeout=0.3)
        except OSError:
            pass                                  # refused while another client is served
        self.figures["commands"] = self.figures.get("commands", 0) + 1

    def acknowledged(self):
        return len(self.slots) - self.board.mcu.ext_events()

    def seen_keys(self):
        return {date_key(e.get("date", "")) for op in self.server.operations("events")
                for e in op.get("events") or [] if isinstance(e, dict)}

    def confirmed_keys(self):
        keys = set()
        for record in self.server.requests():
            if (not isinstance(record.json, dict) or record.json.get("operation") != "events"
                    or record.status != 200 or record.fault not in READABLE):
                continue
            try:
                success = json.loads(record.reply.decode("utf-8")).get("success") or 0
            except (ValueError, AttributeError):
                continue
            if success > 0:
                keys.update(date_key(e.get("date", "")) for e in record.json.get("events") or [])
        return keys

    def asked_since(self, since, text):
        return any(isinstance(r.json, dict) and r.json.get("operation") == "check_access"
                   and str(r.json.get("identifier", "")).upper() == text
                   for r in self.server.requests()[since:])

    def decided_since(self, since):
        return [str(r.json.get("identifier", "")).upper() for r in self.server.requests()[since:]
                if isinstance(r.json, dict) and r.json.get("operation") == "check_access"
                and r.status == 200 and r.fault in READABLE]


class BridgeSoak(Soak):
    """A PC that sends ReadMem frames, garbage and half lines, and leaves."""

    name = "bridged"
    KEYS = bytes.fromhex("0A1B2C3D4E5F00FF" "1122334455662003")

    def start(self):
        import bridged_test
        self.protocol = bridged_test
        self.board.mcu.poke(1, 0xA0, 0x0100, self.KEYS)
        self.port = free_port()
        self.board.write_config({"INFO": {"SERIAL_NUMBER": 42}, "COMMON": {"AUTH_KEY": "S"},
                                 "TCP_SERVER": {"LOCAL_PORT": self.port}})
        self.daemon = self.board.start("bridged", "-i")
        self.pc = None
        self.sequence = 0
        self.figures["frames"] = self.figures["answers"] = 0

    def connect(self):
        if self.pc:
            self.pc.close()
        self.pc = tcp_connect(self.port, timeout=15)

    def send_frame(self):
        self.sequence = (self.sequence + 1) % 256
        frame = self.protocol.read_mem_request(1, 0xA0, 0x0100, 16, self.sequence)
        self.pc.sendall(self.protocol.encode_request(frame))
        self.figures["frames"] += 1
        return self.sequence

    def action(self):
        roll = self.rng.random()
        try:
            if self.pc is None or roll < 0.05:
                self.connect()
            elif roll < 0.15:
                junk = bytes(self.rng.randrange(256) for _ in range(self.rng.randint(1, 600)))
                self.pc.sendall(junk + b"\r")
            elif roll < 0.2:
                self.pc.sendall(b"\x1F\xCA")        # half a line, then gone
                self.pc.close()
                self.pc = None
            else:
                self.send_frame()
                data = receive(self.pc, count=32, timeout=0.3)
                self.figures["answers"] += bool(data)
        except OSError:
            self.pc = None                          # the bridge dropped us; next time anew

    def calm_checks(self):
        """A new PC's frame comes back with the MCU's bytes."""
        answer = b""
        for _ in range(3):
            try:
                self.connect()
                sequence = self.send_frame()
                answer = receive(self.pc, count=32, timeout=10)
            except OSError:
                continue
            if len(answer) >= 32:
                break
        self.check(len(answer) >= 32, "no answer to a frame: %r\n%s" % (answer, self.log_tail()))
        frame = self.protocol.decode_reply(answer[1:31])
        self.check(answer[0] == 0 and frame[3] == sequence and frame[8:24] == self.KEYS,
                   "wrong answer %r\n%s" % (answer, self.log_tail()))

    def stop_peers(self):
        if getattr(self, "pc", None):
            self.pc.close()


class StandbySoak(Soak):
    """Only the MCU misbehaves; the identity poll goes on."""

    name = "standbyd"

    def start(self):
        self.board.write_config({"INFO": {"SERIAL_NUMBER": 42}})
        self.daemon = self.board.start("standbyd", "-i")
        self.check(self.board.wait_for_record("SN=04242 Model=0642\n", timeout=30) is not None,
                   "no identity read\n" + self.log_tail())

    def action(self):
        if self.rng.random() < 0.2:
            udp_request(b"SEEK W642IP", 9000, timeout=1.0)

    def calm_checks(self):
        count = self.board.records().count("SN=04242 Model=0642\n")
        self.check(self.board.wait_for_record("SN=04242 Model=0642\n", timeout=30,
                                              count=count + 1) is not None,
                   "the identity poll stopped\n" + self.log_tail())


SOAKS = {cls.name: cls for cls in (CloudSoak, VerifySoak, BridgeSoak, StandbySoak)}


def run_one(name, seconds, seed):
    """In this process (and its network): one daemon's soak; prints its figures."""
    tq8sys.loopback_up()
    soak = SOAKS[name](seconds, seed)
    try:
        figures = soak.run()
    except Violation as violation:
        print("VIOLATION " + str(violation), flush=True)
        return 1
    print("FIGURES " + json.dumps(figures, sort_keys=True), flush=True)
    return 0


def namespaces_work():
    try:
        return subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=25.0, help="soak time per daemon")
    parser.add_argument("--seed", type=int, help="random seed (default: from the clock)")
    parser.add_argument("--daemons", default=",".join(DAEMONS),
                        help="comma-separated daemons (default: all four)")
    parser.add_argument("--one", choices=DAEMONS, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else int(time.time()) % 100000
    if args.one:
        return run_one(args.one, args.seconds, seed)

    names = [n for n in args.daemons.split(",") if n]
    unknown = [n for n in names if n not in DAEMONS]
    if unknown:
        parser.error("unknown daemons: %s" % ", ".join(unknown))
    print("soak: seed %d, %g s per daemon: %s" % (seed, args.seconds, ", ".join(names)),
          flush=True)
    isolated = namespaces_work()
    prefix = ["unshare", "-rn"] if isolated else []
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    children = []
    for name in names:
        out = tempfile.TemporaryFile()
        command = prefix + [sys.executable, os.path.abspath(__file__), "--one", name,
                            "--seconds", str(args.seconds), "--seed", str(seed)]
        child = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env)
        children.append((name, child, out))
        if not isolated:                  # one network for all: one at a time
            child.wait()
    failed = []
    totals = {"events": 0, "cards": 0, "mcu_faults": 0, "http_faults": 0, "checks": 0}
    for name, child, out in children:
        status = child.wait()
        out.seek(0)
        text = out.read().decode("latin-1")
        figures = None
        for line in text.splitlines():
            if line.startswith("FIGURES "):
                figures = json.loads(line[8:])
        if status != 0 or figures is None:
            failed.append(name)
            verdicts = [line for line in text.splitlines() if line.startswith("VIOLATION ")]
            print("== %s FAILED (status %d, seed %d): %s\n%s"
                  % (name, status, seed, verdicts[0] if verdicts else "no figures",
                     text[-12000:]))
            continue
        for key in totals:
            totals[key] += figures.get(key, 0)
        extra = ", %d frames" % figures["frames"] if "frames" in figures else ""
        print("== %s: %d events, %d cards%s, %d MCU faults, %d HTTP faults, %d storms, "
              "%d invariant checks held" % (name, figures["events"], figures["cards"], extra,
                                            figures["mcu_faults"], figures["http_faults"],
                                            figures["storms"], figures["checks"]))
        print("   faults: " + ", ".join("%s %d" % kv for kv in
                                        sorted(figures["faults_by_kind"].items())))
    if failed:
        print("soak FAILED for %s; replay: python3 %s --seed %d --seconds %g --daemons %s"
              % (", ".join(failed), sys.argv[0], seed, args.seconds, ",".join(failed)))
        return 1
    print("soak passed: %(events)d events, %(cards)d cards, %(mcu_faults)d MCU faults, "
          "%(http_faults)d HTTP faults, %(checks)d invariant checks" % totals)
    return 0


if __name__ == "__main__":
    sys.exit(main())
