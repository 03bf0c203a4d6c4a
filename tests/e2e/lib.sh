# Shared helpers of the end-to-end tests: sourced by each tests/e2e/*_test.sh, which is
# run as `bash SCRIPT BIN_DIR`. Every process a test starts is stopped by process id when
# the test ends; every wait is bounded.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
BIN=$(cd "${1:?usage: $0 BIN_DIR}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tevrin-e2e.XXXXXX")
STARTED_PIDS=()
cleanup() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "${KEEP_WORK:-0}" = 1 ]; then echo "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
require_commands() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"; done
}
expect_equal() {  # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: $(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3"))"
}

# A TCP and UDP port on 127.0.0.1 that nothing uses now.
unused_port() {
  local port
  for _ in $(seq 1 50); do
    port=$(( 20000 + RANDOM % 40000 ))
    ss -Hltnu 2>/dev/null | awk '{print $5}' | grep -q ":$port\$" || { echo "$port"; return 0; }
  done
  return 1
}

# start_unbound PORT: a real DNS server on 127.0.0.1:PORT and [::1]:PORT (UDP and TCP)
# answering the zone test.example. from local data.
start_unbound() {
  local port=$1 conf=$WORK/unbound.conf i
  cat >"$conf" <<CONF
server:
  do-daemonize: no
  username: ""
  chroot: ""
  pidfile: ""
  directory: "$WORK"
  interface: 127.0.0.1@$port
  interface: ::1@$port
  port: $port
  do-ip6: yes
  access-control: 127.0.0.0/8 allow
  access-control: ::1 allow
  use-syslog: no
  logfile: ""
  verbosity: 0
  num-threads: 1
  local-zone: "test.example." static
  local-data: "www.test.example. 300 IN A 192.0.2.10"
  local-data: "mail.test.example. 300 IN A 192.0.2.25"
  local-data: "test.example. 300 IN MX 10 mail.test.example."
  local-data: "txt.test.example. 300 IN TXT \"tevrin end-to-end\""
CONF
  unbound -d -c "$conf" >"$WORK/unbound.log" 2>&1 &
  STARTED_PIDS+=($!)
  for (( i = 0; i < 100; i++ )); do
    dig +short +time=1 +tries=1 -p "$port" @127.0.0.1 www.test.example A 2>/dev/null |
      grep -q 192.0.2.10 && return 0
    sleep 0.1
  done
  fail "unbound did not answer on port $port: $(cat "$WORK/unbound.log")"
}

# start_collector NAME ARGS...: the collector on the --listen address given, its standard
# error in $WORK/NAME.err; sets COLLECTOR_PID and COLLECTOR_PORT.
start_collector() {
  local name=$1
  shift
  "$BIN/collector" "$@" 2>"$WORK/$name.err" &
  COLLECTOR_PID=$!
  STARTED_PIDS+=($COLLECTOR_PID)
  wait_for_text "$WORK/$name.err" "listening on" 10 || fail "collector $name did not start: $(cat "$WORK/$name.err")"
  COLLECTOR_PORT=$(sed -n 's/.*listening on .*:\([0-9][0-9]*\).*/\1/p' "$WORK/$name.err" | head -n 1)
  [ -n "$COLLECTOR_PORT" ] || fail "no port in: $(cat "$WORK/$name.err")"
}

# stop_collector: SIGTERM; the collector must end with status 0.
stop_collector() {
  kill -TERM "$COLLECTOR_PID"
  timeout 30 tail --pid="$COLLECTOR_PID" -f /dev/null || fail "collector did not stop"
  wait "$COLLECTOR_PID" || fail "collector exit status $? after SIGTERM"
}

# stop_process PID: SIGTERM, then wait for it (bounded), SIGKILL if it hangs.
stop_process() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null
  for (( i = 0; i < 100; i++ )); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

# install_agent: a copy of the agent in a folder of its own, with a log folder beside it,
# so each test has its own log file. Sets AGENT and AGENT_LOG.
install_agent() {
  mkdir -p "$WORK/agent/log"
  cp "$BIN/agent" "$WORK/agent/agent"
  AGENT=$WORK/agent/agent
  AGENT_LOG=$WORK/agent/log/dns-logger.log
}

# start_agent CONFIG [LINE]: the agent in the background, sets AGENT_PID; with LINE,
# waits (bounded) for LINE in its log.
start_agent() {
  "$AGENT" "$1" >"$WORK/agent.out" 2>&1 &
  AGENT_PID=$!
  STARTED_PIDS+=($AGENT_PID)
  [ $# -lt 2 ] || wait_for_text "$AGENT_LOG" "$2" 10 || fail "no '$2' line: $(cat "$AGENT_LOG" 2>/dev/null)"
}

# The messages of the agent's log, without time and process id.
agent_log_messages() { sed 's/^[^]]*\]: //' "$AGENT_LOG"; }

# make_replay_pcap FILE N: a pcap of N DNS queries for q1.test.example ... qN.test.example
# (device 10.0.0.5, server 10.0.0.1, port 53), written by the collector from a crafted
# stream, for the agent to replay with capture-file.
make_replay_pcap() {
  local items=() i
  for (( i = 1; i <= $2; i++ )); do items+=("query,q$i.test.example,A,10.0.0.5,10.0.0.1,udp"); done
  start_collector make-pcap --listen 127.0.0.1:0 --pcap "$1"
  "$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" "${items[@]}" || fail "collector-send failed"
  wait_for_text "$WORK/make-pcap.err" "hello" 10
  sleep 0.5
  stop_process "$COLLECTOR_PID"
  grep -q "$2 messages" "$WORK/make-pcap.err" || fail "replay file: $(cat "$WORK/make-pcap.err")"
}
