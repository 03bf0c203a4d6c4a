#!/usr/bin/env bash
# Three targets, the first not an IPv4 address, the second refusing: every pass tries
# both, then connects to the third, which receives the hello and every message.
source "$(dirname "$0")/lib.sh"
make_replay_pcap "$WORK/replay.pcap" 20
start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json"
refused=$(unused_port) || fail "no free port"

install_agent
cat >"$WORK/agent.conf" <<CONF
target 999.1.1.1
target 127.0.0.1:$refused 2
target 127.0.0.1:$COLLECTOR_PORT 2
capture-file $WORK/replay.pcap
dns-port 53
logging on
CONF
start_agent "$WORK/agent.conf"
wait_for_count "$WORK/messages.json" '"qname"' 20 15 || fail "collector got $(grep -c . "$WORK/messages.json") messages"
stop_process "$AGENT_PID"
stop_process "$COLLECTOR_PID"

grep -q "hello, agent version 3.7.3" "$WORK/collector.err" || fail "no hello: $(cat "$WORK/collector.err")"
names=$(jq -r .dns.qname "$WORK/messages.json" | tr '\n' ' ')
expected=$(for i in $(seq 1 20); do printf 'q%s.test.example. ' "$i"; done)
[ "$names" = "$expected" ] || fail "messages out of order or missing: $names"

connection_lines=$(agent_log_messages | grep -E '^(ERROR - )?Connect' | head -n 5)
expected_lines="Connecting to 999.1.1.1:8100
ERROR - Connect to 999.1.1.1:8100 failed: not a dotted IPv4 address
Connecting to 127.0.0.1:$refused
ERROR - Connect to 127.0.0.1:$refused failed: connect(127.0.0.1) failed: Connection refused
Connecting to 127.0.0.1:$COLLECTOR_PORT"
[ "$connection_lines" = "$expected_lines" ] || fail "connection lines:
$connection_lines"
agent_log_messages | grep -qx "Connected to 127.0.0.1:$COLLECTOR_PORT" || fail "no Connected line"
echo "agent failover: invalid and refused targets, the third received hello and all 20 messages in order"
