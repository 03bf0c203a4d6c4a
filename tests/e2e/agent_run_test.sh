#!/usr/bin/env bash
# The agent binary as a user runs it: exit status and output of a usage error, a failed
# start and a failed capture; SIGHUP, SIGPIPE and SIGTERM.
source "$(dirname "$0")/../common.sh"
install_agent agent

# Without a log a failed start's message goes to standard error; with one, nothing is
# printed. Exit status -1 (255) for usage, 1 for a failed start or capture.
printf 'logging on\ncapture-interface tevrin-nosuch0\n' >"$WORK/nosuch.conf"
for row in "|255|usage: agent <config-file>|" \
  "$WORK/missing.conf|1|ERROR - Run failure: fopen($WORK/missing.conf) failed: No such file or directory|" \
  "$WORK/nosuch.conf|1||dns-logger.log"; do
  IFS='|' read -r conf want_status want_err want_log <<<"$row"
  rm -f "$AGENT_LOG"
  timeout 20 "$AGENT" ${conf:+"$conf"} >"$WORK/run.out" 2>"$WORK/run.err"
  status=$?
  expect_equal "${conf:-no argument}: status|standard error|output|log" "$want_status|$want_err||$want_log" \
    "$status|$(cat "$WORK/run.err")|$(cat "$WORK/run.out")|$(ls "$WORK/agent/log")"
done

# A capture file of a header alone: no privileges needed, and its end leaves the agent running.
printf '\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\x01\x00\x00\x00' >"$WORK/empty.pcap"
printf 'logging on\ncapture-file %s\n' "$WORK/empty.pcap" >"$WORK/agent.conf"
# SIGHUP reopens the log by its path (logrotate renames it first); SIGPIPE changes nothing.
rm -f "$AGENT_LOG"
start_agent "$WORK/agent.conf" "Started!"
mv "$AGENT_LOG" "$AGENT_LOG.1"
kill -PIPE "$AGENT_PID"
kill -HUP "$AGENT_PID"
for _ in $(seq 1 50); do [ -e "$AGENT_LOG" ] && break; sleep 0.1; done
end_cleanly TERM "$AGENT_PID" "agent after SIGHUP and SIGPIPE"
expect_equal "Started! and Stopping... in the rotated log, first line of the reopened one" "1 0 Stopping..." \
  "$(grep -c Started! "$AGENT_LOG.1") $(grep -c Stopping... "$AGENT_LOG.1") $(agent_log_messages | head -n 1)"
echo "agent run: usage, failed start and capture, SIGHUP, SIGPIPE, SIGTERM as expected"
