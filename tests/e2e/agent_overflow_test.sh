#!/usr/bin/env bash
# The collector is away while far more than queue-size bytes of messages are captured:
# when it appears it receives the newest intact, in order, with their capture time; the
# agent's statistics account for every message, sent (the collector's count) or reported lost.
source "$(dirname "$0")/lib.sh"

# The capture file to replay: 400 queries for q1.test.example ... q400.test.example
# (device 10.0.0.5, server 10.0.0.1, port 53), written by the collector.
start_collector make-pcap --listen 127.0.0.1:0 --pcap "$WORK/replay.pcap"
mapfile -t items < <(seq -f 'query,q%g.test.example,A,10.0.0.5,10.0.0.1,udp' 400)
"$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" "${items[@]}" || fail "collector-send failed"
stop_collector
grep -q "400 messages" "$WORK/make-pcap.err" || fail "replay file: $(cat "$WORK/make-pcap.err")"

port=$(unused_port) || fail "no free port"
install_agent
cat >"$WORK/agent.conf" <<CONF
target 127.0.0.1:$port 2
capture-file $WORK/replay.pcap
dns-port 53
queue-size 4096
statistics-interval 1
logging on
CONF
start_agent "$WORK/agent.conf" "Packet capture finished"
wait_for_text "$AGENT_LOG" "ERROR - Connect to 127.0.0.1:$port failed" 10 || fail "no failed connect"

# The collector appears on the target's port; the agent finds it after its pause.
start_collector collector --listen "127.0.0.1:$port" --json "$WORK/messages.json" --metrics 127.0.0.1:0
wait_for_text "$WORK/collector.err" "hello, agent version 3.7.3" 20 || fail "agent did not reconnect"
sleep 1
end_cleanly INT "$AGENT_PID" agent
metered=$(curl -sf --max-time 5 "$(sed -n 's/^metrics on //p' "$WORK/collector.err")" |
  awk '$1 == "tevrin_collector_messages_total{agent=\"127.0.0.1\"}" { printf "%d", $2 }')
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
  "captured=400 skipped=0 unbalanced=0 sent=$received metered=$received connects=1 unaccounted=0 unreported=0" \
  "captured=$captured skipped=$(count skipped) unbalanced=$(( captured - $(count queued) - $(count refused) )) \
sent=$sent metered=${metered:-none} connects=$(count connects) \
unaccounted=$(( captured - sent - $(count overwritten) - $(count in_queue) )) \
unreported=$(( captured - sent - lost ))"
(( $(count connect_failures) >= 1 )) || fail "no connect failure counted: $final"
echo "agent overflow: a 4096-byte ring kept the newest $received of 400 messages, all intact; $(( captured - sent )) lost, all reported"
