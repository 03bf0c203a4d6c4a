#!/usr/bin/env bash
# The whole road on Linux: dig and dnsperf (UDP, then TCP) ask a real DNS server (unbound)
# on loopback; the agent captures its queries and responses, the collector writes them as
# JSON lines, each packet exactly once. IPv6 clients' packets arrive with ipv6-clients on,
# also one behind a destination-options header, and are counted with it off.
source "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "the live capture test needs root; run as root to include it"
require_commands unbound dig jq dnsperf

dns_port=$(unused_port) || fail "no free port"
start_unbound "$dns_port"
# The collector raises its soft descriptor limit to the hard one.
ulimit -Sn 256
start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json"
install_agent
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

ask() { dig +time=2 +tries=1 -p "$dns_port" "$@" >/dev/null || fail "dig $*"; }
for question in "www.test.example A" "mail.test.example A" "test.example MX" "+tcp www.test.example A" \
  "+tcp txt.test.example TXT"; do ask @127.0.0.1 $question; done
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
wait_for_count "$WORK/messages.json" '"qname"' 16 10 || fail "collector got: $(cat "$WORK/messages.json")"

# load NAME ARGS...: dnsperf asks for NAME for 3 s at a modest rate; every query it sent
# and every response it received must arrive once, and nothing else. At this rate a
# capture that overflows its kernel buffer on a busy host loses some.
load() {
  local name=$1 expected before
  shift
  echo "$name A" >"$WORK/queries"
  before=$(grep -c . "$WORK/messages.json")
  dnsperf -s 127.0.0.1 -p "$dns_port" -d "$WORK/queries" -l 3 -Q 5000 "$@" >"$WORK/dnsperf.out" 2>&1 ||
    fail "dnsperf $*: $(cat "$WORK/dnsperf.out")"
  expected=$(awk '/Queries sent:/ { s = $3 } /Queries completed:/ { c = $3 } END { print s + c }' "$WORK/dnsperf.out")
  (( expected >= 20000 )) || fail "dnsperf $*: $(cat "$WORK/dnsperf.out")"
  wait_for_count "$WORK/messages.json" "\"$name.\"" "$expected" 20
  sleep 1
  expect_equal "$name: messages for $expected packets, all messages" "$expected $(( before + expected ))" \
    "$(grep -cF "\"$name.\"" "$WORK/messages.json") $(grep -c . "$WORK/messages.json")"
}
load udp-load.test.example
# Some thirty capture timeouts without a packet: the capture goes on after them.
sleep 3
load tcp-load.test.example -m tcp -c 4

expect_equal "descriptor lines" 1 "$(grep -c 'accept() failed' "$WORK/collector.err")"
for fd in "${flood[@]}"; do exec {fd}>&-; done
stop_process "$AGENT_PID"
stop_process "$COLLECTOR_PID"
# Each question as a query and as its response; the load names once each, over their transport.
expected=$(for question in "ext.test.example. A false ::1" "mail.test.example. A true ::1" \
  "www.test.example. AAAA false ::1" "mail.test.example. A false 127.0.0.1" "test.example. MX false 127.0.0.1" \
  "txt.test.example. TXT true 127.0.0.1" "www.test.example. A false 127.0.0.1" "www.test.example. A true 127.0.0.1" \
  "tcp-load.test.example. A true 127.0.0.1" "udp-load.test.example. A false 127.0.0.1"; do
  read -r name type tcp address <<<"$question"
  for qr in false true; do printf '%s\t%s\t%s\t%s\t%s\t%s\t3.7.3\n' "$name" "$type" "$qr" "$tcp" "$address" "$address"; done
done | sort)
expect_equal "messages" "$expected" "$(jq -r '[.dns.qname, .dns.qtype, (.dns.flags | index("qr") != null), .tcp,
  .device, .server, .version] | @tsv' "$WORK/messages.json" | sort | awk '!/-load\./ || !seen[$0]++')"
expect_equal "agent errors" "" "$(grep ERROR "$AGENT_LOG")"

# With ipv6-clients off the IPv6 client's query and response are counted, not sent. The
# agent is stopped at once: what the kernel still holds is taken before the capture ends.
start_collector collector-ipv4 --listen 127.0.0.1:0 --json "$WORK/ipv4.json"
sed -i -e "s/^target .*/target 127.0.0.1:$COLLECTOR_PORT 5/" -e '/^ipv6-clients/d' "$WORK/agent.conf"
: >"$AGENT_LOG"
start_agent "$WORK/agent.conf" "Connected to 127.0.0.1:$COLLECTOR_PORT"
wait_for_text "$AGENT_LOG" "Entering packet capture loop..." 10 || fail "no capture: $(cat "$AGENT_LOG")"
ask @::1 www.test.example A
sleep 0.5  # the next packets open a new kernel block, which the stop finds unfinished
ask @127.0.0.1 www.test.example A
stop_process "$AGENT_PID"
sleep 0.5
stop_process "$COLLECTOR_PID"
expect_equal "with ipv6-clients off: messages, IPv6 clients counted" "127.0.0.1 127.0.0.1
127.0.0.1 127.0.0.1 1" "$(jq -r '"\(.device) \(.server)"' "$WORK/ipv4.json") $(grep -c \
  "Packet capture skipped: .* 2 IPv6 clients" "$AGENT_LOG")"
echo "agent capture: 16 messages of IPv4 and IPv6 clients from dig via unbound, agent and collector;" \
  "dnsperf over UDP and TCP, each packet once; IPv6 counted with ipv6-clients off"
