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

# The cross build for the controller's SoC (MIPS32 big-endian), GoogleTest's
# sources to build for it, and qemu-user to run its tests.
TQ8_CROSS_PACKAGES="g++-mips-linux-gnu googletest qemu-user"

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

# tq8_cross_build DIR [cmake options...]: the same for the controller's SoC.
tq8_cross_build() {
  dir="$1"
  shift
  tq8_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$TQ8_SOURCE/cmake/mips-linux-gnu.cmake" "$@"
}

TQ8_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
export TQ8_SOURCE
