#!/bin/sh
# Builds everything and runs every test: the normal build (its system tests
# also on the i2c-dev path, through the I2C preload library), then the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, the daemons'
# tests under ThreadSanitizer, then the fuzz targets for a short time each
# (fuzz.sh), then the unit and system tests built for the controller's
# processor under qemu-user (cross.sh).
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages $TQ8_CROSS_PACKAGES $TQ8_FUZZ_PACKAGES $TQ8_BROWSER_PACKAGES
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build"
tq8_build build -DTQ8_TESTS=ON
echo "== tests"
ctest --test-dir "$TQ8_SOURCE/build" --output-on-failure -j "$jobs"

echo "== build with sanitizers"
tq8_build build-asan -DTQ8_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DTQ8_BENCHMARKS=OFF
echo "== tests with sanitizers"
ctest --test-dir "$TQ8_SOURCE/build-asan" --output-on-failure -j "$jobs"

# The daemons' threads under ThreadSanitizer: their system tests, the fault
# soak and the unit tests of the threaded parts.  A report on a program's
# standard error fails its test.
echo "== build with ThreadSanitizer"
cmake -S "$TQ8_SOURCE" -B "$TQ8_SOURCE/build-tsan" -G Ninja -DTQ8_TSAN=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ8_BENCHMARKS=OFF >/dev/null
cmake --build "$TQ8_SOURCE/build-tsan" --target tsan-checks
echo "== tests with ThreadSanitizer"
ctest --test-dir "$TQ8_SOURCE/build-tsan" --output-on-failure -j "$jobs" \
  -R '^(systest_(cloudd|verifyd|bridged|standbyd)|soak|discovery_test|daemon_(stop_handler|start)_test|link_(bus_lock|repeat_log)_test)$'

# The fuzz targets, each for a short bounded time (clang, libFuzzer).
"$TQ8_SOURCE/scripts/fuzz.sh"

# The unit and system tests again on the controller's processor (qemu-user).
"$TQ8_SOURCE/scripts/cross.sh"
echo "== all tests passed"
