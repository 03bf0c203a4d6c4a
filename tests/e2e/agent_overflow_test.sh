#!/usr/bin/env bash
# The collector is away while far more than queue-size bytes of messages are captured: it
# then receives the newest intact, in order; every message is sent or reported lost.
source "$(dirname "$0")/../common.sh"

# The capture file to replay, written by the collector: 400 queries, q1 ... q400.test.example.
start_collector make-pcap --listen 127.0.0.1:0 --pcap "$WORK/replay.pcap"
seq -f 'query,q%g.test.example,A,10.0.0.5,10.0.0.1,udp' 400 |
  "$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" - || fail "collector-send failed"
stop_collector

port=$(unused_port) || fail "no free port"
install_agent agent
printf '%s\n' "target 127.0.0.1:$port 2" "capture-file $WORK/replay.pcap" "dns-port 53" "queue-size 4096" \
  "statistics-interval 1" "logging on" >"$WORK/agent.conf"
start_agent "$WORK/agent.conf" "Packet capture finished"
wait_for_text "$AGENT_LOG" "ERROR - Connect to 127.0.0.1:$port failed" 10 || fail "no failed connect"

# The collector appears on the target's port; the agent finds it after its pause.
start_collector collector --listen "127.0.0.1:$port" --json "$WORK/messages.json"
wait_for_text "$WORK/collector.err" "hello, agent version 3.7.3" 20 || fail "agent did not reconnect"
sleep 1
end_cleanly INT "$AGENT_PID" agent
stop_collector

received=$(grep -c . "$WORK/messages.json")
# Each record is 4 + about 60 bytes: a 4096-byte ring holds a few dozen of the newest.
(( received >= 30 && received <= 80 )) || fail "received $received messages from a 4096-byte ring"
expect_equal "the newest messages in order, at their capture time, undamaged" \
  "$(seq -f 'q%g.test.example. 2023-11-14T22:13:20Z null' $(( 401 - received )) 400)" \
  "$(jq -r '"\(.dns.qname) \(.time) \(.dns.parse_error)"' "$WORK/messages.json")"
grep -q " 0 malformed, 0 truncated" "$WORK/collector.err" || fail "damaged records: $(tail -n 1 "$WORK/collector.err")"

final=$(agent_log_messages | grep '^Statistics: ' | tail -n 1)
count() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<<" ${final#Statistics: }"; }
captured=$(count captured) sent=$(count sent)
lost=$(agent_log_messages | sed -n 's/^ERROR - Lost \([0-9]*\) DNS packet messages since the last report: .*/\1/p' |
  awk '{ sum += $1 } END { print sum + 0 }')
# Captured is queued or refused; what was not sent was overwritten or is still queued,
# and was announced lost.
expect_equal "statistics: $final" \
  "captured=400 skipped=0 unbalanced=0 sent=$received connects=1 unaccounted=0 unreported=0" \
  "captured=$captured skipped=$(count skipped) unbalanced=$(( captured - $(count queued) - $(count refused) )) \
sent=$sent connects=$(count connects) \
unaccounted=$(( captured - sent - $(count overwritten) - $(count in_queue) )) \
unreported=$(( captured - sent - lost ))"
(( $(count connect_failures) >= 1 )) || fail "no connect failure counted: $final"
echo "agent overflow: a 4096-byte ring kept the newest $received of 400 messages, all intact; $(( captured - sent )) lost, all reported"
