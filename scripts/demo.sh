#!/bin/sh
# Runs the controller software off the board, against the emulated MCU, and
# shows what it does.
#
#   ./scripts/demo.sh [cloud | online | standby]
#
#   cloud    (default) cloudd, a stand-in cloud server and the emulated MCU:
#            activation, a card added, presented, granted and its event
#            confirmed
#   online   the online-mode flow (scripts/demo_online.py)
#   standby  a link session, then standbyd answering a discovery probe
#
# The daemons bind UDP port 9000; where the machine allows it the demo runs
# in a network namespace of its own (unshare -rn), so a port in use outside
# does not matter.
set -eu
. "$(dirname "$0")/setup.sh"

flow="${1:-cloud}"
case "$flow" in
  cloud) script="$TQ8_SOURCE/scripts/demo.py" ;;
  online) script="$TQ8_SOURCE/scripts/demo_online.py" ;;
  standby) script="$TQ8_SOURCE/scripts/demo_standby.py" ;;
  *)
    echo "usage: $0 [cloud | online | standby]" >&2
    exit 2
    ;;
esac

tq8_install_packages
tq8_build build -DTQ8_TESTS=ON

# In a fresh namespace the loopback interface is down: bring it up, then
# run the demo script as its own main program.
if unshare -rn true 2>/dev/null; then
  exec unshare -rn python3 -c '
import runpy, sys
sys.path.insert(0, sys.argv[1])
import tq8sys
tq8sys.loopback_up()
sys.argv = sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
' "$TQ8_SOURCE/systest" "$script"
fi
exec python3 "$script"
