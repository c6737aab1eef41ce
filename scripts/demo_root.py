"""The off-target root a demo runs in: laid out fresh below the repository
(demo-root/), with a bus lock name of its own that is removed afterwards."""

import os
import shutil

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
