#!/usr/bin/env bash
# The whole road on Linux: dig asks a real DNS server (unbound) on loopback, the agent
# captures the server's queries and responses and forwards them, the collector writes
# them as JSON lines and pcap, and tshark reads the pcap back.
source "$(dirname "$0")/lib.sh"
require_root "the live capture test"
require_command unbound
require_command dig
require_command jq
require_command tshark

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
queue-size 1048576
logging on
CONF
start_agent "$WORK/agent.conf"
wait_for_text "$AGENT_LOG" "Entering packet capture loop..." 10 || fail "no capture: $(cat "$AGENT_LOG")"
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

ask() { dig +time=2 +tries=1 -p "$dns_port" @127.0.0.1 "$@" >/dev/null || fail "dig $*"; }
ask www.test.example A
ask mail.test.example A
ask test.example MX
ask +tcp www.test.example A
ask +tcp txt.test.example TXT

# Five queries and five responses, each once.
wait_for_count "$WORK/messages.json" '"qname"' 10 10 || fail "collector got: $(cat "$WORK/messages.json")"
sleep 1
[ "$(grep -c 'accept() failed' "$WORK/collector.err")" -eq 1 ] ||
  fail "descriptor lines not limited: $(cat "$WORK/collector.err")"
for fd in "${flood[@]}"; do exec {fd}>&-; done
stop_process "$AGENT_PID"
stop_process "$COLLECTOR_PID"
[ "$(grep -c . "$WORK/messages.json")" -eq 10 ] || fail "expected 10 messages: $(cat "$WORK/messages.json")"

summary=$(jq -r '[.dns.qname, .dns.qtype, (.dns.flags | index("qr") != null), .tcp, .device, .server, .version] | @tsv' \
  "$WORK/messages.json" | sort)
expected=$(printf '%s\n' \
  "mail.test.example.	A	false	false	127.0.0.1	127.0.0.1	3.7.3" \
  "mail.test.example.	A	true	false	127.0.0.1	127.0.0.1	3.7.3" \
  "test.example.	MX	false	false	127.0.0.1	127.0.0.1	3.7.3" \
  "test.example.	MX	true	false	127.0.0.1	127.0.0.1	3.7.3" \
  "txt.test.example.	TXT	false	true	127.0.0.1	127.0.0.1	3.7.3" \
  "txt.test.example.	TXT	true	true	127.0.0.1	127.0.0.1	3.7.3" \
  "www.test.example.	A	false	false	127.0.0.1	127.0.0.1	3.7.3" \
  "www.test.example.	A	false	true	127.0.0.1	127.0.0.1	3.7.3" \
  "www.test.example.	A	true	false	127.0.0.1	127.0.0.1	3.7.3" \
  "www.test.example.	A	true	true	127.0.0.1	127.0.0.1	3.7.3" | sort)
[ "$summary" = "$expected" ] || fail "messages differ:
$summary
expected:
$expected"

# Each message's time is the capture time: within the last minute.
now=$(date -u +%s)
jq -r .time "$WORK/messages.json" | while read -r t; do
  s=$(date -u -d "$t" +%s) || fail "bad time $t"
  [ $(( now - s )) -lt 120 ] && [ $(( s - now )) -lt 5 ] || fail "time $t is not the capture time"
done || exit 1

# An independent dissector (its response flag reads 0/1 or False/True by version) reads the same packets from the collector's pcap.
tshark -r "$WORK/messages.pcap" -T fields -e dns.qry.name -e dns.flags.response -e ip.src -e ip.dst \
  -e udp.srcport -e tcp.srcport 2>"$WORK/tshark.err" | sort >"$WORK/tshark.txt"
[ "$(grep -c . "$WORK/tshark.txt")" -eq 10 ] || fail "tshark read: $(cat "$WORK/tshark.txt" "$WORK/tshark.err")"
for name in www.test.example mail.test.example test.example txt.test.example; do
  [ "$(awk -F'\t' -v n="$name" '$1 == n && ($2 == "0" || $2 == "False")' "$WORK/tshark.txt" | wc -l)" -ge 1 ] ||
    fail "tshark: no query for $name: $(cat "$WORK/tshark.txt")"
  [ "$(awk -F'\t' -v n="$name" '$1 == n && ($2 == "1" || $2 == "True")' "$WORK/tshark.txt" | wc -l)" -ge 1 ] ||
    fail "tshark: no response for $name"
done
awk -F'\t' '$3 != "127.0.0.1" || $4 != "127.0.0.1" { bad = 1 } END { exit bad }' "$WORK/tshark.txt" ||
  fail "tshark: unexpected addresses: $(cat "$WORK/tshark.txt")"

grep -q "ERROR" "$AGENT_LOG" && fail "agent logged an error: $(grep ERROR "$AGENT_LOG")"
echo "agent capture: 10 messages from dig via unbound, agent and collector, read back by tshark"
