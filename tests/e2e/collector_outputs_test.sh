#!/usr/bin/env bash
# The collector's pcap and dnstap files read back with tshark and dnstap-read; files rotate
# whole; dnstap receivers on a Unix socket or TCP get the frames, or they count as dropped.
source "$(dirname "$0")/../common.sh"
require_commands tshark dnstap-read jq fstrm_capture
send() { timeout 20 "$BIN/collector-send" --time 1700000000 "127.0.0.1:$COLLECTOR_PORT" "$@" || fail "collector-send $*"; }
items=("query,example.com,A,10.0.0.5,10.0.0.1,udp" "response,example.com,A,10.0.0.5,10.0.0.1,udp"
  "query,www.example.org,AAAA,10.0.0.6,10.0.0.1,tcp" "response,www.example.org,AAAA,10.0.0.6,10.0.0.1,tcp"
  "query,mail.example.net,MX,10.0.0.7,2001:db8::53,udp")
start_collector files --listen 127.0.0.1:0 --pcap "$WORK/out.pcap" --dnstap "$WORK/out.dnstap"
send "${items[@]}"
stop_collector

# Per packet: time, question, addresses, ports, checksum states (1: good) and the answers.
expect_equal "tshark fields" \
'1700000000.000000000,example.com,1,10.0.0.5,10.0.0.1,,,53,,1,1,,,
1700000000.000000000,example.com,1,10.0.0.1,10.0.0.5,,,53812,,1,1,,192.0.2.1,
1700000000.000000000,www.example.org,28,10.0.0.6,10.0.0.1,,,,53,1,,1,,
1700000000.000000000,www.example.org,28,10.0.0.1,10.0.0.6,,,,53812,1,,1,,2001:db8::1
1700000000.000000000,mail.example.net,15,,,::ffff:10.0.0.7,2001:db8::53,53,,,1,,,' \
  "$(timeout 60 tshark -r "$WORK/out.pcap" -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE \
       -o tcp.check_checksum:TRUE -T fields -E separator=, -e frame.time_epoch -e dns.qry.name \
       -e dns.qry.type -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst -e udp.dstport -e tcp.dstport \
       -e ip.checksum.status -e udp.checksum.status -e tcp.checksum.status -e dns.a -e dns.aaaa 2>/dev/null)"
expect_equal "tshark warnings" "" \
  "$(timeout 60 tshark -r "$WORK/out.pcap" -Y '_ws.expert.severity >= warning' 2>/dev/null)"

# Per frame: type, question, addresses, protocol, family, identity the agent's address, version.
expect_equal "dnstap frames" \
"CLIENT_QUERY 'example.com. IN A' 10.0.0.5 10.0.0.1 UDP INET 1 3.7.3
CLIENT_RESPONSE 'example.com. IN A' 10.0.0.5 10.0.0.1 UDP INET 1 3.7.3
CLIENT_QUERY 'www.example.org. IN AAAA' 10.0.0.6 10.0.0.1 TCP INET 1 3.7.3
CLIENT_RESPONSE 'www.example.org. IN AAAA' 10.0.0.6 10.0.0.1 TCP INET 1 3.7.3
CLIENT_QUERY 'mail.example.net. IN MX' 10.0.0.7 2001:db8::53 UDP INET6 1 3.7.3" \
  "$(timeout 60 dnstap-read -y "$WORK/out.dnstap" | awk '
      /^identity:/ { id = ($2 ~ /^127\.0\.0\.1:[0-9]+$/) } /^version:/ { v = $2 } /^  type:/ { t = $2 }
      /^  socket_family:/ { f = $2 } /^  socket_protocol:/ { p = $2 }
      /^  query_address:/ { q = $2 } /^  response_address:/ { r = $2 }
      /QUESTION_SECTION:/ { getline; sub(/^ +- /, ""); gsub(/"/, "", q); gsub(/"/, "", r); print t, $0, q, r, p, f, id, v }')"

# Files renamed and SIGHUP sent while agents stream, then a restart on the same paths:
# every message is in exactly one file and every file reads whole.
rotated=$(mktemp -d "$WORK/rotated.XXXXXX")
outputs=(--json "$rotated/out.json" --pcap "$rotated/out.pcap" --dnstap "$rotated/out.dnstap")
rotation_items() { seq -f 'query,r%g.example,A,10.0.0.5,10.0.0.1,udp' "$1" $(( $1 + 199 )) | send -; }
start_collector rotate --listen 127.0.0.1:0 "${outputs[@]}"
for (( first = 0; first < 4000; first += 200 )); do rotation_items "$first"; done &
streamer=$!
sleep 0.3
for kind in json pcap dnstap; do mv "$rotated/out.$kind" "$rotated/old.$kind" || fail "no $kind file"; done
kill -HUP "$COLLECTOR_PID"
wait_for_text "$WORK/rotate.err" "files reopened" 10 || fail "no reopen: $(cat "$WORK/rotate.err")"
wait "$streamer" || fail "streaming during the rotation"
stop_collector
start_collector restart --listen 127.0.0.1:0 "${outputs[@]}"
rotation_items 4000
stop_collector
names() {  # KIND FILE: the question names in FILE, read back by jq, tshark or dnstap-read
  case $1 in
    json) timeout 60 jq -r '.dns.qname' "$2" ;;
    pcap) timeout 60 tshark -r "$2" -T fields -e dns.qry.name 2>/dev/null ;;
    dnstap) timeout 60 dnstap-read "$2" | awk '{ split($NF, q, "/"); print q[1] }' ;;
  esac
}
for kind in json pcap dnstap; do
  expect_equal "$kind over the rotated files" "$(seq -f 'r%g.example' 0 4199 | sort)" \
    "$(for file in "$rotated"/*."$kind"*; do names "$kind" "$file" || echo "unreadable $file"; done | sed 's/\.$//' | sort)"
done

start_receiver() {  # FILE ARGS...: a dnstap receiver writing FILE; sets RECEIVER_PID
  fstrm_capture -t protobuf:dnstap.Dnstap "${@:2}" -w "$1" >>"$WORK/receiver.log" 2>&1 &
  RECEIVER_PID=$!
  STARTED_PIDS+=($RECEIVER_PID)
}
# fstrm_capture has at times aborted at its stop; what counts is the file it closed.
stop_receiver() { kill -TERM "$RECEIVER_PID"; wait "$RECEIVER_PID" 2>/dev/null; }
questions() { timeout 60 dnstap-read "$1" | awk '{ print $3, $NF }'; }  # FILE: each frame's type, question

# Over a Unix socket: a receiver missing at start is retried, not fatal; to one that goes
# away the frames are dropped and counted, and the collector reconnects to the next.
sock=$WORK/tap.sock
start_collector unix --listen 127.0.0.1:0 --dnstap-unix "$sock"
grep -qF "collector: dnstap receiver unix:$sock unavailable (connect($sock) failed: No such file or directory); retrying" \
  "$WORK/unix.err" || fail "missing receiver: $(cat "$WORK/unix.err")"
start_receiver "$WORK/first.dnstap" -u "$sock"
wait_for_text "$WORK/unix.err" reconnected 10 || fail "no connection: $(cat "$WORK/unix.err")"
send "${items[0]}"
sleep 0.5  # a frame counts as delivered once the receiver has read it
stop_receiver
send "${items[1]}"
start_receiver "$WORK/second.dnstap" -u "$sock"
wait_for_text "$WORK/unix.err" 'failed; reconnecting' 10
wait_for_count "$WORK/unix.err" reconnected 2 10 || fail "no reconnection: $(cat "$WORK/unix.err")"
send "${items[2]}"
sleep 0.5
stop_receiver
expect_equal "frames after the reconnection" "CQ www.example.org/IN/AAAA" "$(questions "$WORK/second.dnstap")"
wait_for_count "$WORK/unix.err" 'failed; reconnecting' 2 10 || fail "idle receiver's end unnoticed"
start_receiver "$WORK/third.dnstap" -u "$sock"
wait_for_count "$WORK/unix.err" reconnected 3 10 || fail "no second reconnection: $(cat "$WORK/unix.err")"
# Frames a receiver never read die with it: three to a stopped and killed one, dropped.
kill -STOP "$RECEIVER_PID"
send "${items[@]:0:3}"
sleep 0.5
{ kill -KILL "$RECEIVER_PID"; wait "$RECEIVER_PID"; } 2>/dev/null
wait_for_count "$WORK/unix.err" 'failed; reconnecting' 3 10
send "${items[3]}"
stop_collector
expect_equal "frames before the receiver went, dropped frames" "CQ example.com/IN/A 1" "$(questions \
  "$WORK/first.dnstap") $(grep -cxF "collector: dnstap receiver unix:$sock: 5 frames dropped" "$WORK/unix.err")"

# A receiver that stops reading holds the stop a few seconds at most; its frames count as
# dropped. It is not woken again: fstrm_capture can crash on the backlog it then reads.
rm -f "$sock"
start_receiver "$WORK/late.dnstap" -u "$sock"
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.1; done
start_collector late --listen 127.0.0.1:0 --dnstap-unix "$sock"
send "${items[4]}"
sleep 0.5
kill -STOP "$RECEIVER_PID"
timeout 20 "$BIN/collector-send" --repeat 20000 "127.0.0.1:$COLLECTOR_PORT" "${items[0]}" ||
  fail "collector-send to a collector behind a stalled receiver"
start=$(date +%s%N)
stop_collector
(( $(date +%s%N) - start < 5000000000 )) || fail "stop took $(( ($(date +%s%N) - start) / 1000000 )) ms"
{ kill -KILL "$RECEIVER_PID"; wait "$RECEIVER_PID"; } 2>/dev/null
dropped=$(sed -n "s|^collector: dnstap receiver unix:$sock: \([0-9]*\) frames dropped\$|\1|p" "$WORK/late.err")
[ -n "$dropped" ] && (( dropped > 0 && dropped <= 20001 )) ||
  fail "stalled receiver: $dropped frames dropped: $(cat "$WORK/late.err")"

# Over TCP; stopping the collector closes the stream, so the receiver then has every frame.
tap_port=$(unused_port) || fail "no free port"
start_receiver "$WORK/tcp.dnstap" -a 127.0.0.1 -p "$tap_port"
for _ in $(seq 100); do ss -ltnH "sport = :$tap_port" | grep -q . && break; sleep 0.1; done
start_collector tcp --listen 127.0.0.1:0 --dnstap-tcp "127.0.0.1:$tap_port"
send "${items[@]:0:2}"
stop_collector
stop_receiver
expect_equal "frames streamed over TCP" "CQ example.com/IN/A
CR example.com/IN/A" "$(questions "$WORK/tcp.dnstap")"
echo "collector outputs: all checks passed"
