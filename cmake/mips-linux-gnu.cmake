# Cross build for the controller's SoC (MIPS32, big-endian) with Debian's
# cross compiler (packages gcc-mips-linux-gnu and g++-mips-linux-gnu):
#
#   cmake -S . -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#
# Test programs run under user-mode emulation (qemu-user), so ctest runs the
# unit tests on the build machine.  Debian's toolchain is glibc and hard-float
# while OpenWrt's is musl and usually soft-float: what this builds is for
# testing and measuring, firmware comes from the OpenWrt SDK (openwrt/).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(TQ8_CROSS_TRIPLE mips-linux-gnu)
set(TQ8_CROSS_SYSROOT /usr/${TQ8_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${TQ8_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TQ8_CROSS_TRIPLE}-g++)

# OpenSSL, libcurl, json-c and shapelib for this target: Debian has no
# big-endian MIPS build of them, scripts/sysroot.sh builds them from Debian's
# sources into a folder of shared libraries and headers (scripts/cross.sh
# passes it on; TQ8_LIBRARY_SYSROOT in the environment does too).
if(NOT TQ8_LIBRARY_SYSROOT AND DEFINED ENV{TQ8_LIBRARY_SYSROOT})
  set(TQ8_LIBRARY_SYSROOT $ENV{TQ8_LIBRARY_SYSROOT})
endif()
set(TQ8_LIBRARY_SYSROOT "${TQ8_LIBRARY_SYSROOT}" CACHE PATH
    "Libraries built for the target by scripts/sysroot.sh (lib/, include/)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TQ8_LIBRARY_SYSROOT)

# Libraries and headers only from the target's trees: a host library must
# never satisfy a look-up (without the folder above, that is how programs
# whose libraries are missing are recognised and left out).
set(CMAKE_FIND_ROOT_PATH ${TQ8_CROSS_SYSROOT})
if(TQ8_LIBRARY_SYSROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TQ8_LIBRARY_SYSROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${TQ8_CROSS_SYSROOT}/lib/pkgconfig:/usr/lib/${TQ8_CROSS_TRIPLE}/pkgconfig")

# ctest (and add_custom_command) run target programs through qemu; -L points
# the emulated dynamic loader at the C library, LD_LIBRARY_PATH at the
# libraries built by scripts/sysroot.sh (qemu takes one -L prefix only).
find_program(TQ8_QEMU qemu-mips)
if(TQ8_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TQ8_QEMU} -L ${TQ8_CROSS_SYSROOT})
  if(TQ8_LIBRARY_SYSROOT)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${TQ8_LIBRARY_SYSROOT}/lib)
  endif()
endif()
