#!/usr/bin/env bash
# The agent binary's start and stop as a user sees them: usage error, missing
# configuration, logging switch, SIGTERM and SIGINT after start.
source "$(dirname "$0")/lib.sh"
install_agent

# No argument: the usage text on standard error, exit status -1 (255), nothing else.
"$AGENT" >"$WORK/usage.out" 2>"$WORK/usage.err"
status=$?
[ "$status" -eq 255 ] || fail "usage error exited with $status"
[ "$(cat "$WORK/usage.err")" = "usage: agent <config-file>" ] || fail "usage text: $(cat "$WORK/usage.err")"
[ ! -s "$WORK/usage.out" ] || fail "usage error wrote to standard output"
[ ! -e "$AGENT_LOG" ] || fail "usage error created a log"

# A missing configuration file: the run ends at once, exit 0, nothing written anywhere.
timeout 10 "$AGENT" "$WORK/missing.conf" >"$WORK/missing.out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "missing configuration exited with $status"
[ ! -s "$WORK/missing.out" ] || fail "missing configuration printed: $(cat "$WORK/missing.out")"
[ ! -e "$AGENT_LOG" ] || fail "missing configuration created a log"

# The capture replays an empty file, so the test needs no privileges.
: >"$WORK/empty.pcap"

# logging must be exactly "on": any other value runs the agent without a log.
printf 'logging ON\ncapture-file %s\n' "$WORK/empty.pcap" >"$WORK/loud.conf"
start_agent "$WORK/loud.conf"
sleep 1
kill -0 "$AGENT_PID" 2>/dev/null || fail "agent with logging ON did not keep running"
kill -TERM "$AGENT_PID"
wait "$AGENT_PID"
status=$?
[ "$status" -eq 0 ] || fail "agent with logging ON exited with $status"
[ ! -e "$AGENT_LOG" ] || fail "logging ON created a log file"

for signal in TERM INT; do
  rm -f "$AGENT_LOG"
  printf 'logging on   # with a comment\nqueue-size 65536\ncapture-file %s\n' "$WORK/empty.pcap" >"$WORK/agent.conf"
  start_agent "$WORK/agent.conf"
  wait_for_text "$AGENT_LOG" "Started!" 10 || fail "no Started! line: $(cat "$AGENT_LOG" 2>/dev/null)"
  kill -"$signal" "$AGENT_PID"
  for _ in $(seq 1 100); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$AGENT_PID" 2>/dev/null && fail "SIG$signal did not stop the agent"
  wait "$AGENT_PID"
  status=$?
  [ "$status" -eq 0 ] || fail "SIG$signal: exit status $status"
  expect_lines_in_order "SIG$signal: run lines" \
    "$(run_sequence_lines "Starting capture session" "$WORK/agent")" < <(agent_log_messages)
  # Every line carries the time stamp and this process's id.
  bad=$(grep -cvE "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z \[$AGENT_PID\]: " "$AGENT_LOG")
  [ "$bad" -eq 0 ] || fail "SIG$signal: $bad lines without the prefix"
  grep -q "ERROR - Run failure" "$AGENT_LOG" && fail "SIG$signal: run failure logged"
done
echo "agent run: usage, missing config, logging switch, SIGTERM and SIGINT all as expected"
