#!/usr/bin/env bash
# agent.exe as a Windows service under wine: sc create, net start, the collector gets
# the hello; wine's ETW cannot open a real-time trace, so the failed capture ends the run
# and sc query shows STOPPED with the service-specific error 1; sc delete.
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

# net start may already see the service stop again; its report is not what counts.
"$WINE" net start "$service" >"$WORK/net-start.out" 2>&1
wait_for_text "$AGENT_LOG" "Stopped!" 30 || { delete_service; fail "no Stopped!: $(cat "$AGENT_LOG")"; }
wait_for_text "$WORK/collector.err" "hello" 30 || { delete_service; fail "collector saw no hello"; }
for _ in $(seq 1 100); do
  "$WINE" sc query "$service" >"$WORK/query.out" 2>&1
  grep -q "STOPPED" "$WORK/query.out" && break
  sleep 0.2
done
grep -q "STOPPED" "$WORK/query.out" || { delete_service; fail "not STOPPED: $(cat "$WORK/query.out")"; }
tr -d '\r' <"$WORK/query.out" | grep -Eq "WIN32_EXIT_CODE *: *1066" &&
  tr -d '\r' <"$WORK/query.out" | grep -Eq "SERVICE_EXIT_CODE *: *1 " ||
  { delete_service; fail "exit codes: $(cat "$WORK/query.out")"; }

"$WINE" sc delete "$service" >"$WORK/delete.out" 2>&1 || fail "sc delete: $(cat "$WORK/delete.out")"

expect_lines_in_order "run lines" "$(run_sequence_lines "Starting ETW session" "$AGENT_DIR_WIN")" < <(agent_log_messages)
agent_log_messages | tail -n 1 | grep -q "^ERROR - Run failure: capture failed: OpenTrace() failed: " ||
  fail "last line: $(agent_log_messages | tail -n 1)"
check_crlf
echo "wine service: created, started, hello received, failed capture reported STOPPED with service-specific error 1, deleted"
