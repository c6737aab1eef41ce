#!/bin/sh
# Shared set-up of the two top-level commands: installs the Debian packages
# the build needs when they are missing, then configures and builds.
#
#   . scripts/setup.sh; tq8_build build [cmake options...]
set -eu

TQ8_PACKAGES="build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libjson-c-dev libshp-dev
  python3 python3-dbfread openssl shellcheck"

# The controller build (MIPS32 big-endian, musl): Debian's cross compiler,
# which scripts/sysroot.sh turns into a musl toolchain, its kernel headers,
# GoogleTest's sources to build for it, qemu-user to run its tests, xz for
# the size report and dpkg-dev to unpack Debian's source packages.
TQ8_CROSS_PACKAGES="g++-mips-linux-gnu linux-libc-dev-mips-cross googletest qemu-user xz-utils dpkg-dev"

# The fuzz targets: clang++ and its runtime libraries (libFuzzer and the
# sanitizers come with libclang-rt-14-dev).
TQ8_FUZZ_PACKAGES="clang libclang-rt-14-dev"

# The virtual controllers' page is tested in a real browser: Debian's
# Chromium, driven through ChromeDriver.
TQ8_BROWSER_PACKAGES="chromium chromium-driver"

tq8_install_packages() {
  missing=""
  for package in $TQ8_PACKAGES "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
      missing="$missing $package"
    fi
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  # shellcheck disable=SC2086
  $sudo apt-get install -y -q --no-install-recommends $missing
}

# tq8_build DIR [cmake options...]: configure (once) and build everything.
tq8_build() {
  dir="$1"
  shift
  cmake -S "$TQ8_SOURCE" -B "$TQ8_SOURCE/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$TQ8_SOURCE/$dir"
}

TQ8_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
export TQ8_SOURCE
