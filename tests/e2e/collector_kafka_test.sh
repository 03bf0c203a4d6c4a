#!/usr/bin/env bash
# The collector into Kafka (three mock brokers on loopback), read back with kcat: every
# message exactly once and in order per client through leader moves and retriable
# produce errors; nothing lost through brokers down at the start and in the middle; the
# JSON equals the --json line; the dnstap messages parse.
source "$(dirname "$0")/lib.sh"
require_commands kcat dnstap-read

coproc CLUSTER { exec "$BIN/kafka-cluster" 2>"$WORK/cluster.err"; }
STARTED_PIDS+=($CLUSTER_PID)
read -r -t 10 BROKERS <&"${CLUSTER[0]}" || fail "no mock cluster: $(cat "$WORK/cluster.err")"
cluster() {  # one command to the mock cluster
  local answer
  echo "$*" >&"${CLUSTER[1]}"
  read -r -t 10 answer <&"${CLUSTER[0]}" && [ "$answer" = ok ] || fail "cluster $*: $answer"
}
# Each mock partition keeps only its last 5 MiB: enough partitions that nothing is trimmed.
cluster topic steady 32
cluster topic outage 32
cluster topic tap 4

# send_chunk FIRST COUNT: queries q<i>.example, numbered in the order they are sent, from
# 200 clients per block of 10,000. A block is one agent connection, and order is kept per
# connection, so no client sends on two.
send_chunk() {
  awk -v first="$1" -v count="$2" 'BEGIN { for (i = first; i < first + count; i++)
    printf "query,q%d.example,A,10.%d.0.%d,10.0.0.1,udp\n", i, int(i / 10000), i % 200 }' |
    timeout 60 "$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" - || fail "collector-send $1 $2"
}
consume() {  # TOPIC FORMAT: the whole topic, end to end
  timeout 60 kcat -C -b "$BROKERS" -t "$1" -o beginning -e -q -f "$2" || fail "kcat $1"
}
stop_kafka() {  # TOPIC SUMMARY: the collector's summary line for its Kafka output must say this
  stop_collector
  grep -qF "topic $1: $2" "$WORK/$1.err" || fail "summary: $(cat "$WORK/$1.err")"
}
wait_appended() {  # TOPIC COUNT: until the 32 partitions' end offsets add up to COUNT
  local i p queries=() sum
  for (( p = 0; p < 32; p++ )); do queries+=(-t "$1:$p:-1"); done
  for (( i = 0; i < 150; i++ )); do
    sum=$(timeout 20 kcat -Q -b "$BROKERS" "${queries[@]}" | awk '{ s += $NF } END { print s + 0 }')
    (( sum >= $2 )) && return 0 || sleep 0.1
  done
  fail "$1: $sum of $2 messages appended"
}
# deliver TOPIC HOOK: streams 100,000 messages in blocks of 10,000, calling HOOK BLOCK
# after each; stops the collector once every message is in the topic (a stop while it is
# held back would end what the socket buffers hold); reads the topic into $WORK/TOPIC.kafka
# ("KEY VALUE" lines) and sets how many messages have a client address or key not the one
# sent (bad), are missing (lost), came out of order for their key (order) or twice (dup).
deliver() {
  local block
  for block in 0 1 2 3 4 5 6 7 8 9; do
    send_chunk $(( block * 10000 )) 10000
    "$2" "$block"
  done
  wait_appended "$1" 100000
  stop_kafka "$1" "100000 delivered, 0 not delivered"
  consume "$1" '%k %s\n' >"$WORK/$1.kafka"
  read -r bad lost order dup < <(awk '
    { match($0, /"device":"[^"]*"/); device = substr($0, RSTART + 10, RLENGTH - 11)
      match($0, /"qname":"q[0-9]+/); q = substr($0, RSTART + 10, RLENGTH - 10) + 0 }
    $1 != device || device != "10." int(q / 10000) ".0." q % 200 { bad++ }
    { n[q]++; if (($1 in last) && q <= last[$1]) order++; last[$1] = q }
    END { for (i = 0; i < 100000; i++) { if (!(i in n)) lost++; else if (n[i] > 1) dup += n[i] - 1 }
          printf "%d %d %d %d\n", bad, lost, order, dup }' "$WORK/$1.kafka")
}

# Leaders move and produce requests fail retriably while messages stream: exactly once.
# Leaders move once a block is appended, and the producer learns of it from a metadata
# refresh: librdkafka 2.0's mock brokers acknowledge, now and then, a batch sent to a
# partition's former leader without appending it anywhere.
move_leaders() {
  wait_appended steady $(( $1 * 10000 + 10000 ))
  for partition in 0 7 13 21 30; do cluster leader steady "$partition" $(( ($1 + partition) % 3 + 1 )); done
  cluster produce-errors 5
  sleep 0.5
}
start_collector steady --listen 127.0.0.1:0 --kafka "$BROKERS" --kafka-topic steady \
  --kafka-option topic.metadata.refresh.interval.ms=100 --json "$WORK/steady.json"
deliver steady move_leaders
expect_equal "steady: wrong addresses, lost, out of order, twice" "0 0 0 0" "$bad $lost $order $dup"
diff <(cut -d' ' -f2- "$WORK/steady.kafka" | sort) <(sort "$WORK/steady.json") >/dev/null ||
  fail "JSON from Kafka differs from the --json lines"

# Every broker down at the start (the collector warns and waits), then one broker down
# and up in the middle: nothing lost. The mock brokers keep no producer state, so a
# batch appended before a broker went away may come twice: reported.
switch_brokers() {
  case $1 in 1) cluster up -1 ;; 4) cluster down 2 ;; 7) cluster up 2 ;; esac
}
cluster down -1
start_collector outage --listen 127.0.0.1:0 --kafka "$BROKERS" --kafka-topic outage
wait_for_text "$WORK/outage.err" "no broker reachable yet" 10 || fail "no warning: $(cat "$WORK/outage.err")"
deliver outage switch_brokers
expect_equal "outage: wrong addresses, lost" "0 0" "$bad $lost"
echo "note: broker outage: $dup duplicates, $order out of order (the mock brokers do not deduplicate)"

# No broker up until the stop: the agent's messages wait unread; at the stop the flush
# limit ends the wait, what was not delivered is counted and reported on one line per
# reason, and the exit status says so.
cluster down -1
start_collector gone --listen 127.0.0.1:0 --kafka "$BROKERS" --kafka-topic gone --kafka-flush-seconds 1
send_chunk 0 1000
stopped_at=$SECONDS
kill -TERM "$COLLECTOR_PID"
wait "$COLLECTOR_PID" && fail "exit status 0 with messages not delivered"
(( SECONDS - stopped_at <= 10 )) || fail "the stop took $(( SECONDS - stopped_at )) s with a 1 s flush limit"
grep -qF "topic gone: 0 delivered, 1000 not delivered" "$WORK/gone.err" || fail "summary: $(cat "$WORK/gone.err")"
(( $(grep -c "not delivered: flush time limit reached" "$WORK/gone.err") <= 2 )) ||
  fail "failure lines not limited: $(cat "$WORK/gone.err")"
cluster up -1

# dnstap: each Kafka message is one Dnstap protobuf; framed as a Frame Streams file, it
# must read back with dnstap-read.
start_collector tap --listen 127.0.0.1:0 --kafka "$BROKERS" --kafka-topic tap --kafka-format dnstap
send_chunk 0 3
stop_kafka tap "3 delivered, 0 not delivered"
{
  printf '\0\0\0\0\0\0\0\x22\0\0\0\x02\0\0\0\x01\0\0\0\x16protobuf:dnstap.Dnstap'
  consume tap '%R%s'
  printf '\0\0\0\0\0\0\0\x04\0\0\0\x03'
} >"$WORK/tap.dnstap"
expect_equal "dnstap from Kafka" "$(printf 'CQ q%s.example/IN/A\n' 0 1 2)" \
  "$(timeout 30 dnstap-read "$WORK/tap.dnstap" | awk '{ print $3, $NF }' | sort)"
echo "collector kafka: all checks passed"
