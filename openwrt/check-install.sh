#!/bin/sh
# Runs the tq8hub package's install recipe (Package/tq8hub/install in
# tq8hub/Makefile) the way OpenWrt does, on a build installed with
# DESTDIR=DIR (configured with -DCMAKE_INSTALL_PREFIX=/usr), into an empty
# package root, and checks what the package then holds:
#
#   - each daemon of TQ8_DAEMONS in /usr/sbin and each tool of TQ8_TOOLS
#     in /usr/bin, mode 0755; both lists as cmake/programs.cmake has them;
#   - the init script /etc/init.d/tq8hub 0755, the UCI file
#     /etc/config/tq8mode 0600, the sysupgrade list
#     /lib/upgrade/keep.d/tq8hub 0644, every directory 0755;
#   - every file in the package root has a known place and mode, and every
#     program the build installed is in the package.
#
# GNU make expands the recipe with OpenWrt's meanings of the macros:
# $(INSTALL_DIR) install -d -m0755, $(INSTALL_BIN) install -m0755,
# $(INSTALL_CONF) install -m0600, $(INSTALL_DATA) install -m0644,
# $(CP) cp -fpR, $(1) the package root, $(PKG_INSTALL_DIR) the DESTDIR
# tree; the Makefile's own variables are its own.  It runs in the package
# folder, so ./files/... resolve.  All commands of the recipe run, also
# after one failed, so that every problem shows.
#
# Prints one line per problem and exits 1; exits 0 when the package is
# complete, 2 on wrong usage.
set -u
usage="usage: check-install.sh [--package DIR] DESTDIR PACKAGE_ROOT (PACKAGE_ROOT absent or empty; DIR: the package folder, default tq8hub beside this script)"
here=$(cd "$(dirname "$0")" && pwd)
package=$here/tq8hub
if [ "${1:-}" = --package ]; then
	[ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
	package=$2
	shift 2
fi
if [ $# -ne 2 ] || [ ! -d "$1" ] || [ ! -f "$package/Makefile" ]; then
	echo "$usage" >&2
	exit 2
fi
destdir=$(cd "$1" && pwd)
mkdir -p "$2" || { echo "$usage" >&2; exit 2; }
root=$(cd "$2" && pwd)
if [ -n "$(ls -A "$root")" ]; then
	echo "check-install.sh: package root $root is not empty" >&2
	echo "$usage" >&2
	exit 2
fi
package=$(cd "$package" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
problems=$work/problems
: >"$problems"
problem() { printf '%s\n' "$*" >>"$problems"; }

# Stand-ins for OpenWrt's rules.mk, package.mk and cmake.mk: the install
# macros, and a BuildPackage that makes the package's install recipe a
# target of its own.
: >"$work/rules.mk"
: >"$work/cmake.mk"
cat >"$work/package.mk" <<'EOF'
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_CONF:=install -m0600
INSTALL_DATA:=install -m0644
CP:=cp -fpR
define BuildPackage
tq8-install-$(1):
	$$(call Package/$(1)/install,$$(TQ8_PACKAGE_ROOT))
endef
tq8-print-%:
	@echo '$($*)'
EOF
# Nothing of a make this may run under (an SDK build) reaches this one.
run_make() {
	MAKEFLAGS='' MFLAGS='' MAKELEVEL='' make -s --no-print-directory -C "$package" \
		-f Makefile TOPDIR="$work" INCLUDE_DIR="$work" \
		PKG_INSTALL_DIR="$destdir" TQ8_PACKAGE_ROOT="$root" "$@"
}

daemons=$(run_make tq8-print-TQ8_DAEMONS) || daemons=
tools=$(run_make tq8-print-TQ8_TOOLS) || tools=
[ -n "$daemons" ] || problem "$package/Makefile: no daemons (TQ8_DAEMONS)"
[ -n "$tools" ] || problem "$package/Makefile: no tools (TQ8_TOOLS)"

# The build's lists of programs, where this script sits in the repository.
programs_cmake=$here/../cmake/programs.cmake
if [ -f "$programs_cmake" ]; then
	for list in TQ8_DAEMONS TQ8_TOOLS; do
		cmake_list=$(sed -n "s/^set($list \\(.*\\))\$/\\1/p" "$programs_cmake")
		if [ "$list" = TQ8_DAEMONS ]; then make_list=$daemons; else make_list=$tools; fi
		[ "$cmake_list" = "$make_list" ] ||
			problem "$list: the Makefile has '$make_list', cmake/programs.cmake '$cmake_list'"
	done
fi

# The recipe; each message of a failed command is a problem (make's own
# "(ignored)" notes are not).
run_make -i tq8-install-tq8hub >"$work/recipe.out" 2>&1
grep -Ev '^make(\[[0-9]+\])?: .*\(ignored\)$' "$work/recipe.out" |
	sed 's/^/recipe: /' >>"$problems"

# expect PATH MODE: the package holds the regular file PATH with MODE.
expect() {
	if [ ! -e "$root$1" ] && [ ! -L "$root$1" ]; then
		problem "missing: $1"
	elif [ -L "$root$1" ] || [ ! -f "$root$1" ]; then
		problem "not a regular file: $1"
	elif [ "$(stat -c %a "$root$1")" != "$2" ]; then
		problem "wrong mode: $1 is $(stat -c %a "$root$1"), not $2"
	fi
}
for program in $daemons; do expect "/usr/sbin/$program" 755; done
for program in $tools; do expect "/usr/bin/$program" 755; done
expect /etc/init.d/tq8hub 755
expect /etc/config/tq8mode 600
expect /lib/upgrade/keep.d/tq8hub 644

# Everything else the recipe put there: directories 0755, files by place.
(cd "$root" && find . -mindepth 1 | sed 's/^\.//' | sort) >"$work/contents"
while IFS= read -r path; do
	if [ -d "$root$path" ] && [ ! -L "$root$path" ]; then
		mode=$(stat -c %a "$root$path")
		[ "$mode" = 755 ] || problem "wrong mode: directory $path is $mode, not 755"
		continue
	fi
	case "$path" in
		/usr/sbin/* | /usr/bin/* | /etc/init.d/*) mode=755 ;;
		/etc/config/*) mode=600 ;;
		/lib/upgrade/keep.d/*) mode=644 ;;
		*) problem "unexpected file (no place for it in this check): $path"; continue ;;
	esac
	expect "$path" "$mode"
done <"$work/contents"

# Programs the build installed that the package left out.
for dir in /usr/sbin /usr/bin; do
	[ -d "$destdir$dir" ] || continue
	for file in "$destdir$dir"/*; do
		[ -e "$file" ] || continue
		[ -e "$root$dir/${file##*/}" ] ||
			problem "installed by the build but not in the package: $dir/${file##*/}"
	done
done

if [ -s "$problems" ]; then
	# The same problem may show twice (a missing program in both checks).
	awk '!seen[$0]++' "$problems"
	exit 1
fi
echo "package root $root: $(grep -c . "$work/contents") entries as the package needs them"
