#!/bin/sh
# check-install.sh on made-up builds: a complete one passes; a missing
# program, files installed with the wrong mode and a program the package
# leaves out are each reported on a line of their own.
#
#   sh openwrt/check_install_test.sh              the made-up builds
#   sh openwrt/check_install_test.sh --build DIR  the host build in DIR,
#                                                 installed with prefix /usr
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=test_harness.sh
. "$here/test_harness.sh"

# installed ARGS...: runs the check, prints its output and exit status.
installed() {
	out=$(sh "$here/check-install.sh" "$@" 2>&1)
	printf '%s\nexit %s\n' "$out" "$?"
}

if [ "${1:-}" = --build ]; then
	DESTDIR=$work/destdir cmake --install "$2" --prefix /usr >"$work/install.log" 2>&1 ||
		{ cat "$work/install.log"; echo "0 passed, 1 failed"; exit 1; }
	check "the host build" "package root $work/root: 23 entries as the package needs them
exit 0" "$(installed "$work/destdir" "$work/root")"
	summary
	exit
fi

# A made-up build: every program a small script, installed by no rule's
# mode (the recipe sets the modes).
mkdir -p "$work/build/usr/sbin" "$work/build/usr/bin"
for program in cloudd verifyd bridged standbyd; do
	echo "#!/bin/sh" >"$work/build/usr/sbin/$program"
done
for program in ctlcfg keybase fwupdate extcard occupancy provision; do
	echo "#!/bin/sh" >"$work/build/usr/bin/$program"
done
chmod 0640 "$work/build/usr/sbin/cloudd"
check "a complete build" "package root $work/root: 23 entries as the package needs them
exit 0" "$(installed "$work/build" "$work/root")"
check "modes in the package" "755 644 600" "$(cd "$work/root" &&
	stat -c %a usr/sbin/cloudd lib/upgrade/keep.d/tq8hub etc/config/tq8mode | tr '\n' ' ' | sed 's/ $//')"

# A program missing from the build, one the package does not take, and a
# package whose recipe installs the init script and the UCI file with the
# data mode.
cp -R "$work/build" "$work/broken"
rm "$work/broken/usr/bin/keybase"
echo "#!/bin/sh" >"$work/broken/usr/sbin/newd"
cp -R "$here/tq8hub" "$work/package"
# shellcheck disable=SC2016  # make's $(...) are text here
sed -i 's|$(INSTALL_BIN) ./files/tq8hub.init|$(INSTALL_DATA) ./files/tq8hub.init|;
	s|$(INSTALL_CONF) ./files/tq8mode.config|$(INSTALL_DATA) ./files/tq8mode.config|' \
	"$work/package/Makefile"
check "a broken build and package" "recipe: install: cannot stat '$work/broken/usr/bin/keybase': No such file or directory
missing: /usr/bin/keybase
wrong mode: /etc/init.d/tq8hub is 644, not 755
wrong mode: /etc/config/tq8mode is 644, not 600
installed by the build but not in the package: /usr/sbin/newd
exit 1" "$(installed --package "$work/package" "$work/broken" "$work/broken-root")"

# Wrong use: no arguments, a package root that is not empty.
check "no arguments" "exit 2" "$(installed | sed -n '$p')"
check "a package root that is not empty" "check-install.sh: package root $work/root is not empty
exit 2" "$(installed "$work/build" "$work/root" | grep -v '^usage:')"

summary
