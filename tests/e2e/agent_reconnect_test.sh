#!/usr/bin/env bash
# The collector is stopped and started again while DNS traffic goes on: the agent
# reconnects within its pause, sends the hello first, and the messages captured while the
# collector was away arrive whole on the new connection.
source "$(dirname "$0")/lib.sh"
require_root "the live capture test"
require_command unbound
require_command dig
require_command jq

dns_port=$(unused_port) || fail "no free port"
port=$(unused_port) || fail "no free port"
start_unbound "$dns_port"
"$BIN/collector" --listen "127.0.0.1:$port" --json "$WORK/first.json" 2>"$WORK/first.err" &
first=$!
STARTED_PIDS+=($first)
wait_for_text "$WORK/first.err" "listening on" 10 || fail "collector did not start"

install_agent
cat >"$WORK/agent.conf" <<CONF
target 127.0.0.1:$port 2
capture-interface lo
dns-port $dns_port
logging on
CONF
start_agent "$WORK/agent.conf"
wait_for_text "$AGENT_LOG" "Entering packet capture loop..." 10 || fail "no capture: $(cat "$AGENT_LOG")"
wait_for_text "$WORK/first.err" "hello, agent version 3.7.3" 10 || fail "no first connection"

ask() { dig +time=2 +tries=1 -p "$dns_port" @127.0.0.1 "$@" >/dev/null || fail "dig $*"; }
ask www.test.example A
wait_for_count "$WORK/first.json" '"qname"' 2 10 || fail "first collector got: $(cat "$WORK/first.json")"
stop_process "$first"

# Traffic while no collector listens.
ask mail.test.example A
ask test.example MX
ask txt.test.example TXT
sleep 1

"$BIN/collector" --listen "127.0.0.1:$port" --json "$WORK/second.json" 2>"$WORK/second.err" &
second=$!
STARTED_PIDS+=($second)
wait_for_text "$WORK/second.err" "hello, agent version 3.7.3" 20 || fail "the agent did not reconnect: $(cat "$AGENT_LOG")"
wait_for_count "$WORK/second.json" '"qname"' 6 10 || fail "second collector got: $(cat "$WORK/second.json")"
sleep 1
stop_process "$AGENT_PID"
stop_process "$second"

first_names=$(jq -r .dns.qname "$WORK/first.json" | sort | tr '\n' ' ')
second_names=$(jq -r .dns.qname "$WORK/second.json" | sort | tr '\n' ' ')
[ "$first_names" = "www.test.example. www.test.example. " ] || fail "first collector: $first_names"
[ "$second_names" = "mail.test.example. mail.test.example. test.example. test.example. txt.test.example. txt.test.example. " ] ||
  fail "second collector: $second_names"
grep -q " 0 malformed, 0 truncated" "$WORK/second.err" || fail "damaged records: $(tail -n 1 "$WORK/second.err")"
agent_log_messages | grep -q "^ERROR - Send data to 127.0.0.1:$port failed: " || fail "the failure was not logged"
echo "agent reconnect: collector restarted, agent reconnected with hello, nothing captured meanwhile was lost"
