#!/usr/bin/env bash
# Bad input never stops the collector: each bad connection gets one line on standard
# error naming the peer and the reason and is closed, a partial record at the end of
# a connection is counted and dropped, and every other connection carries on.
#   bash collector_bad_input_test.sh BIN_DIR
set -u
bin=${1:?usage: collector_bad_input_test.sh BIN_DIR}
work=$(mktemp -d)
collector_pid=
cleanup() {
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$bin/collector" --listen 127.0.0.1:0 --max-record 1000 --json "$work/out.json" 2>"$work/stderr" &
collector_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/stderr")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "collector did not start:"; cat "$work/stderr"; exit 1; }
to="127.0.0.1:$port"
good="query,example.com,A,10.0.0.5,10.0.0.1,udp"
send() { timeout 20 "$bin/collector-send" "$@" || fail "collector-send $*"; }

send "$to" "$good"
send --no-hello "$to" "$good"                        # no hello
send "$to" "$good" record,0700                       # unknown record type 7
send "$to" raw,000003e9                              # length 1001 above --max-record
send "$to" record,020000000009ff                     # device length overruns the record
send "$to" "$good" raw,0000002002000000              # partial record at the end
printf 'GET / HTTP/1.0\r\n\r\n' >"$work/http"
timeout 20 bash -c "cat '$work/http' >/dev/tcp/127.0.0.1/$port" || fail "plain text connection"
send "$to" "$good" "$good"

# The last connection's two lines show that the collector carried on.
for _ in $(seq 100); do
  [ "$(wc -l <"$work/out.json")" -ge 5 ] && break
  sleep 0.1
done
# A second collector on the busy port fails before it touches the first one's file.
timeout 20 "$bin/collector" --listen "$to" --json "$work/out.json" 2>"$work/second.stderr"
second_status=$?
[ "$second_status" -eq 1 ] || fail "second collector: exit status $second_status"
grep -q -x "collector: bind($to) failed: Address already in use" "$work/second.stderr" ||
  fail "second collector: $(cat "$work/second.stderr")"

kill -TERM "$collector_pid"
timeout 20 tail --pid="$collector_pid" -f /dev/null
wait "$collector_pid"
status=$?
collector_pid=
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"

[ "$(wc -l <"$work/out.json")" -eq 5 ] || fail "want 5 JSON lines, got $(wc -l <"$work/out.json")"
grep -v '"qname":"example.com."' "$work/out.json" | grep -q . && fail "unexpected JSON line"
peer='collector: 127\.0\.0\.1:[0-9]+: '
for reason in \
  'stream does not begin with a hello \(first record type 2\); connection closed' \
  'record of unknown type 7; connection closed' \
  'record length 1001 above the limit of 1000 bytes; connection closed' \
  'message lengths overrun its record of 7 bytes; connection closed' \
  'connection ended inside a record \(8 bytes held\); record dropped' \
  'stream does not begin with a hello \(first record length 1195725856\); connection closed'; do
  [ "$(grep -c -E "^$peer$reason\$" "$work/stderr")" -eq 1 ] || fail "no line: $reason"
done
summary=$(tail -n 1 "$work/stderr")
[[ "$summary" =~ ^collector:\ 8\ connections,\ 5\ messages,\ [0-9]+\ bytes,\ 5\ malformed,\ 1\ truncated$ ]] ||
  fail "summary: $summary"

if [ "$failures" -gt 0 ]; then
  echo "collector stderr:"; cat "$work/stderr"
  exit 1
fi
echo "collector bad input: all checks passed"
