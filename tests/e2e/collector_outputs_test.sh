#!/usr/bin/env bash
# The collector writes what an agent sends as JSON lines, pcap and dnstap, and tshark
# and dnstap-read read those files back with the same names, types and addresses.
#   bash collector_outputs_test.sh BIN_DIR
set -u
bin=${1:?usage: collector_outputs_test.sh BIN_DIR}
for tool in tshark dnstap-read jq; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
collector_pid=
capture_pid=
cleanup() {
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_equal() {  # name expected actual
  if [ "$2" != "$3" ]; then
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3")
  fi
}

# Starts the collector with the given arguments on an ephemeral loopback port and sets
# port once it says it listens.
start_collector() {
  "$bin/collector" --listen 127.0.0.1:0 "$@" 2>"$work/stderr" &
  collector_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/stderr")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "collector did not start:"; cat "$work/stderr"; exit 1
}

stop_collector() {
  kill -TERM "$collector_pid"
  timeout 20 tail --pid="$collector_pid" -f /dev/null
  wait "$collector_pid"
  status=$?
  collector_pid=
  [ "$status" -eq 0 ] || fail "collector exit status $status after SIGTERM"
}

time=1700000000
items=(
  "query,example.com,A,10.0.0.5,10.0.0.1,udp"
  "response,example.com,A,10.0.0.5,10.0.0.1,udp"
  "query,www.example.org,AAAA,10.0.0.6,10.0.0.1,tcp"
  "response,www.example.org,AAAA,10.0.0.6,10.0.0.1,tcp"
  "query,mail.example.net,MX,10.0.0.7,2001:db8::53,udp"
)

# --- files
start_collector --json "$work/out.json" --pcap "$work/out.pcap" --dnstap "$work/out.dnstap"
timeout 20 "$bin/collector-send" --time "$time" "127.0.0.1:$port" "${items[@]}" ||
  fail "collector-send"
# JSON lines are flushed per read batch, so they can be read while the collector runs.
for _ in $(seq 100); do
  [ "$(wc -l <"$work/out.json")" -ge 5 ] && break
  sleep 0.1
done
expect_equal "JSON lines while running" 5 "$(wc -l <"$work/out.json")"
stop_collector
expect_equal "summary line" \
  "collector: 1 connections, 5 messages, $(( 10 + $(jq -s 'map(.size + 4 + 8 + (.device|length) + (.server|length)) | add' "$work/out.json") )) bytes, 0 malformed, 0 truncated" \
  "$(tail -n 1 "$work/stderr")"

jq -e . "$work/out.json" >/dev/null || fail "JSON lines do not parse"
expect_equal "JSON fields" \
"example.com. A IN 10.0.0.5 10.0.0.1 false [\"rd\"] 2023-11-14T22:13:20Z 3.7.3
example.com. A IN 10.0.0.5 10.0.0.1 false [\"qr\",\"rd\",\"ra\"] 2023-11-14T22:13:20Z 3.7.3
www.example.org. AAAA IN 10.0.0.6 10.0.0.1 true [\"rd\"] 2023-11-14T22:13:20Z 3.7.3
www.example.org. AAAA IN 10.0.0.6 10.0.0.1 true [\"qr\",\"rd\",\"ra\"] 2023-11-14T22:13:20Z 3.7.3
mail.example.net. MX IN 10.0.0.7 2001:db8::53 false [\"rd\"] 2023-11-14T22:13:20Z 3.7.3" \
  "$(jq -r '[.dns.qname, .dns.qtype, .dns.qclass, .device, .server, .tcp, (.dns.flags|tojson), .time, .version] | join(" ")' "$work/out.json")"
# The base64 packet decodes to exactly "size" bytes.
expect_equal "packet sizes" "$(jq -r .size "$work/out.json")" \
  "$(jq -r .packet "$work/out.json" | while read -r b; do printf '%s' "$b" | base64 -d | wc -c; done)"
grep -q '"agent":"127\.0\.0\.1:[0-9]*"' "$work/out.json" || fail "agent address missing"

expect_equal "tshark fields" \
"example.com	1	10.0.0.5	10.0.0.1			53	
example.com	1	10.0.0.1	10.0.0.5			53812	
www.example.org	28	10.0.0.6	10.0.0.1				53
www.example.org	28	10.0.0.1	10.0.0.6				53812
mail.example.net	15			::ffff:10.0.0.7	2001:db8::53	53	" \
  "$(timeout 60 tshark -r "$work/out.pcap" -T fields -e dns.qry.name -e dns.qry.type \
       -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst -e udp.dstport -e tcp.dstport 2>/dev/null)"
expect_equal "tshark answers" "192.0.2.1 2001:db8::1" \
  "$(timeout 60 tshark -r "$work/out.pcap" -Y 'dns.flags.response == 1' -T fields -e dns.a -e dns.aaaa 2>/dev/null | tr -s '\t\n' '  ' | sed 's/^ *//; s/ *$//')"
expect_equal "pcap times" "$(printf '%s\n' $time $time $time $time $time)" \
  "$(timeout 60 tshark -r "$work/out.pcap" -T fields -e frame.time_epoch 2>/dev/null | cut -d. -f1)"
# Status 1 is "Good": IPv4 header, then UDP or TCP checksum.
expect_equal "checksums" \
"1	1	
1	1	
1		1
1		1
	1	" \
  "$(timeout 60 tshark -r "$work/out.pcap" -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE \
       -o tcp.check_checksum:TRUE -T fields -e ip.checksum.status -e udp.checksum.status \
       -e tcp.checksum.status 2>/dev/null)"
expect_equal "tshark warnings" "" \
  "$(timeout 60 tshark -r "$work/out.pcap" -Y '_ws.expert.severity >= warning' 2>/dev/null)"

timeout 60 dnstap-read -y "$work/out.dnstap" >"$work/dnstap.yaml" || fail "dnstap-read failed"
expect_equal "dnstap types" "CLIENT_QUERY CLIENT_RESPONSE CLIENT_QUERY CLIENT_RESPONSE CLIENT_QUERY" \
  "$(sed -n 's/^  type: //p' "$work/dnstap.yaml" | tr '\n' ' ' | sed 's/ $//')"
expect_equal "dnstap questions" \
"- 'example.com. IN A'
- 'example.com. IN A'
- 'www.example.org. IN AAAA'
- 'www.example.org. IN AAAA'
- 'mail.example.net. IN MX'" \
  "$(awk '/QUESTION_SECTION:/ { getline; sub(/^ +/, ""); print }' "$work/dnstap.yaml")"
expect_equal "dnstap addresses" \
'10.0.0.5 10.0.0.1 UDP INET
10.0.0.5 10.0.0.1 UDP INET
10.0.0.6 10.0.0.1 TCP INET
10.0.0.6 10.0.0.1 TCP INET
10.0.0.7 2001:db8::53 UDP INET6' \
  "$(awk '/^  query_address:/ { q = $2 } /^  response_address:/ { r = $2 } /^  socket_protocol:/ { p = $2 } /^  socket_family:/ { f = $2 }
          /^  response_port:/ { gsub(/"/, "", q); gsub(/"/, "", r); print q, r, p, f }' "$work/dnstap.yaml")"
expect_equal "dnstap identity and version" 5 \
  "$(grep -c -E '^identity: 127\.0\.0\.1:[0-9]+$' "$work/dnstap.yaml")"
[ "$(grep -c '^version: 3.7.3$' "$work/dnstap.yaml")" -eq 5 ] || fail "dnstap version"

# --- dnstap streamed to a receiver, on a Unix socket and over TCP
# Runs fstrm_capture with the given listening arguments, a collector streaming to it
# with the given option, and checks the frames the receiver wrote.
check_stream() {  # name ready-test receiver-args... -- collector-args...
  local name=$1 ready=$2
  shift 2
  local receiver_args=()
  while [ "$1" != "--" ]; do receiver_args+=("$1"); shift; done
  shift
  rm -f "$work/captured.dnstap" "$work/streamed.json"
  fstrm_capture -t protobuf:dnstap.Dnstap "${receiver_args[@]}" -w "$work/captured.dnstap" \
    >"$work/capture.log" 2>&1 &
  capture_pid=$!
  for _ in $(seq 100); do eval "$ready" && break; sleep 0.1; done
  start_collector "$@" --json "$work/streamed.json"
  timeout 20 "$bin/collector-send" --time "$time" "127.0.0.1:$port" "${items[@]:0:2}" ||
    fail "collector-send to the collector streaming over $name"
  for _ in $(seq 100); do
    [ "$(wc -l <"$work/streamed.json")" -ge 2 ] && break
    sleep 0.1
  done
  # Stopping closes the stream; the receiver then has every frame.
  stop_collector
  kill -TERM "$capture_pid"; timeout 20 tail --pid="$capture_pid" -f /dev/null; capture_pid=
  expect_equal "dnstap frames streamed over $name" "CLIENT_QUERY CLIENT_RESPONSE" \
    "$(timeout 60 dnstap-read -y "$work/captured.dnstap" | sed -n 's/^  type: //p' | tr '\n' ' ' | sed 's/ $//')"
}

if command -v fstrm_capture >/dev/null; then
  check_stream "a Unix socket" '[ -S "$work/tap.sock" ]' -u "$work/tap.sock" -- \
    --dnstap-unix "$work/tap.sock"
  # A receiver that goes away: the frames meanwhile are dropped and counted, and the
  # collector reconnects to the next receiver on that socket.
  fstrm_capture -t protobuf:dnstap.Dnstap -u "$work/tap.sock" -w "$work/first.dnstap" \
    >"$work/capture.log" 2>&1 &
  capture_pid=$!
  for _ in $(seq 100); do [ -S "$work/tap.sock" ] && break; sleep 0.1; done
  start_collector --dnstap-unix "$work/tap.sock"
  timeout 20 "$bin/collector-send" "127.0.0.1:$port" "${items[0]}"
  kill -TERM "$capture_pid"; timeout 20 tail --pid="$capture_pid" -f /dev/null
  timeout 20 "$bin/collector-send" "127.0.0.1:$port" "${items[1]}"
  fstrm_capture -t protobuf:dnstap.Dnstap -u "$work/tap.sock" -w "$work/second.dnstap" \
    >"$work/capture.log" 2>&1 &
  capture_pid=$!
  for _ in $(seq 100); do grep -q 'failed; reconnecting' "$work/stderr" && break; sleep 0.1; done
  sleep 1.5
  timeout 20 "$bin/collector-send" "127.0.0.1:$port" "${items[2]}"
  for _ in $(seq 100); do grep -q 'reconnected' "$work/stderr" && break; sleep 0.1; done
  stop_collector
  kill -TERM "$capture_pid"; timeout 20 tail --pid="$capture_pid" -f /dev/null; capture_pid=
  expect_equal "frames before the receiver went" "example.com/IN/A" \
    "$(timeout 60 dnstap-read "$work/first.dnstap" | awk '{ print $NF }')"
  expect_equal "frames after the reconnection" "www.example.org/IN/AAAA" \
    "$(timeout 60 dnstap-read "$work/second.dnstap" | awk '{ print $NF }')"
  grep -q -E "^collector: dnstap receiver unix:$work/tap.sock: 1 frames dropped$" "$work/stderr" ||
    fail "dropped frames not reported"

  tap_port=$((20000 + RANDOM % 40000))
  check_stream "TCP" 'ss -ltnH "sport = :$tap_port" | grep -q .' -a 127.0.0.1 -p "$tap_port" -- \
    --dnstap-tcp "127.0.0.1:$tap_port"
else
  echo "note: fstrm_capture (fstrm-bin) missing; streaming to a dnstap receiver is not checked"
fi

if [ "$failures" -gt 0 ]; then
  echo "collector stderr:"; cat "$work/stderr"
  exit 1
fi
echo "collector outputs: all checks passed"
