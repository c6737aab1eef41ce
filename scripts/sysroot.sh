#!/bin/sh
# The controller's C library and the libraries some programs link, built for
# its SoC (MIPS32 big-endian) from Debian's own source packages: musl (the C
# library of OpenWrt), then OpenSSL, libcurl, json-c and shapelib against
# it, all with the OpenWrt SDK's default target flags.  Debian has no
# big-endian MIPS port, so there is no binary package of any of them.
#
#   ./scripts/sysroot.sh          builds (or reuses) the folder, prints its path last
#
# The folder holds
#   rootfs/     the target's root as the board has it: musl's libc.so with
#               its loader /lib/ld-musl-mips.so.1, the libraries' shared
#               objects in usr/lib and their headers in usr/include
#               (qemu-mips -L rootfs runs the programs);
#   toolchain/  Debian's cross compiler made a musl compiler named like the
#               SDK's (bin/mips-openwrt-linux-musl-gcc, -g++, binutils; see
#               scripts/toolchain/make-toolchain.sh).
# It lives outside every build tree,
# in /var/cache/tq8-sysroot/ (root) or ~/.cache/tq8-sysroot/ (anyone else;
# TQ8_SYSROOT_CACHE=DIR chooses another place), one folder per set of
# source versions, compiler version and configuration: a folder whose
# stamp matches is reused, so only the first run pays for the build.
#
# Debian's source entries (deb-src) for the machine's own suites are added
# when missing, next to the binary ones (deb822 format).
set -eu

triple=mips-linux-gnu
target=mips-openwrt-linux-musl
packages="musl openssl curl json-c shapelib"
# Where shapelib's own source cannot be fetched (a mirror that lacks it),
# the copy of shapelib that GDAL's source package carries serves.
fallback_shapelib=gdal
# Bumped when the configurations below change: they are part of the stamp.
recipe=3
# The OpenWrt SDK's default target flags for a MIPS 24Kc and its hardening
# (stack protector, fortified string functions, format checks, full RELRO).
openwrt_cflags="-Os -pipe -mips32r2 -mtune=24kc -fno-caller-saves -Wformat -Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1"
openwrt_ldflags="-Wl,-z,now -Wl,-z,relro"

if [ "$(id -u)" -eq 0 ]; then
  cache=${TQ8_SYSROOT_CACHE:-/var/cache/tq8-sysroot}
  sudo=""
else
  cache=${TQ8_SYSROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tq8-sysroot}
  sudo="sudo"
fi
jobs=$(nproc 2>/dev/null || echo 2)

tq8_scripts=$(cd "$(dirname "$0")" && pwd)

log() { echo "sysroot: $*" >&2; }

# deb-src entries beside every deb822 "Types: deb" stanza of Debian's own
# sources, in a file of their own (Debian's own file stays as it is).
add_source_entries() {
  src_list=/etc/apt/sources.list.d/tq8-deb-src.sources
  [ -e "$src_list" ] && return 1
  grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources && return 1
  grep -qs '^deb-src' /etc/apt/sources.list && return 1
  debian=/etc/apt/sources.list.d/debian.sources
  [ -r "$debian" ] || { log "no $debian to take the suites from"; exit 1; }
  log "adding deb-src entries: $src_list"
  sed 's/^Types:.*/Types: deb-src/' "$debian" | $sudo tee "$src_list" >/dev/null
  return 0
}

# The .dsc files that "apt-get source" may fetch for PACKAGE, best first:
# the newest of the machine's suites, then the release itself (a mirror may
# not serve every file of a fresh security update).  One apt-get call for
# all of them ($uris), as each call reads the package lists anew.
list_uris() {
  wanted=""
  for name in $packages $fallback_shapelib; do wanted="$wanted $name $name/bookworm"; done
  # shellcheck disable=SC2086
  apt-get source --print-uris -qq $wanted 2>/dev/null || true
}
source_candidates() {
  printf '%s\n' "$uris" | sed -n "s/^'[^']*' \($1_[^ ]*\.dsc\) .*/\1/p" | awk '!seen[$0]++'
}

if add_source_entries; then
  $sudo apt-get update -q >&2
fi
uris=$(list_uris)
if [ -z "$(source_candidates json-c)" ]; then
  # Source lists not fetched yet (or out of date).
  $sudo apt-get update -q >&2
  uris=$(list_uris)
fi
candidates=""
for package in $packages; do
  found=$(source_candidates "$package")
  [ "$package" = shapelib ] && found="$found
$(source_candidates "$fallback_shapelib")"
  [ -n "$found" ] || { log "apt-get source knows no package $package"; exit 1; }
  candidates="$candidates$found
"
done
# The toolchain's own files are part of the recipe.
toolchain_files=$(cat "$tq8_scripts/sysroot.sh" "$tq8_scripts"/toolchain/* | sha256sum | cut -c1-16)
toolchain="compiler $($triple-gcc -dumpfullversion) $(dpkg-query -W -f='${Version}' "gcc-$($triple-gcc -dumpversion)-$triple" 2>/dev/null || true) kernel headers $(dpkg-query -W -f='${Version}' linux-libc-dev-mips-cross)
recipe $recipe $toolchain_files"

# A folder is reused when its stamp names, for every library, one of the
# versions apt-get offers now, and the same compiler and recipe.
matches() {
  stamp_file=$1
  [ "$(tail -n 2 "$stamp_file")" = "$toolchain" ] || return 1
  [ "$(wc -l < "$stamp_file")" -eq $(( $(echo "$packages" | wc -w) + 2 )) ] || return 1
  head -n -2 "$stamp_file" | while read -r dsc; do
    printf '%s' "$candidates" | grep -qxF "$dsc" || return 1
  done
}
for stamp_file in "$cache"/*/stamp; do
  [ -f "$stamp_file" ] || continue
  if matches "$stamp_file"; then
    root=$(dirname "$stamp_file")
    log "reusing $root"
    echo "$root"
    exit 0
  fi
done

# dpkg-source unpacks and patches the sources.
if ! command -v dpkg-source >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends dpkg-dev >&2
fi

log "building the libraries (first run for these versions)"
started=$(date +%s)
mkdir -p "$cache"
work=$(mktemp -d "$cache/work-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
stamp=""
for package in $packages; do
  fetched=""
  names=$package
  [ "$package" = shapelib ] && names="$package $fallback_shapelib"
  for dsc in $(for name in $names; do printf '%s' "$candidates" | grep "^${name}_"; done); do
    name=${dsc%%_*}
    version=${dsc#"${name}_"}
    version=${version%.dsc}
    # Only the shapelib folder of GDAL's sources is unpacked.
    if [ "$name" = "$fallback_shapelib" ]; then
      apt-get source -q --download-only -o APT::Sandbox::User=root "$name=$version" >&2 &&
        mkdir -p shapelib-gdal &&
        tar -xJf "$name"_*.orig.tar.xz -C shapelib-gdal --strip-components=4 \
          --wildcards '*/ogr/ogrsf_frmts/shape/*.[ch]' >&2 &&
        rm -f "$name"_* && fetched=$dsc && break
    elif apt-get source -q -o APT::Sandbox::User=root "$package=$version" >&2; then
      fetched=$dsc
      break
    fi
    log "$dsc could not be fetched, trying the next version"
    rm -rf "$work/${name}"[-_]*
  done
  [ -n "$fetched" ] || { log "no source of $package could be fetched"; exit 1; }
  stamp="$stamp$fetched
"
done
stamp="$stamp$toolchain"
key=$(printf '%s' "$stamp" | sha256sum | cut -c1-16)
root="$cache/$key"
srcdir() { find "$work" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n 1; }
# Built where it stays: the toolchain's wrappers and GCC driver file name
# the folder.  The stamp comes last, so a folder whose build broke off is
# never reused.
stage="$root"
rm -rf "$stage"

stage_root="$stage/rootfs"
usr="$stage_root/usr"
mkdir -p "$usr/lib" "$usr/include" "$stage_root/lib"

# musl, as OpenWrt has it: libc.so in /usr/lib and its loader in /lib.  The
# loader's link is made relative so that it resolves inside the folder.
log "musl"
cd "$(srcdir musl)"
CROSS_COMPILE="$triple-" CFLAGS="-Os -pipe -mips32r2 -mtune=24kc -fno-caller-saves" \
  ./configure --target=mips-linux-musl --prefix=/usr --syslibdir=/lib >&2
make -s -j"$jobs" >&2
make -s install DESTDIR="$stage_root" >&2
for loader in "$stage_root"/lib/ld-musl-*.so.1; do
  ln -sf ../usr/lib/libc.so "$loader"
done
# The Linux kernel's headers for user space (i2c-dev among them), as the
# SDK's toolchain has them beside its C library: Debian's copy for this
# target (linux-libc-dev-mips-cross), which no C library's headers depend on.
for dir in linux asm asm-generic mtd; do
  cp -R "/usr/$triple/include/$dir" "$usr/include/"
done

log "toolchain"
sh "$tq8_scripts/toolchain/make-toolchain.sh" "$stage"
cc="$stage/toolchain/bin/$target-gcc"
export PATH="$stage/toolchain/bin:$PATH"

# OpenSSL: the shared libssl and libcrypto only (OpenSSL compiles its
# static libraries from separate objects: building only the shared ones
# halves the time), no tests, engines, loadable modules or legacy provider.
log "openssl"
cd "$(srcdir openssl)"
CC="$target-gcc" AR="$target-ar" RANLIB="$target-ranlib" CFLAGS="$openwrt_cflags" LDFLAGS="$openwrt_ldflags" \
./Configure linux-mips32 --prefix=/usr --libdir=lib --openssldir=/etc/ssl \
  shared no-tests no-engine no-legacy no-module no-async \
  no-idea no-mdc2 no-rc5 no-seed no-whirlpool no-camellia no-aria \
  no-sm2 no-sm3 no-sm4 no-gost no-ssl3 no-srp no-ct no-ts no-ocsp \
  no-dtls no-sctp no-comp no-fuzz-afl no-fuzz-libfuzzer >&2
make -s build_generated >&2
make -s -j"$jobs" libcrypto.so libssl.so >&2
mkdir -p "$usr/include/openssl"
cp include/openssl/*.h "$usr/include/openssl/"
for library in libcrypto libssl; do
  cp "$library.so.3" "$usr/lib/"
  ln -sf "$library.so.3" "$usr/lib/$library.so"
done

# libcurl: HTTP and HTTPS over OpenSSL, Basic and Digest authentication,
# the threaded resolver; nothing else (no other protocol, no IDN,
# public-suffix list, compression, HTTP/2 or SSH libraries).
log "curl"
cd "$(srcdir curl)"
CC="$cc" CFLAGS="$openwrt_cflags" LDFLAGS="$openwrt_ldflags" PKG_CONFIG_LIBDIR="$usr/lib/pkgconfig" \
./configure --host="$triple" --prefix=/usr --libdir=/usr/lib \
  --enable-shared --disable-static --disable-manual --disable-docs \
  --enable-http --enable-threaded-resolver --enable-crypto-auth \
  --disable-ftp --disable-file --disable-ldap --disable-ldaps \
  --disable-rtsp --disable-dict --disable-telnet --disable-tftp --disable-pop3 \
  --disable-imap --disable-smb --disable-smtp --disable-gopher --disable-mqtt \
  --disable-proxy --disable-unix-sockets --disable-alt-svc --disable-hsts \
  --disable-ntlm --disable-kerberos-auth --disable-negotiate-auth \
  --with-openssl="$usr" --without-zlib --without-brotli --without-zstd \
  --without-libpsl --without-libidn2 --without-nghttp2 --without-nghttp3 \
  --without-ngtcp2 --without-libssh2 --without-libssh --without-librtmp \
  --without-libgsasl --without-ca-bundle --without-ca-path --without-ca-fallback >&2
grep -q '^#define USE_THREADS_POSIX 1' lib/curl_config.h || { log "curl: no threaded resolver"; exit 1; }
make -s -j"$jobs" -C lib >&2
make -s -C lib install DESTDIR="$stage_root" >&2
make -s -C include install DESTDIR="$stage_root" >&2

# json-c, with its own CMake build.
log "json-c"
cd "$(srcdir json-c)"
CFLAGS="$openwrt_cflags" LDFLAGS="$openwrt_ldflags" \
cmake -S . -B build-mips -G Ninja \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=mips \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_FIND_ROOT_PATH="$usr" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
  -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_TESTING=OFF \
  -DBUILD_APPS=OFF -DDISABLE_EXTRA_LIBS=ON >&2
cmake --build build-mips -j "$jobs" >&2
DESTDIR="$stage_root" cmake --install build-mips >&2

# shapelib: the library alone (libshp, its soname as Debian has it).
log "shapelib"
cd "$(srcdir shapelib)"
shp_sources="shpopen.c dbfopen.c safileio.c shptree.c sbnsearch.c"
if [ ! -e safileio.c ]; then
  # GDAL's copy: its stdio hooks come from this repository.
  shp_sources="shpopen.c dbfopen.c shptree.c $tq8_scripts/shapelib-stdio-hooks.c -I."
fi
# shellcheck disable=SC2086
"$cc" $openwrt_cflags -Wno-error=format-security -fPIC -shared $openwrt_ldflags \
  -Wl,-soname,libshp.so.2 -o "$usr/lib/libshp.so.2" $shp_sources
ln -sf libshp.so.2 "$usr/lib/libshp.so"
cp shapefil.h "$usr/include/"

# Only libraries and headers: the pkg-config, libtool and CMake files are
# not used.  The folder names itself in the toolchain's wrappers and GCC
# driver file, so it is built in place of its final name.
rm -rf "${usr:?}/share" "${usr:?}/bin" "${usr:?}/lib/pkgconfig" "${usr:?}/lib/cmake"
rm -f "$usr"/lib/*.la
printf '%s\n' "$stamp" > "$stage/stamp"
log "built in $(( $(date +%s) - started )) s: $root"
echo "$root"
