#!/usr/bin/env bash
# The collector is away while far more than queue-size bytes of messages are captured:
# the ring keeps the newest, and when the collector appears it receives them intact and
# in order. The agent's statistics account for every message: what the collector
# received (its JSON lines and its metrics) is what the agent sent, and every other
# message was reported lost.
source "$(dirname "$0")/lib.sh"
make_replay_pcap "$WORK/replay.pcap" 400
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
start_agent "$WORK/agent.conf"
wait_for_text "$AGENT_LOG" "Packet capture finished" 15 || fail "replay did not finish: $(cat "$AGENT_LOG")"
wait_for_text "$AGENT_LOG" "ERROR - Connect to 127.0.0.1:$port failed" 10 || fail "no failed connect"

# The collector appears on the target's port; the agent finds it after its pause.
"$BIN/collector" --listen "127.0.0.1:$port" --json "$WORK/messages.json" --metrics 127.0.0.1:0 \
  2>"$WORK/collector.err" &
COLLECTOR_PID=$!
STARTED_PIDS+=($COLLECTOR_PID)
wait_for_text "$WORK/collector.err" "hello, agent version 3.7.3" 20 || fail "agent did not reconnect"
sleep 1
stop_process "$AGENT_PID"
metrics=$(sed -n 's/^metrics on //p' "$WORK/collector.err")
metered=$(curl -sf --max-time 5 "$metrics" |
  awk '$1 == "tevrin_collector_messages_total{agent=\"127.0.0.1\"}" { printf "%d", $2 }')
stop_process "$COLLECTOR_PID"

mapfile -t numbers < <(jq -r '.dns.qname' "$WORK/messages.json" | sed -n 's/^q\([0-9]*\)\.test\.example\.$/\1/p')
received=${#numbers[@]}
[ "$received" -eq "$(grep -c . "$WORK/messages.json")" ] || fail "unexpected messages: $(cat "$WORK/messages.json")"
# Each record is 4 + about 60 bytes: a 4096-byte ring holds a few dozen of the newest.
[ "$received" -ge 30 ] && [ "$received" -le 80 ] || fail "received $received messages from a 4096-byte ring"
[ "${numbers[$((received - 1))]}" -eq 400 ] || fail "the newest message is missing: ${numbers[*]}"
for (( i = 1; i < received; i++ )); do
  [ "${numbers[$i]}" -eq $(( numbers[i - 1] + 1 )) ] || fail "not the newest run in order: ${numbers[*]}"
done
grep -q " 0 malformed, 0 truncated" "$WORK/collector.err" || fail "damaged records: $(tail -n 1 "$WORK/collector.err")"
jq -e 'select(.dns.parse_error != null)' "$WORK/messages.json" >/dev/null && fail "a DNS packet was damaged"

final=$(agent_log_messages | grep '^Statistics: ' | tail -n 1)
count() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<<" ${final#Statistics: }"; }
captured=$(count captured) queued=$(count queued) refused=$(count refused) sent=$(count sent)
overwritten=$(count overwritten) in_queue=$(count in_queue)
[ "$captured" = 400 ] && [ "$(count skipped)" = 0 ] || fail "not every packet captured: $final"
[ "$captured" -eq $(( queued + refused )) ] || fail "captured is not queued + refused: $final"
[ "$received" -eq "$sent" ] || fail "the collector wrote $received, the agent sent: $final"
[ "${metered:-none}" = "$sent" ] || fail "the collector's metrics counted ${metered:-none}, the agent sent: $final"
[ $(( captured - sent )) -eq $(( overwritten + in_queue )) ] || fail "books do not balance: $final"
[ "$(count connects)" = 1 ] && [ "$(count connect_failures)" -ge 1 ] || fail "connections: $final"
announced=$(agent_log_messages | sed -n 's/^ERROR - Lost \([0-9]*\) DNS packet messages since the last report: .*/\1/p' |
  awk '{ sum += $1 } END { print sum + 0 }')
[ "$announced" -eq $(( captured - sent )) ] || fail "lost lines announced $announced of $(( captured - sent )) lost"
echo "agent overflow: a 4096-byte ring kept the newest $received of 400 messages, all intact; $(( captured - sent )) lost, all reported"
