"""The off-target cloud demo (`./scripts/demo.sh`, or `./scripts/demo.sh cloud`):
the cloud daemon, cloudd, runs unchanged against an emulated MCU below a
fresh root and a stand-in cloud server on 127.0.0.1, and every step of a
card's way from the reader to the door and back is shown as it happens:

1. cloudd starts and reports power_on; the server activates it in online
   state (the server decides every card);
2. the server adds a card to the key base; the emulated MCU's key memory
   shows it;
3. the card is presented at an emulated reader; cloudd's wait phase picks it
   up and asks the server ("check_access");
4. the server grants it; the MCU receives the decision (SetExternal);
5. the MCU logs the access in its event ring; cloudd reports the event, the
   server confirms it ("events_success") and cloudd moves the ring's tail;
6. cloudd is stopped with SIGTERM.

The server's own lines (what each batch held, what each reply said) are
shown with "server |"."""

import os
import signal
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get("TQ8_BIN") or os.path.join(SOURCE, "build", "bin")
sys.path.insert(0, os.path.join(SOURCE, "systest"))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))

import tq8sys  # noqa: E402
from demo_root import run_in_demo_root  # noqa: E402
from cloud_server import CloudServer  # noqa: E402
from mcuemu import Mcuemu  # noqa: E402

SERIAL = 1234567
CARD = "A1B2C3D4E5F6"
STEP_TIMEOUT = 15.0
START = time.monotonic()


def say(text):
    print("%6.2f s  %s" % (time.monotonic() - START, text), flush=True)


def step(title):
    print("\n== " + title, flush=True)


def expect(value, what):
    """Stops the demo with a message when a step did not happen in time."""
    if not value:
        raise SystemExit("demo: %s did not happen within %d s" % (what, STEP_TIMEOUT))
    return value


def main():
    return run_in_demo_root(run)


def run(root, env):
    step("off-target root " + root)
    with Mcuemu(root, "--serial", str(SERIAL), "--model", "0x0642",
                binary=os.path.join(BIN, "mcuemu")) as mcu, \
            CloudServer(online=1, interval=1, granted={CARD}, echo=lambda line: say("server | " + line)) as server:
        say("emulated MCU on %s, key base empty" % mcu.i2c_path)
        say("stand-in cloud server at %s/api (activates online, grants %s)" % (server.url, CARD))
        with open(os.path.join(root, "etc/config/tq8hub/CONFIG.CFG"), "w") as config:
            config.write("[INFO]\nSERIAL_NUMBER=%d\n[WEBJSON]\nJSON_SERVER_ADDR=%s/api\n"
                         "JSON_PERIOD=1\n" % (SERIAL, server.url))

        step("cloudd -i starts and reports power_on")
        out_path = os.path.join(root, "cloudd.stdout")
        with open(out_path, "wb") as out:
            daemon = subprocess.Popen([os.path.join(BIN, "cloudd"), "-i"], env=env,
                                      stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.STDOUT)
        try:
            return flow(root, mcu, server, daemon, out_path)
        finally:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()


def flow(root, mcu, server, daemon, out_path):
    records = lambda: tq8sys.kernel_log(root)  # noqa: E731
    power_on = expect(server.wait_for_message("power_on", timeout=STEP_TIMEOUT), "power_on")
    say("server received power_on: fw %s, conn_fw %s, reader protocol %s"
        % (power_on["fw"], power_on["conn_fw"], power_on["reader_protocol"]))
    expect(tq8sys.wait_for(lambda: "ONLINE: 1\n" in records(), STEP_TIMEOUT), "activation")
    say("cloudd activated: SET_ACTIVE: 1, ONLINE: 1 (the server decides every card)")
    expect(server.wait_for_message("ping", timeout=STEP_TIMEOUT), "the first ping")
    say("set_active answered; cloudd pings every second")

    step("the server adds card %s" % CARD)
    [add] = server.queue({"operation": "add_cards",
                          "cards": [{"card": CARD, "flags": 0, "tz": 0}]})
    expect(server.wait_for(lambda: any(m.get("id") == add["id"] and m.get("success") == 1
                                       for m in server.messages()), STEP_TIMEOUT),
           "the add_cards answer")
    slot = mcu.peek(0, 0xA0, 0x00C0, 8)
    say("emulated MCU key memory, slot 0 (0x00C0): %s (bus 1: %s)"
        % (slot.hex(" ").upper(), mcu.peek(1, 0xA0, 0x00C0, 8).hex(" ").upper()))

    step("card %s presented at reader 1" % CARD)
    mcu.card(1, bytes.fromhex(CARD))
    presented = time.monotonic()
    check = expect(server.wait_for_message("check_access", timeout=STEP_TIMEOUT),
                   "check_access")
    say("server received check_access: card %s, reader %d" % (check["card"], check["reader"]))

    answers = expect(mcu.wait_for(lambda: mcu.answers(), STEP_TIMEOUT), "the decision")
    code, reader, card = answers[0]
    say("the MCU received the decision (SetExternal): code 0x%02X (%s, reader %d) for card %s, "
        "%.0f ms after the card was presented"
        % (code, "granted" if code in (0x24, 0x25) else "refused", reader, card.hex().upper(),
           (time.monotonic() - presented) * 1000))

    step("the MCU logs the access; the event travels back")
    mcu.event(bytes.fromhex("0400C0") + bytes.fromhex(time.strftime("%m%d%H%M%S")))
    head, tail = mcu.ring()
    say("event ring: head %d, tail %d (one event waiting)" % (head, tail))
    events = expect(server.wait_for_message("events", timeout=STEP_TIMEOUT), "the events message")
    for item in events["events"]:
        say("server received event %d at %s for card %s" % (item["event"], item["time"],
                                                            item["card"]))
    expect(tq8sys.wait_for(lambda: "EVENT_SUCCESS: 1\n" in records(), STEP_TIMEOUT),
           "the confirmation")
    say("server confirmed it: events_success 1")
    expect(mcu.wait_for(lambda: mcu.ring()[1] == head, STEP_TIMEOUT), "the tail's move")
    say("event ring: head %d, tail %d (the tail moved: nothing waits)" % mcu.ring())

    step("stopping cloudd with SIGTERM")
    daemon.send_signal(signal.SIGTERM)
    status = daemon.wait(timeout=10)
    say("cloudd exited with status %d" % status)
    with open(out_path, "rb") as out:
        lines = out.read().decode("latin-1").splitlines()
    print("\ncloudd's standard output:")
    for line in lines:
        print("  " + line)
    print("\nits kernel log: %s/dev/kmsg (%d records)" % (root, len(records())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
