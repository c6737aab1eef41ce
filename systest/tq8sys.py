"""Helpers for the system tests: the real programs, started as processes
against the emulated MCU below a fresh off-target root (Python 3 standard
library only).

    board = Board(serial=1234567)          # a new root served by mcuemu
    board.write_config({"INFO": {"SERIAL_NUMBER": 42}})
    daemon = board.start("standbyd", "-i")
    board.wait_for_record("Start OFFLINE \\n")
    print(udp_request(b"SEEK W642IP", 9000))
    assert daemon.stop() == 0              # SIGTERM, then the exit status
    board.close()                          # stops what is left, removes the root

Programs are found through environment variables named after them in upper
case with '-' as '_' (BRIDGED, STANDBYD, LINK_SESSION; MCUEMU for the
emulator), as the build sets them for ctest, else in build/bin.

Programs under test start through the launcher prefix TQ8_LAUNCHER (split
shell-style; for example "qemu-mips -L /usr/mips-linux-gnu" to run the
controller's build): Board.start, Board.run and command() put it in front.
The emulator and the stand-in servers are test tooling and always run
natively.

With TQ8_I2CDEV=1 the programs must reach the MCU through the i2c-dev
ioctls (the I2C preload library, systest/i2c_preload.c): TQ8_PRELOAD names
the library to put into their LD_PRELOAD (under qemu the launcher passes it
instead), every board gives them a log of the transfers the library made,
and Board.close() fails when a program went past the library to the
emulator's socket or the emulator saw more transfers than the library made.

TQ8_PRELOADS names more test libraries (':'-separated) for the programs'
LD_PRELOAD; under qemu the launcher loads them instead.  With
TQ8_STACK_METER=1 the stack meter (systest/stack_meter.c) is among them:
every program a board starts measures its threads' stacks, and
Board.close() fails when a thread used more than three quarters of its
stack; each measurement is also appended to the file TQ8_STACK_REPORT
names, when set.  With TQ8_CLOCK_SHIFT_AVAILABLE=1 the clock shift
(systest/clock_shift.c) is among them: Board(clock_shift=N) runs the
programs N seconds ahead of the machine's clock.

Every board has its own bus lock name (TQ8_BUSLOCK), so boards never share
a lock.  Ports are another matter: daemons bind UDP 9000 and their
configured TCP ports, so tests that start daemons run one at a time or each
in a network namespace of its own (call loopback_up() first in one).
"""

import calendar
import ctypes
import fcntl
import itertools
import os
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "emulator"))

import mcuemu  # noqa: E402
from mcuemu import Mcuemu, make_root  # noqa: E402

LAUNCHER = shlex.split(os.environ.get("TQ8_LAUNCHER", ""))
I2CDEV = os.environ.get("TQ8_I2CDEV") == "1"
PRELOAD = os.environ.get("TQ8_PRELOAD", "")
PRELOADS = [p for p in os.environ.get("TQ8_PRELOADS", "").split(":") if p]
STACK_METER = os.environ.get("TQ8_STACK_METER") == "1"
CLOCK_SHIFT = os.environ.get("TQ8_CLOCK_SHIFT_AVAILABLE") == "1"

# 12:00 on 1 June 2040 (UTC), past the last second a 32-bit time_t holds
# (03:14:07 on 19 January 2038): where Board(clock_shift=...) puts the
# daemons' clocks to check dates after 2038.
AFTER_2038 = calendar.timegm((2040, 6, 1, 12, 0, 0))

DEFAULT_TIMEOUT = 10.0
# Programs under an emulating launcher run several times slower: every wait
# on a condition (a record, an exit, a listening port) gets this many times
# its time before it gives up.  Waits end as soon as the condition holds,
# so a larger bound costs nothing when the test passes.
SLOWDOWN = float(os.environ.get("TQ8_TIMEOUT_SCALE") or (4 if LAUNCHER else 1))
_board_numbers = itertools.count()


def program(name):
    """Path of a program of the build: $NAME (upper case, '-' as '_'), else build/bin/NAME."""
    variable = name.upper().replace("-", "_")
    return os.environ.get(variable) or os.path.join(SOURCE, "build", "bin", name)


def command(name, *args):
    """The argument list that starts program NAME with `args` through the launcher."""
    return [*LAUNCHER, program(name), *args]


def skip_listed_tests():
    """Cases named in TQ8_SKIP_TESTS ("Class.test_name" separated by commas)
    are reported as skipped with the reason TQ8_SKIP_REASON instead of run:
    the build names there what a launcher cannot host."""
    listed = {name.strip() for name in os.environ.get("TQ8_SKIP_TESTS", "").split(",")}
    listed.discard("")
    if not listed:
        return
    reason = os.environ.get("TQ8_SKIP_REASON", "left out for this launcher")
    load = unittest.TestLoader.loadTestsFromModule

    def skip_in(suite, found):
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                skip_in(test, found)
                continue
            name = "%s.%s" % (type(test).__name__, test._testMethodName)
            if name in listed:
                setattr(test, test._testMethodName, unittest.skip(reason)(lambda: None))
                found.add(name)

    def load_and_skip(loader, module, *args, **kwargs):
        suite = load(loader, module, *args, **kwargs)
        found = set()
        skip_in(suite, found)
        if listed - found:
            # A name that matches nothing (renamed case, typing error) would
            # leave the list out of date without anyone noticing.
            raise RuntimeError("TQ8_SKIP_TESTS names no test here: %s" % sorted(listed - found))
        return suite

    unittest.TestLoader.loadTestsFromModule = load_and_skip


skip_listed_tests()


def wait_for(predicate, timeout=DEFAULT_TIMEOUT, interval=0.02):
    """Polls `predicate` until it returns something true (returned) or the
    time is up (its last value returned)."""
    return mcuemu.wait_for(predicate, timeout * SLOWDOWN, interval)


def loopback_up():
    """Brings the loopback interface up when it is down, as in a fresh network
    namespace (`unshare -rn`).  Needs no privilege when it is up already."""
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, siocgifflags, request))[1]
        if not flags & iff_up:
            fcntl.ioctl(s, siocsifflags, struct.pack("16sH14x", b"lo", flags | iff_up))


def become_subreaper():
    """Makes this process the parent of orphaned descendants, so that a daemon
    that forked itself away (-d) can still be waited for with os.waitpid."""
    pr_set_child_subreaper = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(pr_set_child_subreaper, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def free_port(kind=socket.SOCK_STREAM):
    """A port number that nothing on this machine uses at the moment."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_request(payload, port, host="127.0.0.1", timeout=2.0, source=None):
    """Sends one datagram from a fresh socket and returns the first reply (or None)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        if source:
            s.bind((source, 0))
        s.settimeout(timeout)
        s.sendto(payload, (host, port))
        try:
            return s.recv(65536)
        except socket.timeout:
            return None


def check_taken_discovery_port_ends(test, board, start):
    """Asserts that the daemon `start()` starts (a Process on `board`) ends
    with status 1 and records the failed bind while another socket holds
    UDP port 9000; skips `test` when the port is in use already."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    test.addCleanup(holder.close)
    try:
        holder.bind(("0.0.0.0", 9000))
    except OSError:
        test.skipTest("UDP port 9000 is in use on this machine")
    test.assertEqual(start().wait(), 1)
    test.assertIn("error bind", board.records())


def tcp_connect(port, host="127.0.0.1", timeout=DEFAULT_TIMEOUT, source=None):
    """Connects once the port listens; the connected socket."""
    deadline = time.monotonic() + timeout * SLOWDOWN
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if source:
            s.bind((source, 0))
        try:
            s.connect((host, port))
            return s
        except ConnectionRefusedError:
            s.close()
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.02)


def receive(sock, count=None, until=None, timeout=5.0):
    """Bytes from a stream socket: at least `count` bytes, or up to and including the
    bytes `until` (or until the function `until` holds for what arrived),
    or (neither) whatever arrives before the peer closes.  Returns what
    arrived when the time is up first."""
    data = b""
    deadline = time.monotonic() + timeout
    while True:
        if count is not None and len(data) >= count:
            return data
        if until is not None and (until(data) if callable(until) else until in data):
            return data
        left = deadline - time.monotonic()
        if left <= 0:
            return data
        ready, _, _ = select.select([sock], [], [], left)
        if not ready:
            return data
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def kernel_log(root):
    """The kernel-log records written below `root` so far, as text."""
    try:
        with open(os.path.join(root, "dev", "kmsg"), "rb") as log:
            raw = log.read()
    except FileNotFoundError:
        return []
    return [r.decode("latin-1") for r in raw.split(b"\0")[:-1]]


class Process:
    """A program started by a Board; its standard output and error go to files."""

    def __init__(self, popen, name, out_path, err_path):
        self.popen = popen
        self.name = name
        self.pid = popen.pid
        self._out_path = out_path
        self._err_path = err_path

    def poll(self):
        return self.popen.poll()

    def wait(self, timeout=DEFAULT_TIMEOUT):
        return self.popen.wait(timeout=timeout * SLOWDOWN)

    def stop(self, signal_number=signal.SIGTERM, timeout=DEFAULT_TIMEOUT):
        """Sends the signal (unless the program already ended) and returns the exit status."""
        if self.popen.poll() is None:
            self.popen.send_signal(signal_number)
        return self.popen.wait(timeout=timeout * SLOWDOWN)

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait()

    def stdout(self):
        with open(self._out_path, "rb") as f:
            return f.read().decode("latin-1")

    def stderr(self):
        with open(self._err_path, "rb") as f:
            return f.read().decode("latin-1")


class Board:
    """A fresh off-target root, served by mcuemu (started with `emulator_args`),
    and the programs started on it."""

    def __init__(self, *emulator_args, serial=None, model=None, clock_shift=None):
        self.root = make_root(binary=program("mcuemu"))
        self.lock_name = "/tq8-systest-%d-%d" % (os.getpid(), next(_board_numbers))
        args = list(emulator_args)
        if serial is not None:
            args += ["--serial", str(serial)]
        if model is not None:
            args += ["--model", str(model)]
        try:
            self.mcu = Mcuemu(self.root, *args, binary=program("mcuemu")).start()
        except Exception:
            shutil.rmtree(self.root, ignore_errors=True)
            raise
        self.env = dict(os.environ, TQ8_ROOT=self.root, TQ8_BUSLOCK=self.lock_name)
        self.preload_log = None
        preloads = []
        if I2CDEV:
            self.preload_log = self.path("i2c-preload.log")
            self.env["TQ8_I2C_PRELOAD_LOG"] = self.preload_log
            if PRELOAD:
                preloads.append(PRELOAD)
        preloads += PRELOADS
        self.stack_log = None
        if STACK_METER:
            self.stack_log = self.path("stack-meter.log")
            self.env["TQ8_STACK_METER_LOG"] = self.stack_log
        if clock_shift is not None:
            if not CLOCK_SHIFT:
                self.mcu.stop()
                shutil.rmtree(self.root, ignore_errors=True)
                raise unittest.SkipTest("no clock shift in this build (sanitizers)")
            self.env["TQ8_CLOCK_SHIFT"] = str(int(clock_shift))
        if preloads:
            self.env["LD_PRELOAD"] = ":".join(preloads)
        self.processes = []

    # --- files below the root ---

    def path(self, relative):
        return os.path.join(self.root, relative.lstrip("/"))

    def write_config(self, sections):
        """Writes CONFIG.CFG from {section: {key: value}}."""
        mcuemu.write_config(self.root, sections)

    def read(self, relative):
        """A file below the root as text, or None when it is missing."""
        try:
            with open(self.path(relative), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return None

    # --- the kernel log ---

    def records(self):
        return kernel_log(self.root)

    def wait_for_record(self, match, timeout=DEFAULT_TIMEOUT, count=1):
        """Waits until `count` records equal the text `match` (or satisfy it,
        when it is a function); returns the last of them, or None on time-out."""
        test = match if callable(match) else (lambda record: record == match)

        def found():
            hits = [r for r in self.records() if test(r)]
            return hits[count - 1] if len(hits) >= count else None

        return wait_for(found, timeout)

    # --- programs ---

    def start(self, name, *args, env=None):
        """Starts build/bin/NAME with the board's root and bus lock."""
        tag = "%s-%d" % (name, len(self.processes))
        out_path = self.path(tag + ".stdout")
        err_path = self.path(tag + ".stderr")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            popen = subprocess.Popen(command(name, *args), env=env or self.env,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        process = Process(popen, name, out_path, err_path)
        self.processes.append(process)
        return process

    def run(self, name, *args, timeout=DEFAULT_TIMEOUT):
        """Runs build/bin/NAME to its end; the completed process (output as text)."""
        return subprocess.run(command(name, *args), env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout * SLOWDOWN, text=True,
                              errors="replace")

    def sanitizer_reports(self):
        """Names of the started programs whose standard error holds an
        AddressSanitizer, UndefinedBehaviorSanitizer or ThreadSanitizer
        report ("WARNING: ThreadSanitizer: data race ...")."""
        return [p.name for p in self.processes
                if "Sanitizer" in p.stderr() or "runtime error:" in p.stderr()]

    def preload_transfers(self):
        """The lines of the I2C preload library's log (see the module's text)."""
        try:
            with open(self.preload_log, "rb") as log:
                return log.read().decode("latin-1").splitlines()
        except (TypeError, FileNotFoundError):
            return []

    def _check_i2cdev(self):
        """With TQ8_I2CDEV: an error text when the programs did not reach the
        MCU through the preload library's ioctls alone, else None."""
        lines = self.preload_transfers()
        bypass = [line for line in lines if line.startswith(("bypass", "unsupported"))]
        if bypass:
            return "a program went past the i2c-dev ioctls: %s" % bypass
        made = sum(1 for line in lines if line[:2] in ("A ", "W ", "R "))
        try:
            seen = len(self.mcu.transfers())  # since the last clearlogs
        except (OSError, mcuemu.McuemuError):
            return None  # the test stopped the emulator itself
        if seen > made:
            return "the emulator saw %d transfers, the i2c-dev ioctls made %d" % (seen, made)
        return None

    def stack_measurements(self):
        """(program, thread, used, size) for every thread measured so far."""
        try:
            with open(self.stack_log, "rb") as log:
                lines = log.read().decode("latin-1").splitlines()
        except (TypeError, FileNotFoundError):
            return []
        measured = []
        for line in lines:
            program_name, thread, used, size = line.split()
            measured.append((program_name, thread, int(used), int(size)))
        return measured

    def _check_stacks(self):
        """With TQ8_STACK_METER: an error text when a thread used more than
        three quarters of its stack, else None."""
        measured = self.stack_measurements()
        report = os.environ.get("TQ8_STACK_REPORT")
        if report and measured:
            with open(report, "a") as out:
                out.writelines("%s %s %d %d\n" % m for m in measured)
        over = ["%s %s: %d of %d bytes" % m for m in measured if m[2] * 4 > m[3] * 3]
        return "threads near the end of their stacks: %s" % over if over else None

    def close(self):
        """Kills what still runs, stops the emulator, removes the root and the lock.
        With TQ8_I2CDEV, raises AssertionError when a program reached the MCU
        some other way than through the i2c-dev ioctls; with TQ8_STACK_METER,
        when a thread came near the end of its stack."""
        if STACK_METER:
            # Programs report their stacks when they end: stopped, not killed.
            for process in self.processes:
                if process.poll() is None:
                    process.popen.send_signal(signal.SIGTERM)
            for process in self.processes:
                try:
                    process.wait(timeout=3)
                except subprocess.TimeoutExpired:
                    pass
        for process in self.processes:
            process.kill()
        problem = self._check_i2cdev() if I2CDEV and self.mcu.process else None
        if STACK_METER:
            problem = problem or self._check_stacks()
        self.mcu.stop()
        shutil.rmtree(self.root, ignore_errors=True)
        try:
            os.unlink("/dev/shm" + self.lock_name)
        except FileNotFoundError:
            pass
        if problem:
            raise AssertionError(problem)
