#!/usr/bin/env bash
# The whole road on Linux: dig asks a real DNS server (unbound) on loopback, the agent
# captures the server's queries and responses and forwards them, the collector writes
# them as JSON lines and pcap, and tshark reads the pcap back. Then dnsperf loads the
# server over UDP and, after a quiet spell, over TCP: every packet arrives exactly once.
# With ipv6-clients on, queries over ::1 arrive too, also one behind a destination-options
# header; with it off only the IPv4 ones, and the IPv6 ones are counted.
source "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "the live capture test needs root; run as root to include it"
require_commands unbound dig jq tshark dnsperf

dns_port=$(unused_port) || fail "no free port"
start_unbound "$dns_port"
# The collector raises its soft descriptor limit to the hard one.
ulimit -Sn 256
start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json" --pcap "$WORK/messages.pcap"

install_agent
cat >"$WORK/agent.conf" <<CONF
target 127.0.0.1:$COLLECTOR_PORT 5
capture-interface lo
dns-port $dns_port
queue-size 16777216
logging on
ipv6-clients on
CONF
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
query = struct.pack(">6H", 0x1234, 0x0100, 1, 0, 0, 0)
query += b"".join(bytes([len(l)]) + l.encode() for l in "ext.test.example".split(".")) + b"\0"
query += struct.pack(">HH", 1, 1)
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_DSTOPTS, bytes([0, 0, 1, 4, 0, 0, 0, 0]))
s.settimeout(2)
s.sendto(query, ("::1", int(sys.argv[1])))
s.recvfrom(512)
PY

# Eight queries and eight responses, each once.
wait_for_count "$WORK/messages.json" '"qname"' 16 10 || fail "collector got: $(cat "$WORK/messages.json")"

# load NAME ARGS...: dnsperf asks for NAME for 3 s at a modest rate; every query it sent
# and every response it received must arrive once, no more. At this rate a capture that
# overflows its kernel buffer on a busy host loses some.
load() {
  local name=$1 expected before
  shift
  echo "$name A" >"$WORK/queries"
  before=$(grep -c . "$WORK/messages.json")
  dnsperf -s 127.0.0.1 -p "$dns_port" -d "$WORK/queries" -l 3 -Q 5000 "$@" >"$WORK/dnsperf.out" 2>&1 ||
    fail "dnsperf $*: $(cat "$WORK/dnsperf.out")"
  expected=$(awk '/Queries sent:/ { s = $3 } /Queries completed:/ { c = $3 } END { print s + c }' "$WORK/dnsperf.out")
  [ "$expected" -ge 20000 ] || fail "dnsperf $*: $(cat "$WORK/dnsperf.out")"
  wait_for_count "$WORK/messages.json" "\"$name.\"" "$expected" 20
  sleep 1
  [ "$(grep -cF "\"$name.\"" "$WORK/messages.json")" -eq "$expected" ] ||
    fail "$name: $(grep -cF "\"$name.\"" "$WORK/messages.json") messages for $expected packets"
  [ "$(grep -c . "$WORK/messages.json")" -eq $(( before + expected )) ] || fail "$name: other messages came too"
}
load udp-load.test.example
# Some thirty capture timeouts without a packet: the capture goes on after them.
sleep 3
load tcp-load.test.example -m tcp -c 4
jq -r 'select(.dns.qname | endswith("-load.test.example.")) | [.dns.qname, .tcp] | @tsv' "$WORK/messages.json" |
  sort -u | tr '\t' ' ' | expect_lines_in_order "load transports" "tcp-load.test.example. true
udp-load.test.example. false"

[ "$(grep -c 'accept() failed' "$WORK/collector.err")" -eq 1 ] ||
  fail "descriptor lines not limited: $(cat "$WORK/collector.err")"
for fd in "${flood[@]}"; do exec {fd}>&-; done
stop_process "$AGENT_PID"
stop_process "$COLLECTOR_PID"
jq -c 'select(.dns.qname | endswith("-load.test.example.") | not)' "$WORK/messages.json" >"$WORK/dig.json"
[ "$(grep -c . "$WORK/dig.json")" -eq 16 ] || fail "expected 16 messages: $(cat "$WORK/dig.json")"

summary=$(jq -r '[.dns.qname, .dns.qtype, (.dns.flags | index("qr") != null), .tcp, .device, .server, .version] | @tsv' \
  "$WORK/dig.json" | sort)
# Each question as a query and as its response.
expected=$(for question in "ext.test.example. A false ::1" "mail.test.example. A true ::1" "www.test.example. AAAA false ::1" \
  "mail.test.example. A false 127.0.0.1" "test.example. MX false 127.0.0.1" "txt.test.example. TXT true 127.0.0.1" \
  "www.test.example. A false 127.0.0.1" "www.test.example. A true 127.0.0.1"; do
  read -r name type tcp address <<<"$question"
  for qr in false true; do printf '%s\t%s\t%s\t%s\t%s\t%s\t3.7.3\n' "$name" "$type" "$qr" "$tcp" "$address" "$address"; done
done | sort)
expect_equal "messages" "$expected" "$summary"

# Each message's time is the capture time: within the last minute.
now=$(date -u +%s)
jq -r .time "$WORK/dig.json" | while read -r t; do
  s=$(date -u -d "$t" +%s) && (( now - s < 120 && s - now < 5 )) || fail "time $t is not the capture time"
done || exit 1

# An independent dissector (its response flag reads 0/1 or False/True by version) reads the same packets from the collector's pcap.
tshark -r "$WORK/messages.pcap" -Y 'not dns.qry.name contains "-load."' -T fields -e dns.qry.name -e dns.flags.response -e ip.src -e ip.dst \
  -e ipv6.src -e ipv6.dst -e udp.srcport -e tcp.srcport 2>"$WORK/tshark.err" | sort >"$WORK/tshark.txt"
[ "$(grep -c . "$WORK/tshark.txt")" -eq 16 ] || fail "tshark read: $(cat "$WORK/tshark.txt" "$WORK/tshark.err")"
expect_equal "tshark: queries and responses" \
  "$(for name in www.test.example mail.test.example test.example txt.test.example ext.test.example; do
       printf '%s 0\n%s 1\n' "$name" "$name"; done | sort)" \
  "$(awk -F'\t' '{ print $1, ($2 == "1" || $2 == "True") }' "$WORK/tshark.txt" | sort -u)"
families=$(awk -F'\t' '$3 $4 $5 $6 == "127.0.0.1127.0.0.1" { v4++ } $3 $4 $5 $6 == "::1::1" { v6++ }
  END { print v4 + 0, v6 + 0 }' "$WORK/tshark.txt")
[ "$families" = "10 6" ] || fail "tshark: IPv4 and IPv6 packets were $families: $(cat "$WORK/tshark.txt")"

grep -q "ERROR" "$AGENT_LOG" && fail "agent logged an error: $(grep ERROR "$AGENT_LOG")"
grep -q "Config: ipv6-clients = on" "$AGENT_LOG" || fail "ipv6-clients not logged: $(cat "$AGENT_LOG")"

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
[ "$(jq -r '[.device, .server] | @tsv' "$WORK/ipv4.json" | sort -u)" = "127.0.0.1	127.0.0.1" ] &&
  [ "$(grep -c . "$WORK/ipv4.json")" -eq 2 ] || fail "with ipv6-clients off: $(cat "$WORK/ipv4.json")"
grep -q "Packet capture skipped: .* 2 IPv6 clients" "$AGENT_LOG" || fail "IPv6 not counted: $(cat "$AGENT_LOG")"
echo "agent capture: 16 messages of IPv4 and IPv6 clients from dig via unbound, agent and collector," \
  "read back by tshark; dnsperf over UDP and TCP, each packet once; IPv6 counted with ipv6-clients off"
