#!/bin/sh
# The size check of scripts/size-report.sh on made-up builds: ten small C
# programs pass; one that needs libstdc++ as a shared library, one over its
# budget, one holding the test toolchain's run-time adaptation and one
# missing each fail it, naming the program.
#
#   scripts/size-report-test.sh        (a test of the cross build)
set -eu
triple=mips-linux-gnu
check="$(dirname "$0")/size-report.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'int main(void) { return 0; }\n' > "$work/small.c"
printf 'int main() { try { throw 1; } catch (int) {} return 0; }\n' > "$work/runtime.cc"
printf 'static const char big[54000] = {1};\nint main(void) { return big[0] - 1; }\n' > "$work/big.c"
"$triple-gcc" -o "$work/small-prog" "$work/small.c"
"$triple-g++" -o "$work/runtime-prog" "$work/runtime.cc"
"$triple-gcc" -o "$work/big-prog" "$work/big.c"
printf 'int __newlocale(void) { return 0; }\nint main(void) { return __newlocale(); }\n' > "$work/compat.c"
"$triple-gcc" -o "$work/compat-prog" "$work/compat.c"

programs="cloudd verifyd bridged standbyd ctlcfg keybase fwupdate extcard occupancy provision"
failed=0

# expect NAME STATUS [PATTERN] -- a build in $work/NAME checked.
expect() {
  name=$1 status=$2 pattern=${3:-}
  actual=0
  sh "$check" --check "$work/$name" "$work/$name/report.md" > "$work/$name.out" 2>&1 || actual=$?
  if [ "$actual" -ne "$status" ] || { [ -n "$pattern" ] && ! grep -q "$pattern" "$work/$name.out"; }; then
    echo "FAILED: $name: exit status $actual (expected $status), output:"
    cat "$work/$name.out"
    failed=1
  else
    echo "ok: $name"
  fi
}

build() {
  name=$1
  mkdir -p "$work/$name/bin"
  echo "CMAKE_BUILD_TYPE:STRING=MinSizeRel" > "$work/$name/CMakeCache.txt"
  for program in $programs; do cp "$work/small-prog" "$work/$name/bin/$program"; done
}

build fits
expect fits 0

build runtime
cp "$work/runtime-prog" "$work/runtime/bin/bridged"
expect runtime 1 "bridged: needs the C++ runtime"

build big
cp "$work/big-prog" "$work/big/bin/extcard"
expect big 1 "extcard: .* over its budget of 49152"
# The daemons' larger budget holds it.
build big-daemon
cp "$work/big-prog" "$work/big-daemon/bin/standbyd"
expect big-daemon 0

# Code of the test toolchain's run-time adaptation in a program.
build compat
cp "$work/compat-prog" "$work/compat/bin/occupancy"
expect compat 1 "occupancy: holds the test toolchain's run-time adaptation (__newlocale )"

build missing
rm "$work/missing/bin/keybase"
expect missing 1 "keybase: not built"

exit $failed
