"""The off-target root a demo runs in: laid out fresh below the repository
(demo-root/), with a bus lock name of its own that is removed afterwards."""

import os
import shutil
import signal
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "systest"))

import tq8sys  # noqa: E402


def show(title):
    """Heads a step of a demo."""
    print("\n== " + title, flush=True)


def stop_daemon(daemon, name, log):
    """Stops a daemon with SIGTERM, shows its last kernel-log records and its
    exit status; returns the status."""
    show("stopping %s with SIGTERM" % name)
    daemon.send_signal(signal.SIGTERM)
    status = daemon.wait(timeout=10)
    log.follow(lambda records: True)
    print("%s exited with status %d" % (name, status))
    return status


def kill_if_running(daemon):
    """Leaves no daemon behind when a demo step failed."""
    if daemon.poll() is None:
        daemon.kill()
        daemon.wait()


def run_in_demo_root(run, subfolder=""):
    """Calls run(root, env) with a fresh root and the environment that points
    the programs at it; returns what run returns."""
    root = os.path.join(SOURCE, "demo-root", subfolder) if subfolder else \
        os.path.join(SOURCE, "demo-root")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    lock = "/tq8-demo-%s%d" % (subfolder + "-" if subfolder else "", os.getpid())
    env = dict(os.environ, TQ8_ROOT=root, TQ8_BUSLOCK=lock)
    try:
        return run(root, env)
    finally:
        if os.path.exists("/dev/shm" + lock):
            os.unlink("/dev/shm" + lock)


class KernelLog:
    """Prints the root's kernel-log records as they arrive, each after `prefix`."""

    def __init__(self, root, prefix="kmsg | "):
        self.root = root
        self.prefix = prefix
        self.shown = 0

    def follow(self, until, timeout=5.0):
        """Shows new records until `until(records)` holds or the time is up;
        returns whether it held."""
        deadline = time.monotonic() + timeout
        while True:
            records = tq8sys.kernel_log(self.root)
            for record in records[self.shown:]:
                print(self.prefix + record.rstrip("\n"), flush=True)
            self.shown = len(records)
            if until(records):
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.02)
