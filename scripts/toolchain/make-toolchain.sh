#!/bin/sh
# Turns Debian's MIPS32 big-endian cross compiler (gcc-mips-linux-gnu,
# g++-mips-linux-gnu, glibc) into a musl toolchain named like the OpenWrt
# SDK's, for the musl C library installed in ROOT/rootfs (prefix /usr,
# loader in /lib):
#
#   scripts/toolchain/make-toolchain.sh ROOT
#
# makes ROOT/toolchain/bin/mips-openwrt-linux-musl-gcc, -g++ and the
# binutils under the same prefix.  The compilers search only musl's headers
# (and, for C++, libstdc++'s), link musl's start files and libc and name
# musl's loader (/lib/ld-musl-mips.so.1).  C++ programs get the C++ runtime
# as static archives (the only form that exists for musl here) with
# cxx-runtime-compat.c, and libstdc++'s target headers, configured for
# glibc, are overlaid by the few that differ for musl (os_defines.h,
# ctype_base.h; c++config.h and c++locale.h edited from Debian's copies).
set -eu
root=$1
here=$(cd "$(dirname "$0")" && pwd)
triple=mips-linux-gnu
prefix=mips-openwrt-linux-musl
rootfs=$root/rootfs
tools=$root/toolchain
gcc_version=$($triple-gcc -dumpversion)
gcc_include=$($triple-gcc -print-file-name=include)
cxx_include=/usr/$triple/include/c++/$gcc_version
cxx_target=$cxx_include/$triple

mkdir -p "$tools/bin" "$tools/lib" "$tools/include/c++/bits"

# A GCC driver file with the start files, library search path and runtime
# library list for musl.  GCC's default link rules stay (--eh-frame-hdr,
# -dynamic-linker with -mmusl); only glibc's directories are replaced by musl's.
lib=$rootfs/usr/lib
cat > "$tools/musl.specs" <<DRIVER
*link_libgcc:
-L$lib -L .%s

*libgcc:
-lgcc -lgcc_eh $tools/lib/libcxx-runtime-compat.a

*startfile:
%{shared:;static:$lib/crt1.o;static-pie:$lib/rcrt1.o;!no-pie:$lib/Scrt1.o;:$lib/crt1.o} $lib/crti.o %{static:crtbeginT.o%s;shared|static-pie|!no-pie:crtbeginS.o%s;:crtbegin.o%s}

*endfile:
%{static:crtend.o%s;shared|static-pie|!no-pie:crtendS.o%s;:crtend.o%s} $lib/crtn.o
DRIVER

# libstdc++'s target headers for musl.
overlay=$tools/include/c++
cp "$here/os_defines.h" "$here/ctype_base.h" "$overlay/bits/"
# Functions glibc has and musl 1.2.3 lacks: the headers must not call them.
sed -e 's,^#define \(_GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT\|_GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK\|_GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK\|_GLIBCXX_HAVE_ARC4RANDOM\|_GLIBCXX_HAVE___CXA_THREAD_ATEXIT_IMPL\) 1$,/* #undef \1 (not in musl) */,' \
  "$cxx_target/bits/c++config.h" > "$overlay/bits/c++config.h"
# The C locale type is musl's locale_t (the same struct tag as glibc's, so
# the runtime's symbols match); uselocale is there in every musl.
sed -e 's/^#if __GLIBC__ > 2 || (__GLIBC__ == 2 \&\& __GLIBC_MINOR__ > 2)$/#if 1/' \
    -e 's/^\(  typedef \)__locale_t\([[:space:]]*__c_locale;\)$/\1locale_t\2/' \
  "$cxx_target/bits/c++locale.h" > "$overlay/bits/c++locale.h"
for edit in "c++config.h:not in musl" "c++locale.h:typedef locale_t"; do
  grep -q "${edit#*:}" "$overlay/bits/${edit%%:*}" || {
    echo "make-toolchain: $cxx_target/bits/${edit%%:*} is not the file this script edits" >&2
    exit 1
  }
done

c_includes="-nostdinc -isystem $rootfs/usr/include -isystem $gcc_include"
cxx_includes="-nostdinc -isystem $cxx_include -isystem $overlay -isystem $cxx_target -isystem $cxx_include/backward -isystem $rootfs/usr/include -isystem $gcc_include"
cat > "$tools/bin/$prefix-gcc" <<WRAPPER
#!/bin/sh
exec $triple-gcc -mmusl -specs=$tools/musl.specs $c_includes "\$@"
WRAPPER
cat > "$tools/bin/$prefix-g++" <<WRAPPER
#!/bin/sh
exec $triple-g++ -mmusl -specs=$tools/musl.specs $cxx_includes -static-libstdc++ -static-libgcc "\$@"
WRAPPER
chmod +x "$tools/bin/$prefix-gcc" "$tools/bin/$prefix-g++"
ln -sf "$prefix-gcc" "$tools/bin/$prefix-cc"
ln -sf "$prefix-g++" "$tools/bin/$prefix-c++"
for tool in ar as ld nm objcopy objdump ranlib readelf size strip; do
  ln -sf "/usr/bin/$triple-$tool" "$tools/bin/$prefix-$tool"
done

# libatomic, which OpenSSL needs for its 64-bit atomics on a 32-bit MIPS,
# belongs to the compiler's run-time as on OpenWrt (package libatomic): the
# target gets the compiler's copy.  It asks the C library for nothing but
# memcmp, memcpy and pthread mutexes, whose ABI musl shares.
cp -L "/usr/$triple/lib/libatomic.so.1" "$rootfs/usr/lib/libatomic.so.1"

"$tools/bin/$prefix-gcc" -Os -fPIC -Wall -Wextra -Werror -c "$here/cxx-runtime-compat.c" \
  -o "$tools/lib/cxx-runtime-compat.o"
rm -f "$tools/lib/libcxx-runtime-compat.a"
"$tools/bin/$prefix-ar" rcs "$tools/lib/libcxx-runtime-compat.a" "$tools/lib/cxx-runtime-compat.o"
rm -f "$tools/lib/cxx-runtime-compat.o"
