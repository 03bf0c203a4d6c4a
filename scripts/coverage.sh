#!/usr/bin/env bash
# Line and branch coverage of src/ and tools/ under the Linux tests (unit, e2e and the
# fuzz seed replays): builds the `coverage` preset, runs its tests, prints gcovr's summary.
#
#   scripts/coverage.sh            build, test, report
#   scripts/coverage.sh --html     also write build/coverage/coverage.html
set -u
cd "$(dirname "$0")/.."

command -v gcovr >/dev/null || { echo "gcovr is missing: scripts/test.sh installs it" >&2; exit 1; }

build=build/coverage
mkdir -p build
launcher=()
command -v ccache >/dev/null &&
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake --preset coverage "${launcher[@]}" >"$build.log" 2>&1 &&
  cmake --build --preset coverage >>"$build.log" 2>&1 ||
  { tail -n 60 "$build.log"; echo "FAILED: coverage build" >&2; exit 1; }

# Counters add up across runs: start from zero so the figures are this run's alone, and
# drop the notes of objects the build no longer makes (removed sources).
ninja -C "$build" -t cleandead >/dev/null
while IFS= read -r notes; do
  [ -e "${notes%.gcno}.o" ] || rm -f "$notes"
done < <(find "$build" -name '*.gcno')
find "$build" -name '*.gcda' -delete
ctest --preset coverage
status=$?

# The build folder is the only place searched: the windows preset's wine prefix links
# to the whole file system.
args=(--root . --object-directory "$build" --filter 'src/' --filter 'tools/'
  --exclude-unreachable-branches --exclude-throw-branches --print-summary)
[ "${1:-}" = --html ] && args+=(--html-details "$build/coverage.html")
gcovr "${args[@]}" --output "$build/coverage.txt" "$build" 2>&1 | grep -E '^(lines|branches):' ||
  { echo "FAILED: gcovr" >&2; exit 1; }
[ $status -eq 0 ] || echo "note: some tests failed (ctest status $status); the figures cover what ran" >&2
exit $status
