# shellcheck shell=sh
# What the feed's shell tests share, sourced by each: a scratch folder
# $work removed at exit, the counts of passed and failed checks, and the
# closing line.
#
#   check NAME EXPECTED ACTUAL  a pass when EXPECTED and ACTUAL are the same
#                               text, else a failure that shows both
#   pass / fail MESSAGE         a pass; a failure that prints MESSAGE
#   summary                     "N passed, N failed"; its status is 0 when
#                               none failed (the test's last command)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

pass() {
	passed=$((passed + 1))
}

fail() {
	failed=$((failed + 1))
	printf 'FAILED: %s\n' "$1"
}

check() {
	if [ "$2" = "$3" ]; then
		pass
	else
		fail "$1
--- expected
$2
--- got
$3"
	fi
}

summary() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
