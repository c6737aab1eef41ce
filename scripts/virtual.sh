#!/bin/sh
# Virtual controllers for the people who write the servers: the real
# daemons on emulated boards, pointed at your own server, with a page on
# 127.0.0.1 to watch and drive them and a load report for a fleet.
#
#   ./scripts/virtual.sh --mode cloud --server https://my.server/api --count 20
#   ./scripts/virtual.sh --mode online --server https://access.host:25000 \
#       --cert client.pem --key client.key --ca ca.pem
#   ./scripts/virtual.sh --mode advanced --listen 1000
#   ./scripts/virtual.sh --help                     # every option
#
# Builds what it needs like the demo does, then runs virtual/virtual.py;
# Ctrl-C stops every daemon and emulator and removes the roots.
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages >&2
tq8_build build -DTQ8_TESTS=ON >&2
exec python3 "$TQ8_SOURCE/virtual/virtual.py" "$@"
