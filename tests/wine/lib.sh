# Shared helpers of the tests that run the Windows agent under wine: sourced by each
# tests/wine/*_test.sh, run as `bash SCRIPT BIN_DIR` (the Windows build's bin folder).
# They use a wine prefix of their own under the build folder and one persistent
# wineserver for the test's duration, shut down at the end (that prefix only).
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

BIN=$(cd "${1:?usage: $0 BIN_DIR}" && pwd)
BUILD=$(dirname "$BIN")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tevrin-wine.XXXXXX")
STARTED_PIDS=()
export WINEPREFIX=$BUILD/wine-agent
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine64 || command -v wine)

cleanup() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT




start_wineserver() {
  [ -n "$WINE" ] || skip "wine is not installed"
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
  fi
}

# The Linux collector of the same source tree, built by the linux preset.
find_collector() {
  COLLECTOR=${TEVRIN_COLLECTOR:-$BUILD/../linux/bin/collector}
  [ -x "$COLLECTOR" ] || skip "no Linux collector at $COLLECTOR (build the linux preset first)"
}

start_collector() {
  "$COLLECTOR" --listen 127.0.0.1:0 --json "$WORK/messages.json" 2>"$WORK/collector.err" &
  COLLECTOR_PID=$!
  STARTED_PIDS+=($COLLECTOR_PID)
  wait_for_text "$WORK/collector.err" "listening on" 10 || fail "collector did not start"
  COLLECTOR_PORT=$(sed -n 's/.*listening on .*:\([0-9][0-9]*\).*/\1/p' "$WORK/collector.err" | head -n 1)
}

# install_agent: agent.exe in a folder of its own with log\ beside it; AGENT_DIR_WIN is
# that folder as Windows sees it.
install_agent() {
  mkdir -p "$WORK/agent/log"
  cp "$BIN/agent.exe" "$WORK/agent/agent.exe"
  AGENT_LOG=$WORK/agent/log/dns-logger.log
  AGENT_DIR_WIN=$(winepath -w "$WORK/agent" 2>/dev/null)
  [ -n "$AGENT_DIR_WIN" ] || fail "winepath failed"
}

write_config() {
  printf 'target 127.0.0.1:%s 2\nqueue-size 1048576\nlogging on\n' "$COLLECTOR_PORT" \
    >"$WORK/agent/agent.conf"
  CONFIG_WIN="$AGENT_DIR_WIN\\agent.conf"
}

# The messages of the agent's log without prefix and without the CR of CR LF.
agent_log_messages() {
  sed 's/^[^]]*\]: //; s/\r$//' "$AGENT_LOG"
}

# Every line must end with CR LF: the C runtime's text mode on Windows.
check_crlf() {
  local total crlf
  total=$(grep -c '' "$AGENT_LOG")
  crlf=$(grep -c $'\r$' "$AGENT_LOG")
  [ "$total" -gt 0 ] && [ "$total" -eq "$crlf" ] || fail "log lines without CR LF ($crlf of $total)"
}
