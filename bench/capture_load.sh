#!/usr/bin/env bash
# Live capture under a real load: dnsperf sends queries to unbound on a loopback port while
# the agent captures lo and forwards to the collector (--json), and tcpdump captures the
# same traffic as a reference. One table row per run: what dnsperf sent and got back
# against what the collector wrote, and the CPU each capturing process spent. A response
# dnsperf gave up on is still on the wire, so "missing" can fall below 0; tcpdump's count
# (which also holds TCP's segments without DNS data) is the other reference.
#
#   bench/capture_load.sh BIN_DIR [udp:RATE|tcp:RATE|idle ...]   (root: live capture)
#
# RUNS (default 3) repeats each load, SECONDS (default 5) is the length of one run.
# Without loads it runs the set the capture is expected to keep up with.
set -u
BIN=$(cd "${1:?usage: $0 BIN_DIR [udp:RATE|tcp:RATE|idle ...]}" && pwd)
shift
loads=("$@")
[ ${#loads[@]} -eq 0 ] &&
  loads=(idle udp:5000 udp:20000 udp:100000 udp:150000 tcp:60000)
runs=${RUNS:-3}
seconds=${SECONDS_PER_RUN:-5}
[ "$(id -u)" -eq 0 ] || { echo "live capture needs root" >&2; exit 1; }
for tool in dnsperf unbound tcpdump dig; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

# WORK, fail, and the stop of every process in STARTED_PIDS at the end: the tests' script kit.
source "$(dirname "$0")/../tests/common.sh" "$BIN"
# The benchmark shares the machine: its processes get the CPU before the builds do.
# (Started straight from nice, not through a function, so that $! is the process itself.)
run="nice -n -15"
tick=$(getconf CLK_TCK)

# CPU seconds (user + system) a process has used so far.
cpu_seconds() {
  awk -v t="$tick" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / t }' "/proc/$1/stat"
}

# CPU seconds the agent's capture thread has used so far.
capture_thread_seconds() {
  local task
  for task in /proc/"$1"/task/*; do
    [ "$(cat "$task/comm")" = capture ] && { cpu_seconds "$1/task/${task##*/}"; return; }
  done
  echo 0
}

stop() {
  kill -TERM "$1" 2>/dev/null
  local i
  for (( i = 0; i < 100; i++ )); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# Counts the lines of FILE until they stop growing for a second.
settled_lines() {
  local before=-1 now
  now=$(wc -l <"$1")
  while [ "$now" != "$before" ]; do
    before=$now
    sleep 1
    now=$(wc -l <"$1")
  done
  echo "$now"
}

port=$(( 20000 + RANDOM % 40000 ))
cat >"$WORK/unbound.conf" <<CONF
server:
  do-daemonize: no
  username: ""
  chroot: ""
  pidfile: ""
  directory: "$WORK"
  interface: 127.0.0.1@$port
  port: $port
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  use-syslog: no
  logfile: ""
  verbosity: 0
  num-threads: 2
  so-reuseport: yes
  incoming-num-tcp: 200
  local-zone: "test.example." static
  local-data: "www.test.example. 300 IN A 192.0.2.10"
  local-data: "mail.test.example. 300 IN A 192.0.2.25"
CONF
$run unbound -d -c "$WORK/unbound.conf" >"$WORK/unbound.log" 2>&1 &
STARTED_PIDS+=($!)
for (( i = 0; i < 100; i++ )); do
  dig +short +time=1 +tries=1 -p "$port" @127.0.0.1 www.test.example A 2>/dev/null | grep -q . && break
  sleep 0.1
done
printf 'www.test.example A\nmail.test.example A\n' >"$WORK/queries"

mkdir -p "$WORK/agent/log"
cp "$BIN/agent" "$WORK/agent/agent"

# One run: prints a table row.
measure() {
  local mode=$1 rate=$2
  : >"$WORK/messages.json"
  rm -f "$WORK/agent/log/"*
  $run "$BIN/collector" --listen 127.0.0.1:0 --json "$WORK/messages.json" 2>"$WORK/collector.err" &
  local collector=$!
  STARTED_PIDS+=($collector)
  local cport=
  for (( i = 0; i < 100; i++ )); do
    [ -n "$cport" ] && break
    sleep 0.1
    cport=$(sed -n 's/.*listening on .*:\([0-9][0-9]*\).*/\1/p' "$WORK/collector.err" | head -n 1)
  done
  cat >"$WORK/agent.conf" <<CONF
target 127.0.0.1:$cport 5
capture-interface lo
dns-port $port
queue-size 67108864
logging on
CONF
  $run "$WORK/agent/agent" "$WORK/agent.conf" >"$WORK/agent.out" 2>&1 &
  local agent=$!
  STARTED_PIDS+=($agent)
  $run tcpdump -i lo -B 8192 -s 262144 -w /dev/null "port $port" 2>"$WORK/tcpdump.err" &
  local tcpdump=$!
  STARTED_PIDS+=($tcpdump)
  for (( i = 0; i < 100; i++ )); do
    grep -q "Connected to" "$WORK/agent/log/"* 2>/dev/null && grep -q listening "$WORK/tcpdump.err" && break
    sleep 0.1
  done
  local agent_cpu0 collector_cpu0 capture_cpu0
  agent_cpu0=$(cpu_seconds "$agent")
  capture_cpu0=$(capture_thread_seconds "$agent")
  collector_cpu0=$(cpu_seconds "$collector")

  local sent=0 done=0 qps=- packets
  if [ "$mode" = idle ]; then
    sleep "$seconds"
  else
    local transport=()
    [ "$mode" = tcp ] && transport=(-m tcp -c 20)
    $run dnsperf -s 127.0.0.1 -p "$port" -d "$WORK/queries" -l "$seconds" -Q "$rate" -q 1000 \
      "${transport[@]}" >"$WORK/dnsperf.out" 2>&1
    sent=$(awk '/Queries sent:/ { print $3 }' "$WORK/dnsperf.out")
    done=$(awk '/Queries completed:/ { print $3 }' "$WORK/dnsperf.out")
    qps=$(awk '/Queries per second:/ { printf "%d", $4 }' "$WORK/dnsperf.out")
  fi
  packets=$(( sent + done ))
  local received
  received=$(settled_lines "$WORK/messages.json")
  local agent_cpu collector_cpu capture_cpu
  capture_cpu=$(awk -v a="$(capture_thread_seconds "$agent")" -v b="$capture_cpu0" 'BEGIN { printf "%.3f", a - b }')
  agent_cpu=$(awk -v a="$(cpu_seconds "$agent")" -v b="$agent_cpu0" 'BEGIN { printf "%.3f", a - b }')
  collector_cpu=$(awk -v a="$(cpu_seconds "$collector")" -v b="$collector_cpu0" 'BEGIN { printf "%.3f", a - b }')
  stop "$tcpdump"
  stop "$agent"
  stop "$collector"
  local kernel_drops captured loss
  kernel_drops=$(awk '/dropped by kernel/ { print $1 }' "$WORK/tcpdump.err")
  captured=$(awk '/packets captured/ { print $1 }' "$WORK/tcpdump.err")
  loss=$(grep -ho 'capture_dropped[ =:]*[0-9]*' "$WORK/agent/log/"* 2>/dev/null | tail -n 1 | grep -o '[0-9]*$')
  local load
  load=$(cut -d' ' -f1 /proc/loadavg)
  if [ "$mode" = idle ]; then
    # Idle: CPU seconds over the whole run instead of per million packets.
    printf '| idle %s s | - | 0 | %s | - | %s | %s s | %s s | %s s | %s / %s | %s |\n' "$seconds" \
      "$received" "${loss:--}" "$agent_cpu" "$capture_cpu" "$collector_cpu" "${captured:--}" \
      "${kernel_drops:--}" "$load"
    return
  fi
  awk -v m="$mode" -v r="$rate" -v q="$qps" -v p="$packets" -v c="$received" -v l="${loss:--}" \
    -v a="$agent_cpu" -v t="$capture_cpu" -v k="$collector_cpu" -v d="${captured:--} / ${kernel_drops:--}" -v u="$load" 'BEGIN {
      per = p > 0 ? 1e6 / p : 0
      printf "| %s %d/s | %s | %d | %d | %d | %s | %.2f | %.2f | %.2f | %s | %s |\n",
        m, r, q, p, c, p - c, l, a * per, t * per, k * per, d, u
    }'
}

echo "| load | queries/s | DNS packets sent | collector received | missing | capture loss |" \
  "agent CPU s/M packets | its capture thread | collector CPU s/M packets |" \
  "tcpdump captured / kernel drops | load avg |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for load in "${loads[@]}"; do
  mode=${load%%:*}
  rate=${load#*:}
  [ "$mode" = idle ] && rate=0
  for (( n = 0; n < runs; n++ )); do
    measure "$mode" "$rate"
  done
done
