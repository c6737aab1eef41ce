#!/bin/sh
# Cross build for the controller's SoC (MIPS32, big-endian) with Debian's
# cross compiler, and its unit tests run under user-mode emulation (qemu-user).
# Programs that need libcurl, json-c or shapelib are left out: Debian has no
# big-endian MIPS build of them.
#
#   ./scripts/cross.sh [cmake options...]     builds build-mips/ and runs its tests
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages $TQ8_CROSS_PACKAGES
jobs=$(nproc 2>/dev/null || echo 2)

echo "== cross build for the controller (MIPS32 big-endian)"
tq8_cross_build build-mips -DTQ8_TESTS=ON -DTQ8_BENCHMARKS=OFF "$@"
echo "== tests on the controller's processor, under qemu-user"
ctest --test-dir "$TQ8_SOURCE/build-mips" --output-on-failure -j "$jobs"
