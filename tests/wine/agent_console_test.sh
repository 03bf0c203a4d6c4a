#!/usr/bin/env bash
# agent.exe in the console under wine: it forwards to a collector on loopback, its ETW
# session fails (wine's ETW cannot open a real-time trace), and that failed capture ends
# the run in order with exit status 1.
source "$(dirname "$0")/lib.sh"
find_collector
start_wineserver
install_agent

# No argument: usage on standard error and exit status -1.
"$WINE" "$WORK/agent/agent.exe" >"$WORK/usage.out" 2>"$WORK/usage.err"
status=$?
[ "$status" -eq 255 ] || fail "usage error exited with $status"
grep -q "usage: agent <config-file>" "$WORK/usage.err" || fail "usage text: $(cat "$WORK/usage.err")"

start_collector
write_config
(cd "$WORK" && exec "$WINE" "$WORK/agent/agent.exe" "$CONFIG_WIN" >"$WORK/agent.out" 2>&1) &
AGENT_PID=$!
STARTED_PIDS+=($AGENT_PID)

for _ in $(seq 1 300); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$AGENT_PID" 2>/dev/null && fail "the failed capture did not end the run: $(cat "$AGENT_LOG")"
wait "$AGENT_PID"
status=$?
[ "$status" -eq 1 ] || fail "exit status $status"
grep -q "hello" "$WORK/collector.err" || fail "collector saw no hello: $(cat "$WORK/collector.err")"
agent_log_messages | grep -q "^Connected to 127.0.0.1:$COLLECTOR_PORT$" || fail "agent did not connect"

expect_lines_in_order "run lines" "$(run_sequence_lines "Starting ETW session" "$AGENT_DIR_WIN")" < <(agent_log_messages)
agent_log_messages | tail -n 1 | grep -q "^ERROR - Run failure: capture failed: OpenTrace() failed: " ||
  fail "last line: $(agent_log_messages | tail -n 1)"
[ ! -s "$WORK/agent.out" ] || fail "printed with a log open: $(cat "$WORK/agent.out")"

# The capture thread's lines, in order, up to its error line.
expect_lines_in_order "capture lines" "Starting ETW trace...
Enable DNS server provider for ETW trace...
Opening ETW trace..." < <(agent_log_messages)
agent_log_messages | grep -q "^ERROR - ETW session failed: OpenTrace() failed: " ||
  fail "no OpenTrace failure line: $(cat "$AGENT_LOG")"
# The final statistics; wine's session query answers success with zero counters.
agent_log_messages | tr -d '\r' | grep -qxE "Statistics: captured=0 skipped=0 queued=0 overwritten=0 \
overwritten_bytes=0 refused=0 in_queue=0 sent=0 resent=0 connects=1 connect_failures=0 send_failures=0 \
capture_dropped=0 etw_log_file_mode=0x[0-9a-f]{8}" || fail "final statistics: $(grep Statistics "$AGENT_LOG")"
check_crlf
echo "wine console: hello received, ETW failed, the run ended in order with exit status 1"
