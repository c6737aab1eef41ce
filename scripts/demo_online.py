"""The off-target demo of the online mode: an emulated MCU below a fresh
root, a stand-in access server on 127.0.0.1 (HTTPS, test certificates made
with openssl), and verifyd between them, as on the board.

1. the emulator and the access server start; verifyd -i starts and
   announces itself to the server ("poweron");
2. a card is presented at reader 1; verifyd asks the server
   ("check_access") and answers the MCU with its decision (0x25: granted on
   reader 1);
3. another program on the controller opens the door through verifyd's
   command socket, 127.0.0.1:9999 ("open_door"), and the MCU receives the
   request;
4. verifyd is stopped with SIGTERM, then the server and the emulator.

It needs the UDP port 9000 and the TCP port 9999: where the machine allows
it, the demo runs in a network namespace of its own (unshare -rn), so they
are always free.  Programs come from build/bin (or $TQ8_BIN)."""

import json
import os
import shutil
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get("TQ8_BIN") or os.path.join(SOURCE, "build", "bin")
sys.path.insert(0, os.path.join(SOURCE, "systest"))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))

import test_certs  # noqa: E402
import tq8sys  # noqa: E402
from demo_root import (KernelLog, kill_if_running, run_in_demo_root,  # noqa: E402
                       show, stop_daemon)
from access_server import AccessServer  # noqa: E402
from mcuemu import Mcuemu  # noqa: E402

SERIAL = 1234567
CARD = bytes.fromhex("0A1B2C3D4E5F")
NAMESPACE_MARK = "TQ8_DEMO_NAMESPACE"


def in_own_namespace():
    """Runs this script again inside `unshare -rn` when it can; returns
    only when it could not (or already runs there)."""
    if os.environ.get(NAMESPACE_MARK) or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "-rn", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        print("(no network namespace on this machine: ports 9000 and 9999 must be free)")
        return
    env = dict(os.environ, **{NAMESPACE_MARK: "1"})
    sys.stdout.flush()
    os.execvpe("unshare", ["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                           *sys.argv[1:]], env)


def main():
    in_own_namespace()
    if os.environ.get(NAMESPACE_MARK):
        tq8sys.loopback_up()
    for needed in ("mcuemu", "verifyd"):
        if not os.path.exists(os.path.join(BIN, needed)):
            print("%s is not built: run ./scripts/demo.sh or build into %s first" % (needed, BIN))
            return 1
    if not shutil.which("openssl"):
        print("the demo makes its test certificates with the openssl command: install openssl")
        return 1
    return run_in_demo_root(run, "online")


def run(root, env):
    show("off-target root " + root)
    with Mcuemu(root, "--serial", str(SERIAL), "--model", "0x0642", "--flags", "0x0E",
                binary=os.path.join(BIN, "mcuemu")) as mcu:
        print("emulated MCU on " + mcu.i2c_path)
        certs = test_certs.make_certs(os.path.join(root, "certs"))
        test_certs.install(certs, root)
        print("test certificates: CA, server and client, made with openssl;"
              " the client's below the root as /root/tolvek.pem, tolvek.key, vk_ca.pem")
        with AccessServer(certs, granted={CARD.hex().upper()},
                          echo=lambda line: print("server | " + line, flush=True)) as server:
            print("stand-in access server on " + server.url)
            with open(os.path.join(root, "etc/config/tq8hub/CONFIG.CFG"), "w") as config:
                config.write("[INFO]\nSERIAL_NUMBER=%d\n[ONLINE]\nSERVER_ADDR=https://127.0.0.1\n"
                             "SERVER_PORT=%d\n" % (SERIAL, server.port))
            status = run_daemon(root, env, mcu, server)
    print("access server and emulator stopped")
    return status


def run_daemon(root, env, mcu, server):
    show("the online daemon: verifyd -i (its kernel log as it arrives, the server's lines)")
    log = KernelLog(root, prefix="kmsg   | ")
    daemon = subprocess.Popen([os.path.join(BIN, "verifyd"), "-i"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        if not log.follow(lambda records: daemon.poll() is not None
                          or server.operations("poweron"), timeout=10):
            print("verifyd did not announce itself in time")
            return 1
        if daemon.poll() is not None:
            print("verifyd ended with status %d" % daemon.returncode)
            return 1
        log.follow(lambda records: "SystemTime SET OK\n" in records, timeout=2)
        print("poweron received: %s" % json.dumps(server.operations("poweron")[0]))

        show("a card at reader 1: %s" % CARD.hex(" ").upper())
        mcu.card(1, CARD)
        if not log.follow(lambda records: mcu.answers(), timeout=10):
            print("the MCU got no answer")
            return 1
        request = server.operations("check_access")[0]
        print("check_access at the server: identifier %s, reader_id %s"
              % (request["identifier"], request["reader_id"]))
        code, reader, card = mcu.answers()[0]
        print("decision at the MCU (SetExternal): 0x%02X reader %d card %s  (%s)"
              % (code, reader, card.hex(" ").upper(),
                 "granted" if code in (0x24, 0x25) else "refused"))

        show('the door opened through the command socket 127.0.0.1:9999: "open_door"')
        request = b'{"operation":"open_door","request_id":1,"direction":1}'
        print("request: " + request.decode())
        with tq8sys.tcp_connect(9999) as connection:
            connection.sendall(request)
            reply = tq8sys.receive(connection)
        print("reply:   " + (reply.decode(errors="replace") or "none"))
        log.follow(lambda records: "External disconnected\n" in records, timeout=2)
        frames = [f for f in mcu.requests() if len(f) > 7 and f[5] == 0x07]
        print("the MCU's open-door requests (direction): %s" % mcu.doors())
        for frame in frames:
            print("frame  " + frame.hex(" ").upper())

        stop_daemon(daemon, "verifyd", log)
    finally:
        kill_if_running(daemon)
    return 0


if __name__ == "__main__":
    sys.exit(main())
