#!/usr/bin/env bash
# agent.exe under wine, in the console and as a Windows service, forwarding to the Linux
# collector on loopback. Wine's ETW cannot open a real-time trace, so the failed capture
# ends each run: exit status 1 in the console, STOPPED with service-specific error 1 as
# a service. The wine prefix is the test's own, under the build folder.
source "$(dirname "$0")/../common.sh"
WINE=$(command -v wine64 || command -v wine) || skip "wine is not installed"
COLLECTOR=${TEVRIN_COLLECTOR:-$BIN/../../linux/bin/collector}
[ -x "$COLLECTOR" ] || skip "no Linux collector at $COLLECTOR (build the linux preset first)"
export WINEPREFIX=$BIN/../wine-agent WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
service=tevrin-agent-test
trap '"$WINE" sc delete $service >/dev/null 2>&1; cleanup; { wineserver -k; wineserver -w; } 2>/dev/null' EXIT
# A new prefix's service manager starts services only from the next wineserver on.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
  { wineserver -k; wineserver -w; } 2>/dev/null
fi
wineserver -p 2>/dev/null

install_agent agent.exe
agent_dir=$(winepath -w "$WORK/agent" 2>/dev/null) || fail "winepath failed"
start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json"
printf 'target 127.0.0.1:%s 2\nqueue-size 1048576\nlogging on\n' "$COLLECTOR_PORT" >"$WORK/agent/agent.conf"

# ended_by_the_capture WHAT: the log's last line, and every line in CR LF (C text mode).
ended_by_the_capture() {
  expect_equal "$1: lines in CR LF, last line" \
    "$(grep -c '' "$AGENT_LOG") ERROR - Run failure: capture failed: OpenTrace() failed: " \
    "$(grep -c $'\r$' "$AGENT_LOG") $(agent_log_messages | tail -n 1 |
      grep -o '^ERROR - Run failure: capture failed: OpenTrace() failed: ')"
}

"$WINE" "$AGENT" >"$WORK/usage.out" 2>"$WORK/usage.err"
expect_equal "no argument: status, standard error" "255 usage: agent <config-file>" \
  "$? $(tr -d '\r' <"$WORK/usage.err")"
(cd "$WORK" && exec timeout 60 "$WINE" "$AGENT" "$agent_dir\\agent.conf" >"$WORK/agent.out" 2>&1)
expect_equal "console run: status, output" "1 " "$? $(cat "$WORK/agent.out")"
ended_by_the_capture "console run"
mv "$AGENT_LOG" "$WORK/console.log"

"$WINE" sc create "$service" binPath= "$agent_dir\\agent.exe $agent_dir\\agent.conf" >"$WORK/sc.out" 2>&1 ||
  fail "sc create: $(cat "$WORK/sc.out")"
# net start may already see the service stop again; its report is not what counts.
"$WINE" net start "$service" >"$WORK/net-start.out" 2>&1
wait_for_text "$AGENT_LOG" "Stopped!" 30 || fail "no Stopped!: $(cat "$AGENT_LOG")"
for _ in $(seq 1 100); do
  "$WINE" sc query "$service" 2>&1 | tr -d '\r' >"$WORK/query.out"
  grep -q STOPPED "$WORK/query.out" && break
  sleep 0.2
done
expect_equal "service: state, exit code, service-specific exit code" "STOPPED 1066 1" \
  "$(awk '$1 == "STATE" { s = $4 } $1 ~ /_EXIT_CODE$/ { c = c " " $3 } END { print s c }' "$WORK/query.out")"
ended_by_the_capture "service run"
expect_equal "hello lines" 2 "$(grep -c 'hello, agent' "$WORK/collector.err")"
echo "wine: console and service runs connected and ended on the failed capture, as expected"
