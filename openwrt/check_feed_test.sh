#!/bin/sh
# check-feed.py on this feed (every dependency resolves) and on made-up
# feeds with dependencies that resolve nowhere, so that a check that
# stopped catching them fails here.
#
#   sh openwrt/check_feed_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=test_harness.sh
. "$here/test_harness.sh"

# feed DIR: runs the check on DIR, prints its output and its exit status.
feed() {
	out=$(python3 "$here/check-feed.py" "$@" 2>&1)
	printf '%s\nexit %s\n' "$out" "$?"
}

# package DIR NAME DEPENDS...: a package folder DIR/NAME whose Makefile
# builds NAME with those dependencies (one DEPENDS line of continued lines).
# shellcheck disable=SC2016  # make's $(...) are text here
package() {
	mkdir -p "$1/$2"
	dir=$1 name=$2
	shift 2
	{
		printf 'include $(TOPDIR)/rules.mk\nPKG_NAME:=%s\ninclude $(INCLUDE_DIR)/package.mk\n' "$name"
		printf 'define Package/%s\n  TITLE:=made up\n  DEPENDS:=' "$name"
		printf '%s \\\n\t' "$@"
		printf '\nendef\n\ndefine Package/%s/install\n\ttrue\nendef\n' "$name"
		printf '$(eval $(call BuildPackage,%s))\n' "$name"
	} >"$dir/$name/Makefile"
}

# This feed: tq8hub and libshp, everything resolved.
check "this feed" "feed $here: 2 packages, 7 dependencies resolved
exit 0" "$(feed "$here")"

# Good dependencies of every kind: a package of the feed, outside packages
# and their symbols, PACKAGE_ symbols, conditional ones.  Then each bad
# kind: a package found nowhere (also on a continued line and behind a
# condition), a symbol that is not listed, a symbol of a package the
# package does not depend on.
cp "$here/outside-packages.txt" "$work/table"
package "$work/good" own
package "$work/good" user +own +libcurl libjson-c +@LIBCURL_OPENSSL @LIBCURL_CRYPTO_AUTH \
	@!PACKAGE_own +PACKAGE_libcurl:kmod-i2c-core
check "good dependencies" "feed $work/good: 2 packages, 8 dependencies resolved
exit 0" "$(feed "$work/good" "$work/table")"

package "$work/bad" bad +libcurl +libnothing +@LIBCURL_NO_SUCH_FEATURE libjson-c \
	+@LIBCURL_OPENSSL +NO_SUCH_SYMBOL:libjson-c +PACKAGE_libcurl:libother
package "$work/bad" selector +libjson-c +@LIBCURL_THREADED_RESOLVER
check "dependencies that resolve nowhere" "bad/Makefile: bad: dependency '+libnothing': package libnothing is neither in this feed nor in table
bad/Makefile: bad: dependency '+PACKAGE_libcurl:libother': package libother is neither in this feed nor in table
bad/Makefile: bad: dependency '+@LIBCURL_NO_SUCH_FEATURE': Kconfig symbol LIBCURL_NO_SUCH_FEATURE is not in table
bad/Makefile: bad: dependency '+NO_SUCH_SYMBOL:libjson-c': Kconfig symbol NO_SUCH_SYMBOL is not in table
selector/Makefile: selector: dependency '+@LIBCURL_THREADED_RESOLVER': LIBCURL_THREADED_RESOLVER belongs to libcurl, which selector does not depend on
exit 1" "$(feed "$work/bad" "$work/table")"

# Entries the check cannot read are problems, not passes.
# shellcheck disable=SC2016
package "$work/odd" odd '@(LIBCURL_OPENSSL||LIBCURL_MBEDTLS)' '+$(ICONV_DEPENDS)'
check "dependencies the check cannot read" "odd/Makefile: odd: dependency '@(LIBCURL_OPENSSL||LIBCURL_MBEDTLS)' is not understood by this check
odd/Makefile: odd: dependency '+\$(ICONV_DEPENDS)' is not understood by this check
exit 1" "$(feed "$work/odd" "$work/table")"

# The table itself: known feeds, symbols of listed packages, readable lines.
printf '%s\n' "package libcurl packages net/curl" "package libfoo nofeed libs/foo" \
	"symbol LIBCURL_OPENSSL libcurl" "symbol FOO_FEATURE libfoo" "libbar packages libs/bar" \
	>"$work/bad-table"
check "a bad table" "bad-table:2: package libfoo: unknown feed 'nofeed' (known: base, luci, packages, routing, telephony, video)
bad-table:5: not understood (package NAME FEED PATH, or symbol NAME PACKAGE): libbar packages libs/bar
bad-table:4: symbol FOO_FEATURE: its package libfoo is not listed as a package
exit 1" "$(feed "$work/good" "$work/bad-table" | grep -v '^user/Makefile')"

summary
