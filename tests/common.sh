# Helpers of the tests that drive the built programs (tests/e2e, tests/wine), each run as
# `bash SCRIPT BIN_DIR`. Every process a test starts is stopped by process id at its end.
set -u
BIN=$(cd "${1:?usage: $0 BIN_DIR}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tevrin-test.XXXXXX")
STARTED_PIDS=()
cleanup() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Outside CI a test that cannot run here says why and ends as skipped; in CI (CI set)
# that is a failure, so a test that did not run never passes as green.
skip() {
  [[ "${CI:-}" =~ ^(|0|false)$ ]] || fail "skipped in CI: $(basename "$0"): $*"
  echo "SKIPPED: $*"
  exit 77
}
require_commands() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"; done
}

# wait_for_count FILE TEXT N SECONDS: until FILE holds N lines with TEXT (fixed string).
wait_for_count() {
  local file=$1 text=$2 want=$3 limit=$(( $4 * 10 )) i
  for (( i = 0; i < limit; i++ )); do
    [ "$(cat "$file" 2>/dev/null | grep -cF -- "$text")" -ge "$want" ] && return 0
    sleep 0.1
  done
  return 1
}
wait_for_text() { wait_for_count "$1" "$2" 1 "$3"; }  # FILE TEXT SECONDS
expect_equal() {  # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: $(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3"))"
}
unused_port() {  # a port on 127.0.0.1 that the kernel just handed out and took back
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_collector NAME ARGS...: the collector ($COLLECTOR, else BIN_DIR's), its standard
# error in $WORK/NAME.err; sets COLLECTOR_PID and COLLECTOR_PORT.
start_collector() {
  local name=$1
  shift
  "${COLLECTOR:-$BIN/collector}" "$@" 2>"$WORK/$name.err" &
  COLLECTOR_PID=$!
  STARTED_PIDS+=($COLLECTOR_PID)
  wait_for_text "$WORK/$name.err" "listening on" 10 || fail "collector $name did not start: $(cat "$WORK/$name.err")"
  COLLECTOR_PORT=$(sed -n 's/.*listening on .*:\([0-9][0-9]*\).*/\1/p' "$WORK/$name.err" | head -n 1)
  [ -n "$COLLECTOR_PORT" ] || fail "no port in: $(cat "$WORK/$name.err")"
}

# end_cleanly SIGNAL PID WHAT: the signal ends the process (bounded) with status 0.
end_cleanly() {
  kill -"$1" "$2"
  timeout 30 tail --pid="$2" -f /dev/null || fail "SIG$1 did not stop $3"
  wait "$2" || fail "$3: exit status $? after SIG$1"
}
stop_collector() { end_cleanly TERM "$COLLECTOR_PID" collector; }

# start_unbound PORT: the DNS server of tests/e2e/unbound.conf on PORT, once it answers.
start_unbound() {
  sed "s/@PORT@/$1/g" "$(dirname "${BASH_SOURCE[0]}")/e2e/unbound.conf" >"$WORK/unbound.conf"
  unbound -d -c "$WORK/unbound.conf" >"$WORK/unbound.log" 2>&1 &
  STARTED_PIDS+=($!)
  for _ in $(seq 100); do dig +tries=1 -p "$1" @127.0.0.1 test.example >/dev/null && return 0; sleep 0.1; done
  fail "unbound did not answer on port $1: $(cat "$WORK/unbound.log")"
}

# install_agent EXE: the agent in a folder of its own, its log beside; sets AGENT, AGENT_LOG.
install_agent() {
  mkdir -p "$WORK/agent/log"
  cp "$BIN/$1" "$WORK/agent/$1"
  AGENT=$WORK/agent/$1
  AGENT_LOG=$WORK/agent/log/dns-logger.log
}

# start_agent CONFIG [LINE]: the agent in the background, then LINE in its log; sets AGENT_PID.
start_agent() {
  "$AGENT" "$1" >"$WORK/agent.out" 2>&1 &
  AGENT_PID=$!
  STARTED_PIDS+=($AGENT_PID)
  [ $# -lt 2 ] || wait_for_text "$AGENT_LOG" "$2" 10 || fail "no '$2' line: $(cat "$AGENT_LOG" 2>/dev/null)"
}

# The messages of the agent's log, without time, process id and the CR of a CR LF.
agent_log_messages() { sed 's/^[^]]*\]: //; s/\r$//' "$AGENT_LOG"; }
