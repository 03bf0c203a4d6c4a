#!/usr/bin/env bash
# Builds the benchmarks of the linux preset and runs every one of them.
#
#   scripts/bench.sh                         all benchmarks, default settings
#   scripts/bench.sh --benchmark_filter=Pop  arguments go to every benchmark program
# and then bench/capture_load.sh, the live capture under a dnsperf load.
set -eu
cd "$(dirname "$0")/.."
build=build/linux

cmake --preset linux >/dev/null
# Each bench/<name>_bench.cpp builds the program <name>_bench.
targets=()
for source in bench/*_bench.cpp; do
  [ -e "$source" ] || continue
  targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no benchmarks in bench/" >&2
  exit 1
fi
cmake --build "$build" --target "${targets[@]}" agent collector -j2

status=0
for program in "$build"/bin/*_bench; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$@" || status=1
done
# Live capture under a DNS load: needs root for the capture, dnsperf and unbound.
echo "== capture_load"
if [ "$(id -u)" -eq 0 ]; then
  bench/capture_load.sh "$build/bin" || status=1
else
  echo "capture_load needs root (packet capture): not run" >&2
  status=1
fi
exit $status
