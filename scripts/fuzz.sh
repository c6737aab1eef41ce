#!/bin/sh
# Builds the libFuzzer targets (clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each one for a
# bounded time, starting from its seed corpus (the fuzz-corpus/ folder
# beside it).  Fails when a target finds a crash, leak, time-out or
# sanitizer report (the other targets still run);
# the input that caused it is kept in build-fuzz/findings/.
#
#   ./scripts/fuzz.sh                   every target, 10 s each (the test command)
#   ./scripts/fuzz.sh --seconds 600     a longer run
#   ./scripts/fuzz.sh NAME...           only these targets (e.g. link_transaction_fuzz)
#
# Inputs a run adds to the corpus stay in build-fuzz/corpus/NAME/; the
# seed folders in the repository are only read.
set -eu
. "$(dirname "$0")/setup.sh"

seconds=10
targets=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --seconds=*) seconds="${1#--seconds=}"; shift ;;
    -*) echo "usage: $0 [--seconds N] [TARGET...]" >&2; exit 2 ;;
    *) targets="$targets $1"; shift ;;
  esac
done

tq8_install_packages $TQ8_FUZZ_PACKAGES

echo "== build the fuzz targets (clang++)"
CC=clang CXX=clang++ cmake -S "$TQ8_SOURCE" -B "$TQ8_SOURCE/build-fuzz" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTQ8_FUZZ=ON -DTQ8_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$TQ8_SOURCE/build-fuzz" --target fuzz_targets

bin="$TQ8_SOURCE/build-fuzz/fuzz"
findings="$TQ8_SOURCE/build-fuzz/findings"
mkdir -p "$findings"
[ -n "$targets" ] || targets=$(cd "$bin" && ls)

# The discovery target binds a UDP port on every address: the targets run
# in a network namespace of their own where this machine allows one.
isolate=""
if unshare -rn true 2>/dev/null; then
  isolate="unshare -rn"
fi

failed=""
for target in $targets; do
  seeds=$(cat "$TQ8_SOURCE/build-fuzz/fuzz-seeds/$target")
  corpus="$TQ8_SOURCE/build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: ${seconds} s from $(echo "$seeds" | sed "s|^$TQ8_SOURCE/||")"
  # -timeout: an input that takes more than 10 s counts as a hang;
  # -rss_limit_mb: one that needs more than 2 GB as a memory fault.
  if ! (cd "$findings" && $isolate "$bin/$target" -max_total_time="$seconds" -timeout=10 \
          -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
          "$corpus" "$seeds" >"$findings/$target.log" 2>&1); then
    tail -n 60 "$findings/$target.log"
    echo "== $target FAILED (log: $findings/$target.log)"
    failed="$failed $target"
    continue
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$findings/$target.log" | tr '\n' ' '
  echo
done

if [ -n "$failed" ]; then
  echo "== fuzzing found faults in:$failed"
  exit 1
fi
echo "== every fuzz target ran clean"
