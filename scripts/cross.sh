#!/bin/sh
# Cross build for the controller's SoC (MIPS32, big-endian) with Debian's
# cross compiler, and its tests run under user-mode emulation (qemu-user):
# the unit tests, and the system tests with the target's programs started
# under qemu against the host build's emulator (mcuemu, built in build/ when
# missing), once over the emulator's socket and once on the i2c-dev path.
# OpenSSL, libcurl, json-c and shapelib come from scripts/sysroot.sh (built
# from Debian's sources on the first run, reused after), so all ten programs
# are built; MinSizeRel, so that the size check (the target_programs test)
# measures what the board gets.
#
#   ./scripts/cross.sh [cmake options...]     builds build-mips/ and runs its tests
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages $TQ8_CROSS_PACKAGES
jobs=$(nproc 2>/dev/null || echo 2)

echo "== the emulator for the system tests (host build)"
cmake -S "$TQ8_SOURCE" -B "$TQ8_SOURCE/build" -G Ninja >/dev/null
cmake --build "$TQ8_SOURCE/build" --target mcuemu

echo "== libraries for the controller (scripts/sysroot.sh)"
sysroot=$("$TQ8_SOURCE/scripts/sysroot.sh" | tail -n 1)
echo "$sysroot"

echo "== cross build for the controller (MIPS32 big-endian)"
tq8_cross_build build-mips -DCMAKE_BUILD_TYPE=MinSizeRel -DTQ8_TESTS=ON -DTQ8_BENCHMARKS=OFF \
  -DTQ8_HOST_BIN="$TQ8_SOURCE/build/bin" \
  -DTQ8_LIBRARY_SYSROOT="$sysroot" -DTQ8_SKIP_MISSING_LIBRARIES=OFF "$@"
echo "== tests on the controller's processor, under qemu-user (system tests too)"
ctest --test-dir "$TQ8_SOURCE/build-mips" --output-on-failure -j "$jobs"
