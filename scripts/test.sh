#!/usr/bin/env bash
# The project's test command: installs what it needs, builds every preset and runs
# every test. Exits non-zero if anything failed.
#
#   scripts/test.sh            all presets
#   scripts/test.sh linux      only the named presets
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev libpcap-dev tcpdump tshark
  dnsutils bind9-dnsutils unbound libldns-dev libfstrm-dev libprotobuf-c-dev
  protobuf-c-compiler fstrm-bin jq iproute2 procps psmisc dnsperf prometheus prometheus-cpp-dev
  curl util-linux librdkafka-dev kcat gcovr ccache)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
}

if ! install_missing; then
  echo "FAILED: could not install the packages the tests need" >&2
  exit 1
fi

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(linux linux-asan linux-tsan windows fuzz)

# Rebuilds after a change, or of the same sources in another checkout, come from the
# compiler cache.
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

failed=()
mkdir -p build
for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  start=$(date +%s)
  if ! cmake --preset "$preset" -DTEVRIN_WERROR=ON "${launcher[@]}" >"build/$preset.log" 2>&1 ||
    ! cmake --build --preset "$preset" >>"build/$preset.log" 2>&1; then
    tail -n 60 "build/$preset.log"
    failed+=("$preset (build)")
    continue
  fi
  echo "== $preset: test"
  if ! ctest --preset "$preset"; then
    failed+=("$preset (tests)")
  fi
  echo "== $preset: $(( $(date +%s) - start )) s"
done


if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all presets passed: ${presets[*]}"
