#!/usr/bin/env bash
# Builds the benchmarks of the linux preset and runs every one of them.
#
#   scripts/bench.sh                         all benchmarks, default settings
#   scripts/bench.sh --benchmark_filter=Pop  arguments go to every benchmark program
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
cmake --build "$build" --target "${targets[@]}" -j2

status=0
for program in "$build"/bin/*_bench; do
  [ -x "$program" ] || continue
  echo "== $(basename "$program")"
  "$program" "$@" || status=1
done
exit $status
