#!/bin/sh
# The controller build: all ten programs for its SoC (MIPS32 big-endian)
# against musl, with the OpenWrt SDK's flags and configuration
# (scripts/openwrt-cmake.sh), then every test on those binaries under
# qemu-user.
#
#   1. scripts/sysroot.sh: musl, the toolchain and the libraries (built on
#      the first run, reused after);
#   2. build-openwrt/: the package's build exactly as the SDK makes it (its
#      CMAKE_OPTIONS, no tests), installed with DESTDIR as the SDK does, and
#      the package's install recipe checked against that tree;
#   3. build-mips/: the same configuration with the tests, run by ctest
#      under qemu (unit tests; system tests with the host build's emulator,
#      over its socket and on the i2c-dev path; the size check);
#   4. the ten programs of both builds are the same bytes once stripped: what
#      the tests ran is what the package ships.
#
#   ./scripts/cross.sh [cmake options...]     (added to both configurations)
set -eu
. "$(dirname "$0")/setup.sh"

tq8_install_packages $TQ8_CROSS_PACKAGES
jobs=$(nproc 2>/dev/null || echo 2)

echo "== the emulator for the system tests (host build)"
cmake -S "$TQ8_SOURCE" -B "$TQ8_SOURCE/build" -G Ninja >/dev/null
cmake --build "$TQ8_SOURCE/build" --target mcuemu

echo "== musl, toolchain and libraries for the controller (scripts/sysroot.sh)"
sysroot=$("$TQ8_SOURCE/scripts/sysroot.sh" | tail -n 1)
echo "$sysroot"

echo "== the package's build (build-openwrt)"
package="$TQ8_SOURCE/build-openwrt"
"$TQ8_SOURCE/scripts/openwrt-cmake.sh" "$sysroot" "$package" "$@" >/dev/null
cmake --build "$package"
rm -rf "$package/destdir" "$package/package-root"
DESTDIR="$package/destdir" ninja -C "$package" install >/dev/null
sh "$TQ8_SOURCE/openwrt/check-install.sh" "$package/destdir" "$package/package-root"

echo "== the same with the tests (build-mips)"
tests="$TQ8_SOURCE/build-mips"
"$TQ8_SOURCE/scripts/openwrt-cmake.sh" "$sysroot" "$tests" \
  -DTQ8_TESTS=ON -DTQ8_HOST_BIN="$TQ8_SOURCE/build/bin" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-mips;-L;$sysroot/rootfs" "$@" >/dev/null
cmake --build "$tests"

echo "== the tested programs are the shipped ones"
sh "$TQ8_SOURCE/scripts/same-programs.sh" "$package/destdir/usr" "$tests/bin"

echo "== tests on the controller's build, under qemu-user"
ctest --test-dir "$tests" --output-on-failure -j "$jobs"
