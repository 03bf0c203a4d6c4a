#!/usr/bin/env bash
# The collector program with bad peers (the reasons themselves are the stream parser's):
# a bad connection is closed with a line and counted, the others carry on, a busy port
# fails the start, and SIGTERM ends the run with the summary and status 0.
source "$(dirname "$0")/lib.sh"
start_collector main --listen 127.0.0.1:0 --max-record 1000 --json "$WORK/out.json"
to=127.0.0.1:$COLLECTOR_PORT
good=query,example.com,A,10.0.0.5,10.0.0.1,udp
send() { timeout 20 "$BIN/collector-send" "$@" || fail "collector-send $*"; }
send "$to" "$good" record,0700                # unknown record type 7
send "$to" "$good" raw,0000002002000000       # partial record at the end
send "$to" "$good" "$good"
wait_for_count "$WORK/out.json" '"qname":"example.com."' 4 10 || fail "JSON: $(cat "$WORK/out.json")"
timeout 20 "$BIN/collector" --listen "$to" --json "$WORK/out.json" 2>"$WORK/second.err"
status=$?
[ "$status" -eq 1 ] || fail "second collector: exit status $status"
[ "$(cat "$WORK/second.err")" = "collector: bind($to) failed: Address already in use" ] ||
  fail "second collector: $(cat "$WORK/second.err")"
kill -TERM "$COLLECTOR_PID"
timeout 20 tail --pid="$COLLECTOR_PID" -f /dev/null
wait "$COLLECTOR_PID" || fail "exit status $? after SIGTERM"
[ "$(wc -l <"$WORK/out.json")" -eq 4 ] || fail "want 4 JSON lines: $(cat "$WORK/out.json")"
grep -qE '^collector: 127\.0\.0\.1:[0-9]+: record of unknown type 7; connection closed$' "$WORK/main.err" ||
  fail "no line for the bad connection: $(cat "$WORK/main.err")"
summary=$(tail -n 1 "$WORK/main.err")
[[ "$summary" =~ ^collector:\ 3\ connections,\ 4\ messages,\ [0-9]+\ bytes,\ 1\ malformed,\ 1\ truncated$ ]] ||
  fail "summary: $summary"
echo "collector bad input: all checks passed"
