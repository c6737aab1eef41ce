#!/bin/sh
# Configures a build of this repository for the controller the way the
# OpenWrt SDK configures the package (include/cmake.mk): its target flags
# in CFLAGS, CXXFLAGS and LDFLAGS, a Release build with -DNDEBUG alone as
# the release flags, prefix /usr, no RPATH, Ninja, the target's libraries
# found only in the staging tree, then the package's own CMAKE_OPTIONS
# (read from openwrt/tq8hub/Makefile) and finally the options given here.
# The compilers are the musl toolchain of scripts/sysroot.sh.
#
#   scripts/openwrt-cmake.sh SYSROOT BUILD_DIR [cmake options...]
set -eu
[ $# -ge 2 ] || { echo "usage: $0 SYSROOT BUILD_DIR [cmake options...]" >&2; exit 2; }
sysroot=$1
build=$2
shift 2
source=$(cd "$(dirname "$0")/.." && pwd)
makefile=$source/openwrt/tq8hub/Makefile
staging=$sysroot/rootfs
tools=$sysroot/toolchain/bin
target=mips-openwrt-linux-musl
[ -x "$tools/$target-g++" ] || { echo "$0: no musl toolchain in $sysroot (scripts/sysroot.sh)" >&2; exit 1; }

# The SDK's default flags for a MIPS 24Kc target and its default hardening.
target_cflags="-Os -pipe -mips32r2 -mtune=24kc -fno-caller-saves -Wformat -Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1"
target_ldflags="-L$staging/usr/lib -L$staging/lib -Wl,-z,now -Wl,-z,relro"

# The package's CMAKE_OPTIONS: the -D words of the "CMAKE_OPTIONS +=" lines
# and their continuation lines.
package_options=$(awk '
  /^CMAKE_OPTIONS[ \t]*\+?=/ { taking = 1; sub(/^CMAKE_OPTIONS[ \t]*\+?=/, "") }
  taking {
    continued = /\\[ \t]*$/
    sub(/\\[ \t]*$/, "")
    for (i = 1; i <= NF; i++) if ($i ~ /^-D/) print $i
    taking = continued
  }' "$makefile")
[ -n "$package_options" ] || { echo "$0: no CMAKE_OPTIONS in $makefile" >&2; exit 1; }

# A build folder made with another toolchain (a new sysroot folder) starts
# afresh: CMake would drop every option given here along with its cache.
if [ -f "$build/CMakeCache.txt" ] &&
   [ "$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$tools/$target-g++" ]; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi

# shellcheck disable=SC2086  # one option per line, none holds a blank
CFLAGS="$target_cflags" CXXFLAGS="$target_cflags" LDFLAGS="$target_ldflags" \
cmake -S "$source" -B "$build" -G Ninja --no-warn-unused-cli \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_VERSION=1 -DCMAKE_SYSTEM_PROCESSOR=mips \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_C_COMPILER="$tools/$target-gcc" -DCMAKE_CXX_COMPILER="$tools/$target-g++" \
  -DCMAKE_ASM_COMPILER="$tools/$target-gcc" \
  -DCMAKE_EXE_LINKER_FLAGS:STRING="$target_ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS:STRING="$target_ldflags -Wl,-Bsymbolic-functions" \
  -DCMAKE_SHARED_LINKER_FLAGS:STRING="$target_ldflags -Wl,-Bsymbolic-functions" \
  -DCMAKE_AR="$tools/$target-ar" -DCMAKE_NM="$tools/$target-nm" \
  -DCMAKE_RANLIB="$tools/$target-ranlib" \
  -DCMAKE_FIND_ROOT_PATH="$staging/usr;$sysroot/toolchain" \
  -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
  -DCMAKE_STRIP=: \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_PREFIX_PATH="$staging" \
  -DCMAKE_SKIP_RPATH=TRUE \
  -DCMAKE_EXPORT_PACKAGE_REGISTRY=FALSE \
  -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=TRUE \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=FALSE \
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=TRUE \
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=FALSE \
  -DCMAKE_FIND_PACKAGE_NO_SYSTEM_PACKAGE_REGISTRY=TRUE \
  $package_options "$@"
