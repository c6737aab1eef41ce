#!/bin/sh
# Fails unless the ten programs installed in INSTALLED (bin/ and sbin/) and
# those built in BUILT_BIN are the same bytes once stripped: the programs
# the controller build's tests ran are the programs its package ships.
#
#   scripts/same-programs.sh INSTALLED BUILT_BIN
set -eu
[ $# -eq 2 ] || { echo "usage: $0 INSTALLED BUILT_BIN" >&2; exit 2; }
installed=$1
built=$2
strip=mips-linux-gnu-strip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for program in cloudd verifyd bridged standbyd ctlcfg keybase fwupdate extcard occupancy provision; do
  shipped=""
  for dir in sbin bin; do
    [ -e "$installed/$dir/$program" ] && shipped="$installed/$dir/$program"
  done
  if [ -z "$shipped" ] || [ ! -e "$built/$program" ]; then
    echo "$program: missing from ${shipped:+the tested build}${shipped:-the installed tree}" >&2
    status=1
    continue
  fi
  "$strip" -o "$work/shipped" "$shipped"
  "$strip" -o "$work/tested" "$built/$program"
  if ! cmp -s "$work/shipped" "$work/tested"; then
    echo "$program: the tested build differs from the shipped one" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "The ten programs are the same in both builds."
exit "$status"
