#include "sensor/pcap_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "sensor/host_addresses_linux.h"
#include "wire/wire_format.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace kx::sensor {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
constexpr size_t npos = std::string::npos;

// Five queries to unbound on 127.0.0.1@53535 and their responses, taken with tcpdump -i lo.
const std::string kFixture =
    std::string(TEVRIN_SOURCE_DIR) + "/tests/sensor/data/dns_loopback.pcap";
constexpr uint16_t kFixturePort = 53535;
constexpr size_t kQueryCount = 5;  // in the fixture and in send_queries
const char kNeedsRoot[] = "capturing needs root (CAP_NET_RAW); run this test as root";

config::CaptureSettings from_file(const std::string& file, uint16_t port) { return {"any", port, file}; }
config::CaptureSettings on_interface(const std::string& name, uint16_t port) { return {name, port, ""}; }

struct Message {
  uint32_t time = 0;
  std::string device;
  std::string server;
  uint8_t is_tcp = 0;
  std::vector<uint8_t> dns;
};

// The messages a handler on the capture thread receives.
class Collected {
 public:
  static int32_t handler(const uint8_t* data, uint32_t length, void* user) {
    auto* self = static_cast<Collected*>(user);
    wire::DnsMessageView v;
    if (wire::parse_dns_message(data, length, &v) != wire::ParseResult::ok) {
      ADD_FAILURE() << "unreadable message of " << length << " bytes";
      return -1;
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->messages_.push_back(Message{v.time_seconds, std::string(v.device),
                                      std::string(v.server), v.is_tcp,
                                      {v.packet, v.packet + v.packet_size}});
    return 0;
  }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t size() { return messages().size(); }

 private:
  std::mutex mutex_;
  std::vector<Message> messages_;
};

// --- processes, ports and a DNS server

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Runs a shell command, bounded by coreutils' timeout, and returns what it printed.
std::string run_command(const std::string& command) {
  std::string out;
  FILE* pipe = popen(("timeout 30 " + command).c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string missing_program(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
    if (system(probe.c_str()) != 0) return std::string(name) + " is not installed";
  }
  return "";
}

// A shell command run as a child process with its output in a file, ended (TERM, then
// KILL) when the object goes.
class Child {
 public:
  Child(const std::string& command, const std::string& output_path) : pid_(fork()) {
    if (pid_ != 0) return;
    std::string line = "exec " + command + " >'" + output_path + "' 2>&1";
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ~Child() { end(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Sends the signal and reaps the child within 5 seconds, killing it after that.
  void end(int signal_number) {
    if (pid_ <= 0) return;
    kill(pid_, signal_number);
    if (!wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5s)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// A port that is free on 127.0.0.1 for both UDP and TCP right now.
uint16_t free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* any = reinterpret_cast<sockaddr*>(&address);
    socklen_t size = sizeof address;
    int tcp_socket = socket(AF_INET, SOCK_STREAM, 0);
    bind(tcp_socket, any, size);
    getsockname(tcp_socket, any, &size);
    int udp_socket = socket(AF_INET, SOCK_DGRAM, 0);
    bool udp_free = bind(udp_socket, any, size) == 0;
    close(udp_socket);
    close(tcp_socket);
    if (udp_free) return ntohs(address.sin_port);
  }
  return 0;
}

std::string dig(uint16_t port, const std::string& query) {
  return run_command("dig @127.0.0.1 -p " + std::to_string(port) + " +tries=1 +time=3 " + query +
                     " 2>&1");
}

void send_queries(uint16_t port) {
  for (const char* query : {"a.example.test A", "t.example.test TXT", "missing.example.test A",
                            "+tcp b.example.test A", "+tcp t.example.test TXT"}) {
    dig(port, query);
  }
}

// unbound answering a few local names on 127.0.0.1@port, UDP and TCP.
class DnsServer {
 public:
  explicit DnsServer(const test::TempDir& dir) : port_(free_port()) {
    std::string config = dir.file("unbound.conf");
    test::write_file(config, "server:\n  interface: 127.0.0.1@" + std::to_string(port_) +
                                 "\n  directory: \"" + dir.path() + "\"\n" + R"(
  do-daemonize: no
  username: ""
  chroot: ""
  pidfile: ""
  use-syslog: no
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  module-config: "iterator"
  local-zone: "example.test." static
  local-data: "a.example.test. IN A 192.0.2.1"
  local-data: "b.example.test. IN A 192.0.2.2"
  local-data: "t.example.test. IN TXT \"hello capture\""
)");
    process_ = std::make_unique<Child>("unbound -c '" + config + "'", dir.file("unbound.out"));
    ready_ = wait_until(
        [&] { return dig(port_, "+short a.example.test A").find("192.0.2.1") != npos; }, 10s);
  }
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_;
  std::unique_ptr<Child> process_;
  bool ready_ = false;
};

class CaptureTest : public ::testing::Test {
 protected:
  // Log messages that begin with prefix.
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& m : log.messages()) n += m.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  bool wait_for_count(const std::string& prefix, size_t n) {
    return wait_until([&] { return count(prefix) >= n; });
  }
  // Replays file through a session and returns its counts once the file's end was
  // reached.
  CaptureCounts replay(const std::string& file, uint16_t port,
                       MessageHandler handler = Collected::handler, void* user = nullptr) {
    PcapSession session(from_file(file, port));
    session.set_message_handler(handler, user != nullptr ? user : &collected);
    size_t finished = count("Packet capture finished");
    session.start();
    EXPECT_TRUE(wait_for_count("Packet capture finished", finished + 1));
    session.stop();
    return session.counts();
  }

  test::TempDir dir;
  test::LogCapture log;
  Collected collected;
};

// --- tshark's reading of the same file

std::string to_hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

// tshark's line for each DNS frame of the file (whole seconds, source, destination, UDP
// payload, TCP payload) must be the line of the session's next message: a query comes
// from the device, a response from the server, and nothing may be left over on either side.
void expect_matches_tshark(const std::string& file, uint16_t port,
                           const std::vector<Message>& messages) {
  std::string p = std::to_string(port);
  std::string out = run_command(
      "tshark -r " + file + " -o tcp.desegment_tcp_streams:FALSE -d udp.port==" + p +
      ",dns -d tcp.port==" + p + ",dns -Y dns -T fields -e frame.time_epoch -e ip.src " +
      "-e ip.dst -e udp.payload -e tcp.payload 2>/dev/null");
  std::string seen;
  for (const std::string& line : test::split_lines(out)) {
    if (!line.empty()) seen += line.substr(0, line.find('.')) + line.substr(line.find('\t')) + "\n";
  }
  std::string framed;
  for (const Message& m : messages) {
    bool response = m.dns.size() > 2 && (m.dns[2] & 0x80) != 0;
    std::vector<uint8_t> payload = m.dns;
    auto size = static_cast<uint16_t>(m.dns.size());
    if (m.is_tcp) payload.insert(payload.begin(), {uint8_t(size >> 8), uint8_t(size)});
    framed += std::to_string(m.time) + "\t" + (response ? m.server : m.device) + "\t" +
              (response ? m.device : m.server) + (m.is_tcp ? "\t\t" : "\t") + to_hex(payload) +
              (m.is_tcp ? "\n" : "\t\n");
  }
  EXPECT_FALSE(seen.empty());
  EXPECT_EQ(framed, seen);
}

// --- replay of a file

TEST_F(CaptureTest, ReplaysTheFixtureExactlyAsTsharkReadsIt) {
  std::string reason = missing_program({"tshark"});
  if (!reason.empty()) GTEST_SKIP() << reason;
  replay(kFixture, kFixturePort);
  EXPECT_EQ(collected.size(), 2 * kQueryCount);
  expect_matches_tshark(kFixture, kFixturePort, collected.messages());
  EXPECT_EQ(log.messages(),
            (Lines{"Starting packet capture on " + kFixture, "Entering packet capture loop...",
                   "Packet capture finished",
                   "Packet capture skipped: 0 truncated, 0 malformed, 0 fragments, "
                   "0 split TCP messages, 0 IPv6 clients, 0 other packets"}));
}

TEST_F(CaptureTest, ReplaysACaptureOfARealServerTakenNow) {
  std::string reason = geteuid() != 0 ? kNeedsRoot
                                      : missing_program({"unbound", "dig", "tcpdump", "tshark"});
  if (!reason.empty()) GTEST_SKIP() << reason;
  DnsServer server(dir);
  ASSERT_TRUE(server.ready()) << test::read_file(dir.file("unbound.out"));
  std::string file = dir.file("capture.pcap");
  {
    std::string output = dir.file("tcpdump.out");
    Child tcpdump("tcpdump -i lo --immediate-mode -U -w '" + file + "' port " +
                      std::to_string(server.port()),
                  output);
    ASSERT_TRUE(wait_until(
        [&] { return test::read_file(output).find("listening on") != npos; }, 10s));
    send_queries(server.port());
    // Each packet is written as it comes; the last ones may still be on their way.
    std::this_thread::sleep_for(500ms);
    tcpdump.end(SIGINT);
  }
  replay(file, server.port());
  EXPECT_EQ(collected.size(), 2 * kQueryCount);
  expect_matches_tshark(file, server.port(), collected.messages());
}

int32_t reject_every_other(const uint8_t*, uint32_t length, void* user) {
  if ((*static_cast<int*>(user))++ % 2 == 0) {
    throw SensorError("push(" + std::to_string(length) + ") failed: record too large");
  }
  return 0;
}

TEST_F(CaptureTest, AHandlerThatRaisesDropsOnlyThatPacket) {
  int calls = 0;
  // Refused or not, each message was handed over: the queue counts the refusals.
  EXPECT_EQ(replay(kFixture, kFixturePort, reject_every_other, &calls).captured,
            2 * kQueryCount);
  EXPECT_EQ(calls, static_cast<int>(2 * kQueryCount));
  EXPECT_EQ(count("ERROR - Process packet failed: push("), kQueryCount);
}

// --- failures of the capture itself: one error line, then the thread ends

void write_pcap_of_link_type(const std::string& path, int datalink) {
  pcap_t* dead = pcap_open_dead(datalink, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(dumper, nullptr);
  uint8_t bytes[20] = {};
  struct pcap_pkthdr header {};
  header.caplen = header.len = sizeof bytes;
  pcap_dump(reinterpret_cast<u_char*>(dumper), &header, bytes);
  pcap_dump_close(dumper);
  pcap_close(dead);
}

TEST_F(CaptureTest, ReportsEachCaptureFailureInOneErrorLine) {
  std::string not_pcap = dir.file("not-a-capture.pcap");
  test::write_file(not_pcap, "this is no capture file at all\n");
  std::string wifi = dir.file("wifi.pcap");
  write_pcap_of_link_type(wifi, DLT_IEEE802_11);
  std::string missing = dir.file("missing.pcap");
  const std::pair<config::CaptureSettings, std::string> cases[] = {
      {on_interface("tevrin-nope0", 53), "pcap_activate(tevrin-nope0) failed: "},
      {from_file(missing, 53), "pcap_open_offline(" + missing + ") failed: "},
      {from_file(not_pcap, 53), "pcap_open_offline(" + not_pcap + ") failed: "},
      {from_file(wifi, 53),
       "pcap_datalink(" + wifi + ") failed: unsupported link type 105 (IEEE802_11)"},
  };
  for (const auto& [settings, error] : cases) {
    SCOPED_TRACE(error);
    size_t before = log.messages().size();
    size_t errors = count("ERROR - ");
    std::vector<std::string> failures;
    {
      PcapSession session(settings);
      session.set_failure_handler(
          [](const char* message, void* user) {
            static_cast<std::vector<std::string>*>(user)->push_back(message);
          },
          &failures);
      session.start();
      ASSERT_TRUE(wait_for_count("ERROR - ", errors + 1));
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind(error, 0), 0u) << failures[0];
    Lines lines = log.messages();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    ASSERT_EQ(lines.size(), 3u);
    std::string source = settings.capture_file.empty() ? settings.interface : settings.capture_file;
    EXPECT_EQ(lines[0], "Starting packet capture on " + source);
    EXPECT_EQ(lines[1].rfind("ERROR - Packet capture failed: " + error, 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("Packet capture skipped: ", 0), 0u) << lines[2];
  }
}

// --- lifecycle

TEST_F(CaptureTest, StartTwiceRunsOneCaptureAndAStoppedSessionStartsAfresh) {
  {
    PcapSession idle(config::CaptureSettings{});
    idle.stop();
  }
  EXPECT_TRUE(log.messages().empty());
  PcapSession session(from_file(kFixture, kFixturePort));
  session.set_message_handler(Collected::handler, &collected);
  for (size_t round = 1; round <= 2; ++round) {
    session.start();
    session.start();
    ASSERT_TRUE(wait_for_count("Packet capture finished", round));
    session.stop();
    session.stop();
    EXPECT_EQ(count("Starting packet capture on"), round);
    EXPECT_EQ(count("Packet capture skipped:"), round);
    EXPECT_EQ(collected.size(), round * 2 * kQueryCount);
  }
}

// --- live capture on loopback

TEST_F(CaptureTest, DeliversLiveLoopbackTrafficOnceOnAnyAndOnLo) {
  std::string reason = geteuid() != 0 ? kNeedsRoot : missing_program({"unbound", "dig"});
  if (!reason.empty()) GTEST_SKIP() << reason;
  DnsServer server(dir);
  ASSERT_TRUE(server.ready()) << test::read_file(dir.file("unbound.out"));
  for (const char* interface : {"any", "lo"}) {
    SCOPED_TRACE(interface);
    Collected live;
    PcapSession session(on_interface(interface, server.port()));
    session.set_message_handler(Collected::handler, &live);
    size_t entered = count("Entering packet capture loop...");
    session.start();
    ASSERT_TRUE(wait_for_count("Entering packet capture loop...", entered + 1));
    send_queries(server.port());
    EXPECT_TRUE(wait_until([&] { return live.size() >= 2 * kQueryCount; }, 10s));
    // Late copies, if any, would arrive right behind the originals.
    std::this_thread::sleep_for(300ms);
    session.stop();
    std::vector<Message> messages = live.messages();
    ASSERT_EQ(messages.size(), 2 * kQueryCount);
    // Queries and responses alternate, each pair with one DNS ID: UDP first, then TCP.
    std::string seen;
    for (size_t i = 0; i < messages.size(); ++i) {
      const Message& m = messages[i];
      ASSERT_GE(m.dns.size(), 12u);
      EXPECT_EQ(m.device + " " + m.server, "127.0.0.1 127.0.0.1");
      EXPECT_EQ(memcmp(m.dns.data(), messages[i - i % 2].dns.data(), 2), 0) << "message " << i;
      seen += std::string(m.is_tcp ? "tcp " : "udp ") + (m.dns[2] & 0x80 ? "response," : "query,");
    }
    EXPECT_EQ(seen, "udp query,udp response,udp query,udp response,udp query,udp response,"
                    "tcp query,tcp response,tcp query,tcp response,");
  }
}

std::atomic<bool> hold_capture{false};
int32_t hold_while_asked(const uint8_t*, uint32_t, void*) {
  while (hold_capture) std::this_thread::sleep_for(1ms);
  return 0;
}

// The capture thread is held up while far more datagrams arrive than the kernel's buffer
// holds: what the kernel dropped is counted, so every datagram sent is accounted for. On
// lo the kernel offers each packet once each way and counts both copies it drops, so the
// counts may exceed what was sent, never fall short.
TEST_F(CaptureTest, PacketsTheKernelDroppedAreCountedSoThatNoneIsLostSilently) {
  if (geteuid() != 0) GTEST_SKIP() << kNeedsRoot;
  const uint16_t port = free_port();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  auto* to = reinterpret_cast<sockaddr*>(&address);
  // A bound receiver, so that no port-unreachable errors come back.
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(bind(receiver, to, sizeof address), 0);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(connect(sender, to, sizeof address), 0);

  PcapSession session(on_interface("lo", port));
  session.set_message_handler(hold_while_asked, nullptr);
  hold_capture = true;
  size_t entered = count("Entering packet capture loop...");
  session.start();
  ASSERT_TRUE(wait_for_count("Entering packet capture loop...", entered + 1));
  constexpr uint64_t kSent = 60000;
  const std::vector<uint8_t> datagram(1400, 0x21);
  uint64_t sent = 0;
  for (uint64_t i = 0; i < kSent; ++i) {
    sent += send(sender, datagram.data(), datagram.size(), 0) == ssize_t(datagram.size());
  }
  hold_capture = false;
  auto accounted = [&] {
    CaptureCounts c = session.counts();
    return c.captured + c.skipped + c.dropped;
  };
  EXPECT_TRUE(wait_until([&] { return accounted() >= sent; }, 20s));
  session.stop();
  close(sender);
  close(receiver);
  const CaptureCounts counts = session.counts();
  EXPECT_EQ(sent, kSent);
  EXPECT_GT(counts.dropped, 0u);
  EXPECT_LT(counts.captured, sent);
  EXPECT_GE(counts.captured + counts.skipped + counts.dropped, sent)
      << counts.captured << " captured, " << counts.skipped << " skipped, " << counts.dropped
      << " dropped";
}

// Whatever phase the thread is in, and with no traffic to wake the capture, stop ends it.
TEST_F(CaptureTest, StopEndsALiveCapturePromptlyInAnyPhase) {
  if (geteuid() != 0) GTEST_SKIP() << kNeedsRoot;
  for (int round = 0; round < 20; ++round) {
    PcapSession session(on_interface("lo", 9));
    session.start();
    session.stop();
  }
  EXPECT_EQ(count("Starting packet capture on lo"), 20u);
  EXPECT_EQ(count("Packet capture skipped:"), 20u);

  size_t entered = count("Entering packet capture loop...");
  PcapSession session(on_interface("lo", free_port()));
  session.start();
  ASSERT_TRUE(wait_for_count("Entering packet capture loop...", entered + 1));
  auto began = std::chrono::steady_clock::now();
  session.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_EQ(count("Packet capture finished"), count("Entering packet capture loop..."));
}

// --- this host's addresses

std::vector<IpAddress> host_addresses;
int listings = 0;
int64_t now_ms = 1000;
bool list_host_addresses(std::vector<IpAddress>* out) {
  ++listings;
  *out = host_addresses;
  return true;
}
int64_t host_clock() { return now_ms; }

IpAddress ip(uint8_t family, std::vector<uint8_t> bytes) {
  IpAddress address;
  address.family = family;
  memcpy(address.bytes, bytes.data(), bytes.size());
  return address;
}

TEST(HostAddresses, FindsNewAddressesAfterTheRefreshIntervalAndNotBefore) {
  host_addresses = {ip(4, {10, 0, 0, 1})};
  HostAddresses host(list_host_addresses, host_clock, 5000);
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 1})));
  host_addresses.push_back(ip(4, {10, 0, 0, 2}));
  EXPECT_FALSE(host.is_local(ip(4, {10, 0, 0, 2})));  // listed 0 ms ago
  now_ms += 4999;
  EXPECT_FALSE(host.is_local(ip(4, {10, 0, 0, 2})));
  EXPECT_EQ(listings, 1);
  now_ms += 1;
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 2})));
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 1})));  // a known address costs no listing
  EXPECT_EQ(listings, 2);
}

TEST(HostAddresses, TakesAllOfTheLoopbackNetAsLocalAndListsThisHostsInterfaces) {
  HostAddresses nothing_listed([](std::vector<IpAddress>* out) { out->clear(); return true; },
                               host_clock, 5000);
  EXPECT_TRUE(nothing_listed.is_local(ip(4, {127, 0, 0, 1})));
  EXPECT_TRUE(nothing_listed.is_local(ip(4, {127, 0, 0, 53})));
  EXPECT_TRUE(nothing_listed.is_local(ip(6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
  EXPECT_FALSE(nothing_listed.is_local(ip(4, {128, 0, 0, 1})));

  std::vector<IpAddress> addresses;
  ASSERT_TRUE(HostAddresses::list_interface_addresses(&addresses));
  bool has_loopback = false;
  for (const IpAddress& a : addresses) has_loopback |= a.family == 4 && a.bytes[0] == 127;
  EXPECT_TRUE(has_loopback);
}

}  // namespace
}  // namespace kx::sensor
