#!/bin/sh
# The package's init script (tq8hub/files/tq8hub.init): which daemon it has
# procd run for each operating mode in the UCI file, how (respawned for
# ever, restarted when CONFIG.CFG changed) and on which events (tq8mode
# changed, the configured network interface), with procd's and UCI's shell
# functions replaced by stand-ins that print what they are asked.  Also what
# the package installs around it, and shellcheck on the feed's shell
# scripts.
#
#   sh openwrt/tq8hub_init_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=test_harness.sh
. "$here/test_harness.sh"
init=$here/tq8hub/files/tq8hub.init
shipped_config=$here/tq8hub/files/tq8mode.config

# service ACTION [UCI_FILE]: sources the init script in a subshell with the
# stand-ins, runs ACTION (start_service, reload_service, service_triggers)
# with UCI_FILE as /etc/config/tq8mode (none: no such file) and prints the
# calls it made, one a line.  config_get, like UCI's, gives the default also
# for an option whose value is empty.
# shellcheck disable=SC2317,SC2034  # the stand-ins are called by the sourced script
service() {
	(
		uci_file=${2:-$work/missing}
		config_load() { echo "config_load $1"; }
		# config_get VARIABLE SECTION OPTION [DEFAULT], read from uci_file the
		# way UCI reads it: quoted or bare values, the section named in 'config'.
		config_get() {
			value=$(awk -v section="$2" -v option="$3" '
				function unquote(s) { gsub(/^["'\'']|["'\'']$/, "", s); return s }
				$1 == "config" { inside = (unquote($3) == section) }
				inside && $1 == "option" && $2 == option {
					sub(/^[ \t]*option[ \t]+[^ \t]+[ \t]+/, ""); print unquote($0); found = 1; exit
				}
				END { exit !found }' "$uci_file" 2>/dev/null) || value=
			[ -n "$value" ] || value=${4:-}
			eval "$1=\$value"
		}
		procd_open_instance() { echo "procd_open_instance $*"; }
		procd_set_param() { echo "procd_set_param $*"; }
		procd_close_instance() { echo "procd_close_instance"; }
		procd_add_reload_trigger() { echo "procd_add_reload_trigger $*"; }
		procd_add_interface_trigger() { echo "procd_add_interface_trigger $*"; }
		logger() { echo "logger $*"; }
		# /etc/rc.common's start for a procd service: the instance again.
		start() { start_service; }
		# shellcheck source=tq8hub/files/tq8hub.init
		. "$init"
		"$1"
	)
}

# instance DAEMON: what start_service hands procd for that daemon: respawned
# 5 s after each end without ever giving up (retry 0), restarted by a
# reload when CONFIG.CFG changed (procd keeps its checksum).
instance() {
	printf '%s\n' "config_load tq8mode" "procd_open_instance daemon" \
		"procd_set_param command $1 -i" "procd_set_param respawn 3600 5 0" \
		"procd_set_param file /etc/config/tq8hub/CONFIG.CFG" \
		"procd_set_param stdout 1" "procd_set_param stderr 1" \
		"procd_set_param term_timeout 10" "procd_close_instance"
}

mode_file() {
	printf "config daemon 'main'\n\toption mode %s\n" "$1" >"$work/tq8mode"
	echo "$work/tq8mode"
}

# Each mode runs its own daemon in the foreground, respawned.
for pair in cloud:cloudd online:verifyd advanced:bridged offline:standbyd; do
	mode=${pair%%:*}
	check "mode $mode" "$(instance "/usr/sbin/${pair#*:}")" \
		"$(service start_service "$(mode_file "'$mode'")")"
done
check "a bare (unquoted) mode value" "$(instance /usr/sbin/bridged)" \
	"$(service start_service "$(mode_file advanced)")"

# The shipped file, a missing file and a file without the option: offline.
check "the shipped configuration" "$(instance /usr/sbin/standbyd)" \
	"$(service start_service "$shipped_config")"
check "no configuration file" "$(instance /usr/sbin/standbyd)" "$(service start_service)"
printf "config daemon 'main'\n" >"$work/empty"
check "no mode option" "$(instance /usr/sbin/standbyd)" \
	"$(service start_service "$work/empty")"
printf "config daemon 'other'\n\toption mode 'cloud'\n" >"$work/other"
check "the mode of another section is not taken" "$(instance /usr/sbin/standbyd)" \
	"$(service start_service "$work/other")"

# An empty mode is no mode (UCI gives the default); an unknown one is logged
# and the offline daemon runs.
check "an empty mode" "$(instance /usr/sbin/standbyd)" \
	"$(service start_service "$(mode_file "''")")"
for mode in "'Cloud'" "'cloudd'" "'offline -d'"; do
	expected="$(instance /usr/sbin/standbyd | sed 1q)
logger -t tq8hub unknown operating mode '$(echo "$mode" | tr -d "'")' in /etc/config/tq8mode: running the offline daemon
$(instance /usr/sbin/standbyd | sed 1d)"
	check "unknown mode $mode" "$expected" "$(service start_service "$(mode_file "$mode")")"
done

# reload hands procd the daemon of the mode configured now; a change of
# tq8mode triggers it, and the events of the configured interface (wan when
# none is configured) restart the daemon.
check "reload after a change to online" "$(instance /usr/sbin/verifyd)" \
	"$(service reload_service "$(mode_file "'online'")")"
# triggers INTERFACE: what service_triggers registers.
triggers() {
	printf '%s\n' "procd_add_reload_trigger tq8mode" "config_load tq8mode" \
		"procd_add_interface_trigger interface.* $1 /etc/init.d/tq8hub restart"
}
check "triggers, no configuration file" "$(triggers wan)" "$(service service_triggers)"
check "triggers, the shipped configuration" "$(triggers wan)" \
	"$(service service_triggers "$shipped_config")"
check "triggers, no interface option" "$(triggers wan)" \
	"$(service service_triggers "$(mode_file "'cloud'")")"
printf "config daemon 'main'\n\toption mode 'online'\n\toption interface 'wwan'\n" \
	>"$work/wwan"
check "triggers, a configured interface" "$(triggers wwan)" \
	"$(service service_triggers "$work/wwan")"
printf "config daemon 'main'\n\toption interface ''\n" >"$work/empty_interface"
check "triggers, an empty interface option" "$(triggers wan)" \
	"$(service service_triggers "$work/empty_interface")"

# The package installs the script and the mode file under the names the
# script uses and the sysupgrade list where sysupgrade reads it, and keeps
# the mode file and CONFIG.CFG over upgrades.
makefile=$here/tq8hub/Makefile
conffiles=$(sed -n '/^define Package\/tq8hub\/conffiles/,/^endef/p' "$makefile")
for line in "./files/tq8hub.init \$(1)/etc/init.d/tq8hub" \
	"./files/tq8mode.config \$(1)/etc/config/tq8mode" \
	"./files/tq8hub.keep \$(1)/lib/upgrade/keep.d/tq8hub"; do
	if grep -qF "$line" "$makefile"; then
		pass
	else
		fail "the package does not install $line"
	fi
done
for file in /etc/config/tq8mode /etc/config/tq8hub/CONFIG.CFG; do
	if printf '%s\n' "$conffiles" | grep -qx "$file"; then
		pass
	else
		fail "$file is not among the package's conffiles"
	fi
done

# sysupgrade keeps the TLS files and the web access file the programs use
# outside /etc/config (comment lines aside, one path a line).
check "files kept over sysupgrade" \
	"$(printf '%s\n' /etc/httpd.conf /etc/server.crt /root/tolvek.key /root/tolvek.pem /root/vk_ca.pem)" \
	"$(grep -v '^#' "$here/tq8hub/files/tq8hub.keep" | grep . | sort)"

# What the package needs from other packages: i2c-dev, the libraries (no
# C++ runtime), and libcurl built with OpenSSL, Digest and the threaded
# resolver.  (check-feed.py checks that each of them resolves.)
depends=$(awk '/^define Package\/tq8hub$/ { inside = 1 } inside && /^endef/ { exit }
	inside { if (sub(/\\$/, "")) { joined = joined $0 " "; next } print joined $0; joined = "" }' \
	"$makefile" | sed -n 's/^[[:blank:]]*DEPENDS:=//p' | tr -s '[:blank:]' '\n' | grep . | sort)
check "the package's dependencies" "$(printf '%s\n' +@LIBCURL_CRYPTO_AUTH +@LIBCURL_OPENSSL \
	+@LIBCURL_THREADED_RESOLVER +kmod-i2c-core +libcurl +libjson-c +libshp)" "$depends"

# The cross build's script reads the CMake options from the Makefile: one
# -DNAME=VALUE a line, each but the last ended by a backslash.
options=$(sed -n '/^CMAKE_OPTIONS += \\$/,/[^\]$/p' "$makefile" | sed 1d)
[ -n "$options" ] || options="no CMAKE_OPTIONS += block"
check "CMAKE_OPTIONS, one option a line" "" \
	"$(printf '%s\n' "$options" | sed '$s/$/ \\/' | grep -Ev '^	-D[A-Za-z0-9_]+=[^ ]+ \\$')"

# The feed's shell scripts pass shellcheck.
if command -v shellcheck >/dev/null 2>&1; then
	if out=$(cd "$here" && shellcheck -x "$init" tq8hub_init_test.sh check-install.sh \
		check_install_test.sh check_feed_test.sh test_harness.sh 2>&1); then
		pass
	else
		fail "shellcheck
$out"
	fi
else
	fail "shellcheck is not installed (Debian package shellcheck)"
fi

summary
