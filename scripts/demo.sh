#!/bin/sh
# Runs the controller software off the board, against the emulated MCU, and
# shows what it does.
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages
tq8_build build -DTQ8_TESTS=ON

exec python3 "$TQ8_SOURCE/scripts/demo.py"
