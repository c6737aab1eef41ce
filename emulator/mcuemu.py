"""Start, steer and stop the mcuemu program from Python (standard library only).

    root = make_root()
    with Mcuemu(root, "--serial", "1234567") as mcu:
        mcu.card(1, bytes.fromhex("A1B2C3D4E5F6"))
        ...  # run programs with TQ8_ROOT=root
        assert mcu.wait_for(lambda: mcu.answers(), timeout=5)

The mcuemu binary is taken from the argument, else the MCUEMU environment
variable, else PATH.
"""

import codecs
import os
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time


class McuemuError(RuntimeError):
    """The emulator refused a command or could not be started."""


def _binary(binary=None):
    return binary or os.environ.get("MCUEMU") or shutil.which("mcuemu") or "mcuemu"


def wait_for(predicate, timeout=5.0, interval=0.02):
    """Polls `predicate` until it returns something true (returned) or the
    time is up (its last value returned)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def make_root(prefix="tq8root-", binary=None, root=None):
    """Lays out an off-target root: `root` (an empty directory), else a
    fresh temporary one; returns its path."""
    root = root or tempfile.mkdtemp(prefix=prefix)
    subprocess.run([_binary(binary), "--root", root, "--layout-only"], check=True)
    return root


def write_config(root, sections):
    """Writes the root's CONFIG.CFG from {section: {key: value}}."""
    lines = []
    for section, keys in sections.items():
        lines.append("[%s]" % section)
        lines += ["%s=%s" % (key, value) for key, value in keys.items()]
    with open(os.path.join(root, "etc/config/tq8hub/CONFIG.CFG"), "w") as f:
        f.write("\n".join(lines) + "\n")


class Mcuemu:
    """One mcuemu process serving an emulated MCU below `root`."""

    def __init__(self, root, *args, binary=None, timeout=10.0, own_session=False):
        """With `own_session` the process starts in a session of its own, so
        that a Ctrl-C at the terminal reaches only the program that steers it."""
        self.root = root
        self.own_session = own_session
        self.args = list(args)
        self.binary = _binary(binary)
        self.timeout = timeout
        self.process = None
        self.i2c_path = None
        self.control_path = None
        self._conn = None
        self._reader = None
        self._lock = threading.Lock()

    # --- process ---

    def start(self):
        self.process = subprocess.Popen(
            [self.binary, "--root", self.root, "--layout", *self.args],
            stdout=subprocess.PIPE, text=True, start_new_session=self.own_session)
        try:
            line = self._ready_line()
        except BaseException:
            self.process.kill()
            self.process.wait()
            raise
        words = line.split()
        if len(words) != 4 or words[:2] != ["mcuemu", "ready"]:
            self.process.kill()
            self.process.wait()
            raise McuemuError("mcuemu did not start: %r" % line)
        self.i2c_path, self.control_path = words[2], words[3]
        self._conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._conn.connect(self.control_path)
        self._reader = self._conn.makefile("r", encoding="ascii", newline="\n")
        return self

    def _ready_line(self):
        # poll, not select: a program that runs hundreds of emulators has
        # descriptors above select's limit of 1024.
        poller = select.poll()
        poller.register(self.process.stdout, select.POLLIN)
        ready = poller.poll(self.timeout * 1000)
        return self.process.stdout.readline().strip() if ready else ""

    def stop(self):
        """Stops the process (SIGTERM) and returns its exit status."""
        if self.process is None:
            return None
        if self._conn is not None:
            self._reader.close()
            self._conn.close()
            self._conn = None
        if self.process.poll() is None:
            self.process.terminate()
        status = self.process.wait(timeout=self.timeout)
        self.process.stdout.close()
        self.process = None
        return status

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- the control socket ---

    def command(self, line):
        """Sends one command; returns its data lines or raises McuemuError."""
        with self._lock:
            self._conn.sendall((line + "\n").encode("ascii"))
            lines = []
            while True:
                reply = self._reader.readline()
                if not reply:
                    raise McuemuError("control connection closed during %r" % line)
                reply = reply.rstrip("\n")
                if reply == "OK":
                    return lines
                if reply.startswith("ERR"):
                    raise McuemuError("%s: %s" % (line, reply[4:]))
                lines.append(reply)

    def _one(self, line):
        return self.command(line)[0]

    def wait_for(self, predicate, timeout=5.0, interval=0.02):
        return wait_for(predicate, timeout, interval)

    # --- one method per command ---

    def identity(self):
        return bytes.fromhex(self._one("identity"))

    def set_identity(self, serial, model):
        self.command("identity %d %d" % (serial, model))

    def set_identity_bytes(self, block):
        self.command("identity raw " + bytes(block).hex())

    def params(self):
        byte9, flags, fw = self._one("params").split()
        return int(byte9, 16), int(flags, 16), fw

    def set_params(self, byte9, flags, fw="1.0"):
        self.command("params %d %d %s" % (byte9, flags, fw))

    def peek(self, bus, type_, address, size):
        return bytes.fromhex(self._one("peek %d %d %d %d" % (bus, type_, address, size)))

    def poke(self, bus, type_, address, data):
        self.command("poke %d %d %d %s" % (bus, type_, address, bytes(data).hex()))

    def fill_keys(self, value):
        self.command("fill keys %d" % value)

    def clock_get(self):
        """('YYYY-MM-DD HH:MM:SS', running)"""
        date, clock, state = self._one("clock get").split()
        return date + " " + clock, state == "running"

    def clock_set(self, text):
        self.command("clock set '%s'" % text)

    def clock_run(self):
        self.command("clock run")

    def clock_freeze(self):
        self.command("clock freeze")

    def mode(self, value=None):
        if value is None:
            return int(self._one("mode"))
        self.command("mode %d" % value)
        return value

    def card(self, reader, data):
        self.command("card %d %s" % (reader, bytes(data).hex()))

    def ext_events(self, records=()):
        """Queues 8-byte records; without any, returns how many are queued."""
        if not records:
            return int(self._one("extevents"))
        self.command("extevents " + " ".join(bytes(r).hex() for r in records))
        return None

    def event(self, *records):
        self.command("event " + " ".join(bytes(r).hex() for r in records))

    def ring(self):
        head, tail = self._one("ring").split()
        return int(head, 16), int(tail, 16)

    def config(self, block=None):
        if block is None:
            return bytes.fromhex(self._one("config"))
        self.command("config " + bytes(block).hex())
        return bytes(block)

    def fire(self, on=None):
        if on is None:
            return self._one("fire") == "1"
        self.command("fire %d" % int(bool(on)))
        return bool(on)

    def keymode(self, value=None):
        if value is None:
            return int(self._one("keymode"))
        self.command("keymode %d" % value)
        return value

    def requests(self):
        return [bytes.fromhex(line) for line in self.command("requests")]

    def transfers(self):
        """[(op, register, count, status, data)]"""
        result = []
        for line in self.command("transfers"):
            op, reg, count, status, data = line.split()
            result.append((op, int(reg, 16), int(count), int(status),
                           b"" if data == "-" else bytes.fromhex(data)))
        return result

    def doors(self):
        return [int(v) for v in self.command("doors")]

    def modes(self):
        return [int(v) for v in self.command("modes")]

    def acks(self):
        return [int(v) for v in self.command("acks")]

    def answers(self):
        """[(code, reader, card bytes)]"""
        result = []
        for line in self.command("answers"):
            code, reader, card = line.split()
            result.append((int(code, 16), int(reader), b"" if card == "-" else bytes.fromhex(card)))
        return result

    def decisions(self, first=0):
        """[(code, reader, card bytes, ms or None)] from answer `first` on;
        ms is the time from the card's presentation at that reader to the
        answer (None: no presented card was waiting)."""
        result = []
        for line in self.command("decisions %d" % first):
            code, reader, card, ms = line.split()
            result.append((int(code, 16), int(reader),
                           b"" if card == "-" else bytes.fromhex(card),
                           None if ms == "-" else int(ms)))
        return result

    def service(self):
        """The ServiceCommand texts; bytes outside printable ASCII come as \\xNN."""
        return [codecs.decode(line, "unicode_escape") for line in self.command("service")]

    def boot(self):
        """{'mode', 'entries', 'headers', 'records': [(address, bytes)], 'done': address or None}"""
        state = {"headers": [], "records": [], "done": None}
        for line in self.command("boot"):
            key, _, rest = line.partition(" ")
            if key == "mode":
                state["mode"] = rest
            elif key == "entries":
                state["entries"] = int(rest)
            elif key == "header":
                state["headers"].append(rest)
            elif key == "record":
                address, data = rest.split()
                state["records"].append((int(address, 16), bytes.fromhex(data)))
            elif key == "done":
                state["done"] = int(rest, 16)
        return state

    def bootloader(self, on):
        self.command("bootloader " + ("on" if on else "off"))

    def clear_logs(self):
        self.command("clearlogs")

    def fault(self, kind, count=None, cmd=None, value=None, skip=None):
        line = "fault " + kind
        for key, arg in (("count", count), ("skip", skip), ("cmd", cmd), ("value", value)):
            if arg is not None:
                line += " %s=%s" % (key, arg)
        self.command(line)

    def raw_reply(self, frame=b""):
        """The whole reply frame a raw "L" line gets; empty: none."""
        self.command("rawreply " + frame.hex() if frame else "rawreply")

    def fault_kinds(self):
        """The names `fault` takes."""
        return self.command("fault list")

    def clear_faults(self):
        self.command("fault clear")

    def ready(self):
        return self._one("ready") == "1"

    def drop(self):
        self.command("drop")

    def quit(self):
        """Asks mcuemu to stop and returns its exit status."""
        self.command("quit")
        self.process.wait(timeout=self.timeout)
        return self.stop()
