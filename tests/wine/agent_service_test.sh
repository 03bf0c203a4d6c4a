#!/usr/bin/env bash
# agent.exe as a Windows service under wine: sc create, net start, the collector gets
# the hello, sc query shows RUNNING, net stop stops it in order, sc delete.
source "$(dirname "$0")/lib.sh"
find_collector
start_wineserver
install_agent
start_collector
write_config

service=tevrin-agent-test
"$WINE" sc create "$service" binPath= "$AGENT_DIR_WIN\\agent.exe $CONFIG_WIN" >"$WORK/sc.out" 2>&1 ||
  fail "sc create: $(cat "$WORK/sc.out")"
delete_service() { "$WINE" sc delete "$service" >/dev/null 2>&1; }

"$WINE" net start "$service" >"$WORK/net-start.out" 2>&1 || {
  delete_service
  fail "net start: $(cat "$WORK/net-start.out")"
}
wait_for_text "$AGENT_LOG" "Started!" 30 || { delete_service; fail "no Started!: $(cat "$AGENT_LOG")"; }
wait_for_text "$WORK/collector.err" "hello" 30 || { delete_service; fail "collector saw no hello"; }

"$WINE" sc query "$service" >"$WORK/query.out" 2>&1
grep -q "RUNNING" "$WORK/query.out" || { delete_service; fail "sc query: $(cat "$WORK/query.out")"; }

"$WINE" net stop "$service" >"$WORK/net-stop.out" 2>&1
wait_for_text "$AGENT_LOG" "Stopped!" 30 || { delete_service; fail "no Stopped!: $(cat "$AGENT_LOG")"; }
for _ in $(seq 1 100); do
  "$WINE" sc query "$service" >"$WORK/query.out" 2>&1
  grep -q "STOPPED" "$WORK/query.out" && break
  sleep 0.2
done
grep -q "STOPPED" "$WORK/query.out" || { delete_service; fail "not STOPPED: $(cat "$WORK/query.out")"; }

"$WINE" sc delete "$service" >"$WORK/delete.out" 2>&1 || fail "sc delete: $(cat "$WORK/delete.out")"

expect_lines_in_order "run lines" "$(run_sequence_lines "Starting ETW session" "$AGENT_DIR_WIN")" < <(agent_log_messages)
grep -q "ERROR - Run failure" "$AGENT_LOG" && fail "run failure logged"
check_crlf
echo "wine service: created, started (RUNNING), hello received, stopped (STOPPED) in order, deleted"
