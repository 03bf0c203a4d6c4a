# The end-to-end tests' own helpers, beside those of tests/common.sh.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
require_commands() {
  local tool
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"; done
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
# answering the zone test.example. from local data; sets UNBOUND_PID.
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
  access-control: 127.0.0.0/8 allow
  access-control: ::1 allow
  use-syslog: no
  logfile: ""
  local-zone: "test.example." static
  local-data: "www.test.example. 300 IN A 192.0.2.10"
  local-data: "mail.test.example. 300 IN A 192.0.2.25"
  local-data: "test.example. 300 IN MX 10 mail.test.example."
  local-data: "txt.test.example. 300 IN TXT \"tevrin end-to-end\""
CONF
  unbound -d -c "$conf" >"$WORK/unbound.log" 2>&1 &
  UNBOUND_PID=$!
  STARTED_PIDS+=($UNBOUND_PID)
  for (( i = 0; i < 100; i++ )); do
    dig +short +time=1 +tries=1 -p "$port" @127.0.0.1 www.test.example A 2>/dev/null |
      grep -q 192.0.2.10 && return 0
    sleep 0.1
  done
  fail "unbound did not answer on port $port: $(cat "$WORK/unbound.log")"
}

# stop_process PID: SIGTERM, then wait for it (bounded), SIGKILL if it hangs.
stop_process() {
  kill -TERM "$1" 2>/dev/null
  timeout 10 tail --pid="$1" -f /dev/null
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# install_agent: a copy of the agent in a folder of its own with a log folder beside it,
# so each test has its own log. Sets AGENT and AGENT_LOG.
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
