#!/usr/bin/env bash
# The whole road on Linux: dig and dnsperf ask a real DNS server (unbound) on loopback over
# UDP and TCP, IPv4 and IPv6; the agent captures, the collector writes JSON lines, each packet
# exactly once. With ipv6-clients on, also one behind a destination-options header; with it
# off, IPv6 is counted, and a stop at once still takes what the kernel holds.
source "$(dirname "$0")/../common.sh"
[ "$(id -u)" -eq 0 ] || skip "the live capture test needs root; run as root to include it"
require_commands unbound dig jq dnsperf

dns_port=$(unused_port) || fail "no free port"
start_unbound "$dns_port"
ask() { dig +time=2 +tries=1 -p "$dns_port" "$@" >/dev/null || fail "dig $*: $(cat "$WORK/unbound.log")"; }

# The collector raises its soft descriptor limit to the hard one.
ulimit -Sn 256
start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json"
install_agent agent
printf '%s\n' "target 127.0.0.1:$COLLECTOR_PORT 5" "capture-interface lo" "dns-port $dns_port" \
  "queue-size 16777216" "logging on" "ipv6-clients on" >"$WORK/agent.conf"
start_agent "$WORK/agent.conf" "Entering packet capture loop..."
wait_for_text "$AGENT_LOG" "Connected to 127.0.0.1:$COLLECTOR_PORT" 10 || fail "no connection: $(cat "$AGENT_LOG")"

[ "$(awk '/^Max open files/ { print ($4 == $5) }' "/proc/$COLLECTOR_PID/limits")" = 1 ] ||
  fail "descriptor limit not raised: $(grep 'open files' "/proc/$COLLECTOR_PID/limits")"
# Out of descriptors, the collector closes each surplus connection at once, says so in
# one line, and the agent already connected streams on.
prlimit --pid "$COLLECTOR_PID" --nofile=32:32 || fail "prlimit"
flood=()
for _ in $(seq 60); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$COLLECTOR_PORT" || fail "connection to the collector"
  flood+=("$fd")
done
wait_for_text "$WORK/collector.err" "accept() failed: Too many open files;" 10 ||
  fail "no descriptor line: $(cat "$WORK/collector.err")"

sleep 3  # some thirty capture timeouts without a packet: the capture goes on after them
ask @127.0.0.1 www.test.example A
ask @127.0.0.1 +tcp mail.test.example A
ask @::1 www.test.example AAAA
ask @::1 +tcp mail.test.example A
# A query behind a destination-options header (a PadN option): libpcap's "port" alone
# would not match it.
python3 - "$dns_port" <<'PY' || fail "query with a destination-options header"
import socket, struct, sys
query = struct.pack(">6H", 0x1234, 0x0100, 1, 0, 0, 0) + b"\3ext\4test\7example\0" + struct.pack(">HH", 1, 1)
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_DSTOPTS, bytes([0, 0, 1, 4, 0, 0, 0, 0]))
s.settimeout(2)
s.sendto(query, ("::1", int(sys.argv[1])))
s.recvfrom(512)
PY
wait_for_count "$WORK/messages.json" '"qname"' 10 10 || fail "collector got: $(cat "$WORK/messages.json")"

# dnsperf for 3 s over UDP, then TCP: every query sent and every response received arrives
# once. A capture that overflows its kernel buffer on a busy host loses some.
for mode in udp tcp; do
  echo "$mode-load.test.example A" >"$WORK/queries"
  dnsperf -s 127.0.0.1 -p "$dns_port" -d "$WORK/queries" -l 3 -Q 5000 -m "$mode" -c 4 >"$WORK/dnsperf.out" 2>&1 ||
    fail "dnsperf $mode: $(cat "$WORK/dnsperf.out")"
  packets=$(awk '/Queries sent:/ { s = $3 } /Queries completed:/ { c = $3 } END { print s + c }' "$WORK/dnsperf.out")
  (( packets >= 20000 )) || fail "dnsperf $mode: $(cat "$WORK/dnsperf.out")"
  wait_for_count "$WORK/messages.json" "\"$mode-load.test.example.\"" "$packets" 20
  sleep 1
  expect_equal "$mode load" "$packets" "$(grep -cF "\"$mode-load.test.example.\"" "$WORK/messages.json")"
done

expect_equal "descriptor lines" 1 "$(grep -c 'accept() failed' "$WORK/collector.err")"
for fd in "${flood[@]}"; do exec {fd}>&-; done
end_cleanly TERM "$AGENT_PID" agent
stop_collector
# Each question as a query and as its response.
expected=$(for question in "ext.test.example. A false ::1" "mail.test.example. A true ::1" \
  "www.test.example. AAAA false ::1" "mail.test.example. A true 127.0.0.1" "www.test.example. A false 127.0.0.1"; do
  read -r name type tcp address <<<"$question"
  for qr in false true; do printf '%s\t%s\t%s\t%s\t%s\t%s\t3.7.3\n' "$name" "$type" "$qr" "$tcp" "$address" "$address"; done
done | sort)
expect_equal "messages" "$expected" "$(jq -r '[.dns.qname, .dns.qtype, (.dns.flags | index("qr") != null), .tcp,
  .device, .server, .version] | @tsv' <(grep -v 'load.test.example' "$WORK/messages.json") | sort)"
expect_equal "agent errors" "" "$(grep ERROR "$AGENT_LOG")"

start_collector ipv4 --listen 127.0.0.1:0 --json "$WORK/ipv4.json"
sed -i -e "s/^target .*/target 127.0.0.1:$COLLECTOR_PORT 5/" -e '/^ipv6-clients/d' "$WORK/agent.conf"
: >"$AGENT_LOG"
start_agent "$WORK/agent.conf" "Entering packet capture loop..."
wait_for_text "$AGENT_LOG" "Connected to 127.0.0.1:$COLLECTOR_PORT" 10 || fail "no connection: $(cat "$AGENT_LOG")"
ask @::1 www.test.example A
sleep 0.5  # the next packets open a new kernel block, which the stop finds unfinished
ask @127.0.0.1 www.test.example A
end_cleanly TERM "$AGENT_PID" agent
sleep 0.5
stop_collector
expect_equal "ipv6-clients off: messages, IPv6 clients counted" "127.0.0.1 127.0.0.1
127.0.0.1 127.0.0.1 1" "$(jq -r '"\(.device) \(.server)"' "$WORK/ipv4.json") $(grep -c \
  "Packet capture skipped: .* 2 IPv6 clients" "$AGENT_LOG")"
echo "agent capture: IPv4 and IPv6 clients' packets from dig via unbound, agent and collector"
