#!/usr/bin/env bash
# The agent binary's start and stop as a user sees them: usage error, failed starts and
# a failed capture (exit status 1), logging switch, SIGTERM and SIGINT after start,
# SIGHUP reopening a rotated log, SIGPIPE ignored.
source "$(dirname "$0")/lib.sh"
install_agent

# No argument: the usage text, exit status -1 (255). A failed start exits with status 1;
# without a log its message goes to standard error. Nothing on standard output, no log.
printf 'queue-size 1\n' >"$WORK/tiny.conf"
for case in "|255|usage: agent <config-file>" \
  "$WORK/missing.conf|1|ERROR - Run failure: fopen($WORK/missing.conf) failed: No such file or directory" \
  "$WORK/tiny.conf|1|ERROR - Run failure: SensorQueue(1) failed: a queue needs at least 4 bytes for a record's length field"; do
  IFS='|' read -r conf want_status want_err <<<"$case"
  timeout 10 "$AGENT" ${conf:+"$conf"} >"$WORK/failed.out" 2>"$WORK/failed.err"
  status=$?
  [ "$status" -eq "$want_status" ] || fail "${conf:-no argument}: exit status $status"
  expect_equal "${conf:-no argument}: standard error" "$want_err" "$(cat "$WORK/failed.err")"
  [ ! -s "$WORK/failed.out" ] || fail "${conf:-no argument}: wrote to standard output"
  [ ! -e "$AGENT_LOG" ] || fail "${conf:-no argument}: created a log"
done

# A capture that cannot start ends the run as a failure, after the usual stop lines.
printf 'logging on\ncapture-interface tevrin-nosuch0\n' >"$WORK/nosuch.conf"
timeout 20 "$AGENT" "$WORK/nosuch.conf" >"$WORK/nosuch.out" 2>&1
status=$?
[ "$status" -eq 1 ] || fail "missing interface: exit status $status"
[ ! -s "$WORK/nosuch.out" ] || fail "missing interface printed with a log open: $(cat "$WORK/nosuch.out")"
capture_error="pcap_activate(tevrin-nosuch0) failed: "
expect_lines_in_order "missing interface" "$(printf '%s\n' "Started!" "ERROR - Packet capture failed: $capture_error" \
  "Stopping..." "Stopped!" "ERROR - Run failure: capture failed: $capture_error")" \
  < <(agent_log_messages | sed 's/\(failed: pcap_activate(tevrin-nosuch0) failed: \).*/\1/')
rm -f "$AGENT_LOG"

# The capture replays a capture file without packets (its header alone), so the test
# needs no privileges; its end is a normal end that leaves the agent running.
printf '\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\x01\x00\x00\x00' >"$WORK/empty.pcap"

stop_agent() {  # SIGNAL: the agent ends, with status 0
  kill -"$1" "$AGENT_PID"
  for _ in $(seq 1 100); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$AGENT_PID" 2>/dev/null && fail "SIG$1 did not stop the agent"
  wait "$AGENT_PID" || fail "SIG$1: exit status $?"
}
# logging must be exactly "on": any other value runs the agent without a log.
printf 'logging ON\ncapture-file %s\n' "$WORK/empty.pcap" >"$WORK/loud.conf"
start_agent "$WORK/loud.conf"
sleep 1
kill -0 "$AGENT_PID" 2>/dev/null || fail "agent with logging ON did not keep running"
stop_agent TERM
[ ! -e "$AGENT_LOG" ] || fail "logging ON created a log file"

for signal in TERM INT; do
  rm -f "$AGENT_LOG"
  printf 'logging on   # with a comment\nqueue-size 65536\ncapture-file %s\n' "$WORK/empty.pcap" >"$WORK/agent.conf"
  start_agent "$WORK/agent.conf" "Started!"
  stop_agent "$signal"
  expect_lines_in_order "SIG$signal: run lines" \
    "$(run_sequence_lines "Starting capture session" "$WORK/agent")" < <(agent_log_messages)
  # Every line carries the time stamp and this process's id.
  bad=$(grep -cvE "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z \[$AGENT_PID\]: " "$AGENT_LOG")
  [ "$bad" -eq 0 ] || fail "SIG$signal: $bad lines without the prefix"
  grep -q "ERROR - Run failure" "$AGENT_LOG" && fail "SIG$signal: run failure logged"
done
# SIGHUP reopens the log by its path (logrotate renames it first); SIGPIPE changes nothing.
rm -f "$AGENT_LOG"
start_agent "$WORK/agent.conf" "Started!"
mv "$AGENT_LOG" "$AGENT_LOG.1"
kill -PIPE "$AGENT_PID"
kill -HUP "$AGENT_PID"
for _ in $(seq 1 50); do [ -e "$AGENT_LOG" ] && break; sleep 0.1; done
[ -e "$AGENT_LOG" ] || fail "SIGHUP did not reopen the log"
kill -0 "$AGENT_PID" 2>/dev/null || fail "SIGHUP or SIGPIPE ended the agent"
stop_agent TERM
grep -q "Started!" "$AGENT_LOG.1" || fail "rotated log lost its lines"
grep -q "Stopping..." "$AGENT_LOG.1" && fail "lines after SIGHUP went to the rotated log"
[ "$(agent_log_messages | head -n 1)" = "Stopping..." ] || fail "reopened log: $(cat "$AGENT_LOG")"
echo "agent run: usage, failed starts and capture (status 1), logging switch, SIGTERM, SIGINT, SIGHUP, SIGPIPE all as expected"
