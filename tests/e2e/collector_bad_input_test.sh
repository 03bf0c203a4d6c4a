#!/usr/bin/env bash
# Bad input never stops the collector: each bad connection gets one line naming the peer
# and the reason and is closed, and every other connection carries on; the metrics count it.
source "$(dirname "$0")/../common.sh"
require_commands curl promtool

start_collector main --listen 127.0.0.1:0 --max-record 1000 --json "$WORK/out.json" \
  --allow 127.0.0.1/32 --metrics 127.0.0.1:0
to=127.0.0.1:$COLLECTOR_PORT
metrics=$(sed -n 's/^metrics on //p' "$WORK/main.err")
[[ "$metrics" =~ ^http://127\.0\.0\.1:[0-9]+/metrics$ ]] || fail "metrics: $(cat "$WORK/main.err")"
good=query,example.com,A,10.0.0.5,10.0.0.1,udp
send() { timeout 20 "$BIN/collector-send" "$@" || fail "collector-send $*"; }
send "$to" "$good"
send --no-hello "$to" "$good"
send "$to" raw,000003e9                       # length 1001 above --max-record
send "$to" "$good" raw,0000002002000000       # partial record at the end
timeout 20 bash -c "printf 'GET / HTTP/1.0\r\n\r\n' >/dev/tcp/127.0.0.1/$COLLECTOR_PORT" || fail "plain text connection"
send "$to" "$good" "$good"
# The last connection's two lines show that the collector carried on.
wait_for_count "$WORK/out.json" '"qname":"example.com."' 4 10 || fail "JSON: $(cat "$WORK/out.json")"
# From 127.0.0.2, outside --allow: closed at once, before a byte is read.
curl -s --max-time 5 --interface 127.0.0.2 "http://$to/" >/dev/null && fail "a peer outside --allow was served"

# The counts as a scrape shows them, once the last connection's end is counted.
wanted='tevrin_collector_bytes_total{agent="127.0.0.1"} N
tevrin_collector_connections 0
tevrin_collector_connections_total 6
tevrin_collector_malformed_total 3
tevrin_collector_messages_total{agent="127.0.0.1"} 4
tevrin_collector_output_dropped_total{output="json"} 0
tevrin_collector_output_errors_total{output="json"} 0
tevrin_collector_rejected_total 1
tevrin_collector_truncated_total 1'
for (( i = 0; i < 50; i++ )); do
  scrape=$(curl -sf --max-time 5 "$metrics")
  counts=$(grep '^tevrin_collector_' <<<"$scrape" | sed 's/^\(tevrin_collector_bytes_total{.*}\) [0-9]*$/\1 N/' | sort)
  [ "$counts" = "$wanted" ] && break
  sleep 0.1
done
expect_equal "metrics" "$wanted" "$counts"
promtool check metrics <<<"$scrape" || fail "promtool: $scrape"

# A second collector on the busy port fails before it touches the first one's file.
timeout 20 "$BIN/collector" --listen "$to" --json "$WORK/out.json" 2>"$WORK/second.err"
expect_equal "second collector: status, standard error" "1 collector: bind($to) failed: Address already in use" \
  "$? $(cat "$WORK/second.err")"
stop_collector
expect_equal "JSON lines" 4 "$(wc -l <"$WORK/out.json")"
# One line per bad connection (besides the hello lines) and the summary, in any order.
lines=$(sed -E '/^collector: (127|[0-9]+ connections)/!d; /: hello, agent /d
  s/^(collector: 127\.0\.0\.)[12]:[0-9]+: /\1X:PORT: /; s/, [0-9]+ bytes,/, N bytes,/' "$WORK/main.err" | sort)
expect_equal "standard error" "$(sort <<LINES
collector: 127.0.0.X:PORT: stream does not begin with a hello (first record type 2); connection closed
collector: 127.0.0.X:PORT: record length 1001 above the limit of 1000 bytes; connection closed
collector: 127.0.0.X:PORT: connection ended inside a record (8 bytes held); record dropped
collector: 127.0.0.X:PORT: stream does not begin with a hello (first record length 1195725856); connection closed
collector: 127.0.0.X:PORT: not in an allowed network; connection closed
collector: 6 connections, 4 messages, N bytes, 3 malformed, 1 truncated
LINES
)" "$lines"
echo "collector bad input: all checks passed"
