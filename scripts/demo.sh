#!/usr/bin/env bash
# Shows the agent at work: a real DNS server (unbound) on a loopback port, the collector,
# and the agent capturing that port on the loopback interface; a handful of dig queries;
# the collector's JSON lines. Everything it starts is stopped again by process id.
# Needs root (packet capture) and installs what is missing with apt-get.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: packet capture needs root (or CAP_NET_RAW); run: sudo scripts/demo.sh" >&2
  exit 1
fi

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev
  libldns-dev libfstrm-dev libprotobuf-c-dev protobuf-c-compiler unbound dnsutils iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "demo: installing ${missing[*]}"
  apt-get update -qq >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "demo: apt-get failed" >&2; exit 1; }
fi

bin=$root/build/linux/bin
if [ ! -x "$bin/agent" ] || [ ! -x "$bin/collector" ]; then
  echo "demo: building (cmake --preset linux) ..."
  { cmake --preset linux >/dev/null && cmake --build --preset linux --target agent collector >/dev/null; } ||
    { echo "demo: build failed" >&2; exit 1; }
fi

set -- "$bin"
source "$root/tests/common.sh"
# Unlike a test, the demo keeps its folder: the messages, the pcap and the log stay to look at.
stop_all() {
  local pid
  for pid in "${STARTED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
}
trap stop_all EXIT

dns_port=$(unused_port)
echo "demo: unbound on 127.0.0.1:$dns_port (zone test.example.)"
start_unbound "$dns_port"

start_collector collector --listen 127.0.0.1:0 --json "$WORK/messages.json" --pcap "$WORK/messages.pcap"
echo "demo: collector on 127.0.0.1:$COLLECTOR_PORT"

install_agent agent
cat >"$WORK/agent.conf" <<CONF
# Forward to the collector; capture the DNS server's port on the loopback interface.
target 127.0.0.1:$COLLECTOR_PORT 5
capture-interface lo
dns-port $dns_port
queue-size 1048576
logging on
CONF
start_agent "$WORK/agent.conf"
wait_for_text "$AGENT_LOG" "Entering packet capture loop..." 10 ||
  { cat "$AGENT_LOG" >&2; fail "the agent did not start capturing"; }
echo "demo: agent running (log: $AGENT_LOG)"

for q in "www.test.example A" "mail.test.example A" "test.example MX" "txt.test.example TXT" "nothing.test.example A"; do
  echo "demo: dig $q"
  dig +short +time=2 +tries=1 -p "$dns_port" @127.0.0.1 $q | sed 's/^/      /'
done
echo "demo: dig +tcp www.test.example A"
dig +tcp +short +time=2 +tries=1 -p "$dns_port" @127.0.0.1 www.test.example A | sed 's/^/      /'

wait_for_count "$WORK/messages.json" '"qname"' 12 10 || true
end_cleanly TERM "$AGENT_PID" agent
stop_collector

echo
echo "demo: the collector received (one JSON line per DNS packet):"
cat "$WORK/messages.json"
echo
echo "demo: $(grep -c . "$WORK/messages.json") messages; pcap for Wireshark: $WORK/messages.pcap"
echo "demo: agent log: $AGENT_LOG"
