#!/bin/sh
# The package's init script (tq8hub/files/tq8hub.init): which daemon it has
# procd run for each operating mode in the UCI file, with procd's and UCI's
# shell functions replaced by stand-ins that print what they are asked.  The
# script and this test must also pass shellcheck.
#
#   sh openwrt/tq8hub_init_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
init=$here/tq8hub/files/tq8hub.init
shipped_config=$here/tq8hub/files/tq8mode.config
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# service ACTION [UCI_FILE]: sources the init script in a subshell with the
# stand-ins, runs ACTION (start_service, reload_service, service_triggers)
# with UCI_FILE as /etc/config/tq8mode (none: no such file) and prints the
# calls it made, one a line.
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
				END { exit !found }' "$uci_file" 2>/dev/null) || value=${4:-}
			eval "$1=\$value"
		}
		procd_open_instance() { echo "procd_open_instance $*"; }
		procd_set_param() { echo "procd_set_param $*"; }
		procd_close_instance() { echo "procd_close_instance"; }
		procd_add_reload_trigger() { echo "procd_add_reload_trigger $*"; }
		logger() { echo "logger $*"; }
		# /etc/rc.common's start for a procd service: the instance again.
		start() { start_service; }
		# shellcheck source=tq8hub/files/tq8hub.init
		. "$init"
		"$1"
	)
}

# check NAME EXPECTED ACTUAL
check() {
	if [ "$2" = "$3" ]; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		printf 'FAILED: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
	fi
}

# instance DAEMON: what start_service hands procd for that daemon.
instance() {
	printf '%s\n' "config_load tq8mode" "procd_open_instance daemon" \
		"procd_set_param command $1 -i" "procd_set_param respawn" \
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

# An unknown mode (also an empty one) is logged and the offline daemon runs.
for mode in "'Cloud'" "'cloudd'" "''" "'offline -d'"; do
	expected="$(instance /usr/sbin/standbyd | sed 1q)
logger -t tq8hub unknown operating mode '$(echo "$mode" | tr -d "'")' in /etc/config/tq8mode: running the offline daemon
$(instance /usr/sbin/standbyd | sed 1d)"
	check "unknown mode $mode" "$expected" "$(service start_service "$(mode_file "$mode")")"
done

# reload hands procd the daemon of the mode configured now; a change of
# tq8mode triggers it.
check "reload after a change to online" "$(instance /usr/sbin/verifyd)" \
	"$(service reload_service "$(mode_file "'online'")")"
check "reload trigger" "procd_add_reload_trigger tq8mode" "$(service service_triggers)"

# The package installs the script and the mode file under the names the
# script uses, and keeps the mode file and CONFIG.CFG over upgrades.
makefile=$here/tq8hub/Makefile
conffiles=$(sed -n '/^define Package\/tq8hub\/conffiles/,/^endef/p' "$makefile")
for line in "./files/tq8hub.init \$(1)/etc/init.d/tq8hub" \
	"./files/tq8mode.config \$(1)/etc/config/tq8mode"; do
	if grep -qF "$line" "$makefile"; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		echo "FAILED: the package does not install $line"
	fi
done
for file in /etc/config/tq8mode /etc/config/tq8hub/CONFIG.CFG; do
	if printf '%s\n' "$conffiles" | grep -qx "$file"; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		echo "FAILED: $file is not among the package's conffiles"
	fi
done

# The script and this test pass shellcheck.
if command -v shellcheck >/dev/null 2>&1; then
	if out=$(cd "$here" && shellcheck -x "$init" tq8hub_init_test.sh 2>&1); then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		printf 'FAILED: shellcheck\n%s\n' "$out"
	fi
else
	failed=$((failed + 1))
	echo "FAILED: shellcheck is not installed (Debian package shellcheck)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
