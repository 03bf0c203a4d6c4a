#!/usr/bin/env bash
# The collector into Kafka (librdkafka's mock brokers, started by the collector on
# loopback), read back with kcat; with no broker, the flush limit and the exit status.
source "$(dirname "$0")/../common.sh"
require_commands kcat dnstap-read

# send_chunk FIRST COUNT: queries q<i>.example, numbered in the order sent, from 200 clients.
send_chunk() {
  awk -v first="$1" -v count="$2" 'BEGIN { for (i = first; i < first + count; i++)
    printf "query,q%d.example,A,10.0.0.%d,10.0.0.1,udp\n", i, i % 200 }' |
    timeout 60 "$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" - || fail "collector-send $1 $2"
}
# kafka_collector TOPIC ARGS...: a collector into TOPIC of three mock brokers of its own;
# sets BROKERS to their addresses, the ones it listens on besides its own port.
kafka_collector() {
  start_collector "$1" --listen 127.0.0.1:0 --kafka 127.0.0.1:9 --kafka-topic "$1" \
    --kafka-option test.mock.num.brokers=3 "${@:2}"
  BROKERS=$(ss -Hltnp | awk -v pid="pid=$COLLECTOR_PID," -v own="127.0.0.1:$COLLECTOR_PORT" '
    index($0, pid) && $4 != own { printf "%s%s", sep, $4; sep = "," }')
  [ -n "$BROKERS" ] || fail "no mock brokers: $(ss -Hltnp)"
}
consume() {  # TOPIC FORMAT COUNT: the topic's first COUNT messages
  timeout 60 kcat -C -b "$BROKERS" -t "$1" -o beginning -c "$3" -q -f "$2" || fail "kcat $1"
}
stop_kafka() {  # TOPIC SUMMARY: the collector's summary line for its Kafka output must say this
  stop_collector
  grep -qF "topic $1: $2" "$WORK/$1.err" || fail "summary: $(cat "$WORK/$1.err")"
}

kafka_collector steady --json "$WORK/steady.json"
send_chunk 0 2000
consume steady '%k %s\n' 2000 >"$WORK/steady.kafka"
stop_kafka steady "2000 delivered, 0 not delivered"
expect_equal "keys not the client's address, messages out of order for their key" "0 0" "$(awk '
  { match($0, /"device":"[^"]*"/); device = substr($0, RSTART + 10, RLENGTH - 11)
    match($0, /"qname":"q[0-9]+/); q = substr($0, RSTART + 10, RLENGTH - 10) + 0 }
  $1 != device || device != "10.0.0." q % 200 { bad++ }
  { if (($1 in last) && q <= last[$1]) order++; last[$1] = q }
  END { printf "%d %d\n", bad, order }' "$WORK/steady.kafka")"
diff <(cut -d' ' -f2- "$WORK/steady.kafka" | sort) <(sort "$WORK/steady.json") >/dev/null ||
  fail "JSON from Kafka differs from the --json lines"

# Each dnstap Kafka message is one Dnstap protobuf: framed as a Frame Streams file, they read.
kafka_collector tap --kafka-format dnstap
send_chunk 0 3
{
  printf '\0\0\0\0\0\0\0\x22\0\0\0\x02\0\0\0\x01\0\0\0\x16protobuf:dnstap.Dnstap'
  consume tap '%R%s' 3
  printf '\0\0\0\0\0\0\0\x04\0\0\0\x03'
} >"$WORK/tap.dnstap"
stop_kafka tap "3 delivered, 0 not delivered"
expect_equal "dnstap from Kafka" "$(printf 'CQ q%s.example/IN/A\n' 0 1 2)" \
  "$(timeout 30 dnstap-read "$WORK/tap.dnstap" | awk '{ print $3, $NF }' | sort)"

# No broker at all: at the stop the flush limit ends the wait; what was not delivered is
# counted and reported on one line per reason, and the exit status says so.
port=$(unused_port) || fail "no free port"
start_collector gone --listen 127.0.0.1:0 --kafka "127.0.0.1:$port" --kafka-topic gone --kafka-flush-seconds 1
wait_for_text "$WORK/gone.err" "no broker reachable yet" 10 || fail "no warning: $(cat "$WORK/gone.err")"
send_chunk 0 1000
stopped_at=$SECONDS
kill -TERM "$COLLECTOR_PID"
wait "$COLLECTOR_PID" && fail "exit status 0 with messages not delivered"
(( SECONDS - stopped_at <= 10 )) || fail "the stop took $(( SECONDS - stopped_at )) s with a 1 s flush limit"
grep -qF "topic gone: 0 delivered, 1000 not delivered" "$WORK/gone.err" || fail "summary: $(cat "$WORK/gone.err")"
(( $(grep -c "not delivered: flush time limit reached" "$WORK/gone.err") <= 2 )) ||
  fail "failure lines not limited: $(cat "$WORK/gone.err")"
echo "collector kafka: all checks passed"
