#include "sensor/pcap_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "net/wire_format.h"
#include "support/test_util.h"

namespace kx::sensor {
namespace {

using namespace std::chrono_literals;

// Five queries to unbound on 127.0.0.1@53535 and their responses, taken with tcpdump -i lo.
const std::string kFixture =
    std::string(TEVRIN_SOURCE_DIR) + "/tests/sensor/data/dns_loopback.pcap";
constexpr uint16_t kFixturePort = 53535;

// --- messages as a handler on the capture thread receives them

struct Message {
  uint32_t time = 0;
  std::string device;
  std::string server;
  uint8_t is_tcp = 0;
  std::vector<uint8_t> dns;
};

class Collected {
 public:
  static int32_t handler(const uint8_t* data, uint32_t length, void* user) {
    auto* self = static_cast<Collected*>(user);
    wire::DnsMessageView view;
    if (wire::parse_dns_message(data, length, &view) != wire::ParseResult::ok) {
      ADD_FAILURE() << "unreadable message of " << length << " bytes";
      return -1;
    }
    Message m{view.time_seconds, std::string(view.device), std::string(view.server),
              view.is_tcp, std::vector<uint8_t>(view.packet, view.packet + view.packet_size)};
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->messages_.push_back(std::move(m));
    return 0;
  }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Message> messages_;
};

// --- helpers for processes, logs and ports

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

bool file_contains(const std::string& path, const std::string& text) {
  return test::read_file(path).find(text) != std::string::npos;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Runs a shell command, bounded by coreutils' timeout, and returns what it printed.
std::string run_command(const std::string& command) {
  std::string out;
  FILE* pipe = popen(("timeout 30 " + command).c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

bool have_program(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process, ended (TERM, then KILL) when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& output_path) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() { end(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Sends the signal and reaps the child within 5 seconds, killing it after that.
  void end(int signal_number) {
    if (pid_ <= 0) return;
    kill(pid_, signal_number);
    bool reaped = wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5000ms);
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A port that is free on 127.0.0.1 for both UDP and TCP right now.
uint16_t free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int tcp_socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(tcp_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(tcp_socket, reinterpret_cast<sockaddr*>(&address), &size);
    int udp_socket = socket(AF_INET, SOCK_DGRAM, 0);
    bool udp_free = bind(udp_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    uint16_t port = ntohs(address.sin_port);
    close(udp_socket);
    close(tcp_socket);
    if (udp_free) return port;
  }
  return 0;
}

std::string dig(uint16_t port, const std::string& query) {
  return run_command("dig @127.0.0.1 -p " + std::to_string(port) +
                     " +tries=1 +time=3 " + query + " 2>&1");
}

// unbound answering a few local names on 127.0.0.1@port, UDP and TCP.
class DnsServer {
 public:
  explicit DnsServer(const test::TempDir& dir) : port_(free_port()) {
    std::string config = dir.file("unbound.conf");
    test::write_file(config,
                     "server:\n"
                     "  do-daemonize: no\n"
                     "  username: \"\"\n"
                     "  chroot: \"\"\n"
                     "  pidfile: \"\"\n"
                     "  directory: \"" + dir.path() + "\"\n"
                     "  logfile: \"\"\n"
                     "  use-syslog: no\n"
                     "  interface: 127.0.0.1@" + std::to_string(port_) + "\n"
                     "  do-ip6: no\n"
                     "  access-control: 127.0.0.0/8 allow\n"
                     "  module-config: \"iterator\"\n"
                     "  local-zone: \"example.test.\" static\n"
                     "  local-data: \"a.example.test. IN A 192.0.2.1\"\n"
                     "  local-data: \"b.example.test. IN A 192.0.2.2\"\n"
                     "  local-data: \"t.example.test. IN TXT \\\"hello capture\\\"\"\n"
                     "remote-control:\n"
                     "  control-enable: no\n");
    process_ = std::make_unique<Child>(std::vector<std::string>{"unbound", "-c", config},
                                       dir.file("unbound.out"));
    ready_ = wait_until([&] { return dig(port_, "+short a.example.test A").find("192.0.2.1") !=
                                     std::string::npos; },
                        10000ms);
  }
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_;
  std::unique_ptr<Child> process_;
  bool ready_ = false;
};

// The queries every capture test sends: three over UDP, two over TCP, each answered.
constexpr size_t kQueryCount = 5;
void send_queries(uint16_t port) {
  dig(port, "a.example.test A");
  dig(port, "t.example.test TXT");
  dig(port, "missing.example.test A");
  dig(port, "+tcp b.example.test A");
  dig(port, "+tcp t.example.test TXT");
}

std::string skip_reason_for_live_capture() {
  if (geteuid() != 0) return "capturing needs root (CAP_NET_RAW); run this test as root";
  for (const char* program : {"unbound", "dig"}) {
    if (!have_program(program)) return std::string(program) + " is not installed";
  }
  return "";
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { logging::open_log(log_path.c_str()); }
  void TearDown() override { logging::close_log(); }
  std::string log() { return test::read_file(log_path); }
  bool wait_for_log(const std::string& text, std::chrono::milliseconds limit = 20000ms) {
    return wait_until([&] { return file_contains(log_path, text); }, limit);
  }
  // Replays file through a session and returns when the file's end was reached.
  void replay(const std::string& file, uint16_t port) {
    CaptureSettings settings;
    settings.capture_file = file;
    settings.dns_port = port;
    PcapSession session(settings);
    session.set_message_handler(Collected::handler, &collected);
    session.start();
    EXPECT_TRUE(wait_for_log("Packet capture finished")) << log();
    session.stop();
  }

  test::TempDir dir;
  std::string log_path = dir.file("agent.log");
  Collected collected;
};

// --- tshark's reading of the same file

std::string to_hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

// Every DNS frame tshark dissects must be the next message(s) of the session, with the
// same time, addresses, transport and DNS bytes, and nothing may be left over.
void expect_matches_tshark(const std::string& file, uint16_t port,
                           const std::vector<Message>& messages) {
  std::string p = std::to_string(port);
  std::string out = run_command(
      "tshark -r " + file + " -o tcp.desegment_tcp_streams:FALSE -d udp.port==" + p +
      ",dns -d tcp.port==" + p +
      ",dns -Y dns -T fields -E separator=/t -e frame.time_epoch -e ip.src -e ip.dst "
      "-e udp.dstport -e tcp.dstport -e dns.id -e udp.payload -e tcp.payload 2>/dev/null");
  size_t next = 0;
  size_t frames = 0;
  for (const std::string& line : test::split_lines(out)) {
    if (line.empty()) continue;
    std::vector<std::string> f = split(line, '\t');
    ASSERT_EQ(f.size(), 8u) << line;
    ++frames;
    bool is_tcp = !f[4].empty();
    bool to_server = (is_tcp ? f[4] : f[3]) == p;
    size_t pdus = split(f[5], ',').size();
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < pdus; ++i, ++next) {
      ASSERT_LT(next, messages.size()) << "tshark sees more DNS messages: " << line;
      const Message& m = messages[next];
      SCOPED_TRACE(line);
      EXPECT_EQ(std::to_string(m.time), f[0].substr(0, f[0].find('.')));
      EXPECT_EQ(m.device, to_server ? f[1] : f[2]);
      EXPECT_EQ(m.server, to_server ? f[2] : f[1]);
      EXPECT_EQ(m.is_tcp, is_tcp ? 1 : 0);
      if (is_tcp) {
        stream.push_back(static_cast<uint8_t>(m.dns.size() >> 8));
        stream.push_back(static_cast<uint8_t>(m.dns.size()));
      }
      stream.insert(stream.end(), m.dns.begin(), m.dns.end());
    }
    EXPECT_EQ(to_hex(stream), is_tcp ? f[7] : f[6]);
  }
  EXPECT_GT(frames, 0u);
  EXPECT_EQ(next, messages.size()) << "the session framed messages tshark does not see";
}

// --- replay of a file

TEST_F(CaptureTest, ReplaysTheFixtureExactlyAsTsharkReadsIt) {
  if (!have_program("tshark")) GTEST_SKIP() << "tshark is not installed";
  replay(kFixture, kFixturePort);
  std::vector<Message> messages = collected.messages();
  EXPECT_EQ(messages.size(), 2 * kQueryCount);
  expect_matches_tshark(kFixture, kFixturePort, messages);
  std::string text = log();
  EXPECT_NE(text.find("]: Starting packet capture on " + kFixture + "\n"), std::string::npos);
  EXPECT_NE(text.find("]: Entering packet capture loop...\n"), std::string::npos);
  EXPECT_NE(text.find("]: Packet capture skipped: 0 truncated, 0 malformed, 0 fragments, "
                      "0 split TCP messages, 0 IPv6 clients, 0 other packets\n"),
            std::string::npos)
      << text;
}

TEST_F(CaptureTest, ReplayWithAnotherDnsPortFramesNothing) {
  replay(kFixture, 53);
  EXPECT_EQ(collected.size(), 0u);
}

TEST_F(CaptureTest, ReplaysACaptureOfARealServerTakenNow) {
  std::string reason = skip_reason_for_live_capture();
  if (reason.empty() && !have_program("tcpdump")) reason = "tcpdump is not installed";
  if (reason.empty() && !have_program("tshark")) reason = "tshark is not installed";
  if (!reason.empty()) GTEST_SKIP() << reason;
  DnsServer server(dir);
  ASSERT_TRUE(server.ready()) << test::read_file(dir.file("unbound.out"));
  std::string file = dir.file("capture.pcap");
  {
    Child tcpdump({"tcpdump", "-i", "lo", "--immediate-mode", "-U", "-w", file,
                   "port " + std::to_string(server.port())},
                  dir.file("tcpdump.out"));
    ASSERT_TRUE(wait_until([&] { return file_contains(dir.file("tcpdump.out"), "listening on"); },
                           10000ms));
    send_queries(server.port());
    // Each packet is written as it comes; the last ones may still be on their way.
    std::this_thread::sleep_for(500ms);
    tcpdump.end(SIGINT);
  }
  replay(file, server.port());
  std::vector<Message> messages = collected.messages();
  EXPECT_EQ(messages.size(), 2 * kQueryCount);
  expect_matches_tshark(file, server.port(), messages);
}

int32_t reject_every_other(const uint8_t*, uint32_t length, void* user) {
  auto* calls = static_cast<int*>(user);
  if ((*calls)++ % 2 == 0) {
    throw SensorError("push(" + std::to_string(length) + ") failed: record too large");
  }
  return 0;
}

TEST_F(CaptureTest, AHandlerThatRaisesDropsOnlyThatPacket) {
  CaptureSettings settings;
  settings.capture_file = kFixture;
  settings.dns_port = kFixturePort;
  PcapSession session(settings);
  int calls = 0;
  session.set_message_handler(reject_every_other, &calls);
  session.start();
  ASSERT_TRUE(wait_for_log("Packet capture finished"));
  session.stop();
  EXPECT_EQ(calls, static_cast<int>(2 * kQueryCount));
  EXPECT_EQ(count_of(log(), "ERROR - Process packet failed: push("), kQueryCount);
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
  std::string user_link = dir.file("wifi.pcap");
  write_pcap_of_link_type(user_link, DLT_IEEE802_11);
  struct Case {
    const char* name;
    CaptureSettings settings;
    std::string error;
  };
  CaptureSettings missing_interface;
  missing_interface.interface = "tevrin-nope0";
  CaptureSettings missing_file;
  missing_file.capture_file = dir.file("missing.pcap");
  CaptureSettings garbage_file;
  garbage_file.capture_file = not_pcap;
  CaptureSettings unsupported_link;
  unsupported_link.capture_file = user_link;
  const Case cases[] = {
      {"interface that does not exist", missing_interface,
       "ERROR - Packet capture failed: pcap_activate(tevrin-nope0) failed: "},
      {"file that does not exist", missing_file,
       "ERROR - Packet capture failed: pcap_open_offline(" + missing_file.capture_file +
           ") failed: "},
      {"file that is no capture", garbage_file,
       "ERROR - Packet capture failed: pcap_open_offline(" + not_pcap + ") failed: "},
      {"link type the decoder does not read", unsupported_link,
       "ERROR - Packet capture failed: pcap_datalink(" + user_link +
           ") failed: unsupported link type 105 (IEEE802_11)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    logging::close_log();
    test::write_file(log_path, "");
    logging::open_log(log_path.c_str());
    PcapSession session(c.settings);
    session.start();
    ASSERT_TRUE(wait_for_log("ERROR - ")) << log();
    session.stop();
    std::string text = log();
    EXPECT_NE(text.find(c.error), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "ERROR - "), 1u) << text;
    EXPECT_EQ(text.find("Entering packet capture loop..."), std::string::npos);
    EXPECT_EQ(text.find("Packet capture finished"), std::string::npos);
  }
}

// --- lifecycle

TEST_F(CaptureTest, StartTwiceRunsOneCaptureAndStopWithoutStartLogsNothing) {
  {
    PcapSession idle(CaptureSettings{});
    idle.stop();
  }
  EXPECT_EQ(log(), "");
  CaptureSettings settings;
  settings.capture_file = kFixture;
  settings.dns_port = kFixturePort;
  PcapSession session(settings);
  session.set_message_handler(Collected::handler, &collected);
  session.start();
  session.start();
  ASSERT_TRUE(wait_for_log("Packet capture finished"));
  session.stop();
  session.stop();
  EXPECT_EQ(count_of(log(), "Starting packet capture on"), 1u);
  EXPECT_EQ(count_of(log(), "Packet capture skipped:"), 1u);
  EXPECT_EQ(collected.size(), 2 * kQueryCount);
}

TEST_F(CaptureTest, ASessionCanBeStartedAgainAfterStop) {
  CaptureSettings settings;
  settings.capture_file = kFixture;
  settings.dns_port = kFixturePort;
  PcapSession session(settings);
  session.set_message_handler(Collected::handler, &collected);
  for (int round = 1; round <= 2; ++round) {
    session.start();
    ASSERT_TRUE(wait_until([&] { return count_of(log(), "Packet capture finished") ==
                                        static_cast<size_t>(round); },
                           20000ms));
    session.stop();
  }
  EXPECT_EQ(collected.size(), 4 * kQueryCount);
}

// --- live capture on loopback

TEST_F(CaptureTest, DeliversLiveLoopbackTrafficOnceOnAnyAndOnLo) {
  std::string reason = skip_reason_for_live_capture();
  if (!reason.empty()) GTEST_SKIP() << reason;
  DnsServer server(dir);
  ASSERT_TRUE(server.ready()) << test::read_file(dir.file("unbound.out"));
  for (const char* interface : {"any", "lo"}) {
    SCOPED_TRACE(interface);
    Collected live;
    CaptureSettings settings;
    settings.interface = interface;
    settings.dns_port = server.port();
    PcapSession session(settings);
    session.set_message_handler(Collected::handler, &live);
    size_t entered = count_of(log(), "Entering packet capture loop...");
    session.start();
    ASSERT_TRUE(wait_until(
        [&] { return count_of(log(), "Entering packet capture loop...") == entered + 1; },
        10000ms))
        << log();
    send_queries(server.port());
    EXPECT_TRUE(wait_until([&] { return live.size() >= 2 * kQueryCount; }, 10000ms));
    // Late copies, if any, would arrive right behind the originals.
    std::this_thread::sleep_for(300ms);
    session.stop();
    std::vector<Message> messages = live.messages();
    ASSERT_EQ(messages.size(), 2 * kQueryCount);
    size_t tcp = 0;
    for (const Message& m : messages) {
      EXPECT_EQ(m.device, "127.0.0.1");
      EXPECT_EQ(m.server, "127.0.0.1");
      tcp += m.is_tcp;
    }
    EXPECT_EQ(tcp, 4u);
    // Queries and responses alternate: the same DNS ID twice, query then response.
    for (size_t i = 0; i + 1 < messages.size(); i += 2) {
      ASSERT_GE(messages[i].dns.size(), 12u);
      ASSERT_GE(messages[i + 1].dns.size(), 12u);
      EXPECT_EQ(messages[i].dns[0], messages[i + 1].dns[0]);
      EXPECT_EQ(messages[i].dns[1], messages[i + 1].dns[1]);
      EXPECT_EQ(messages[i].dns[2] & 0x80, 0);
      EXPECT_EQ(messages[i + 1].dns[2] & 0x80, 0x80);
    }
  }
}

TEST_F(CaptureTest, StopEndsALiveCaptureThatSeesNoTraffic) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing needs root (CAP_NET_RAW); run this test as root";
  CaptureSettings settings;
  settings.interface = "lo";
  settings.dns_port = free_port();
  PcapSession session(settings);
  session.start();
  ASSERT_TRUE(wait_for_log("Entering packet capture loop...", 10000ms)) << log();
  auto began = std::chrono::steady_clock::now();
  session.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_NE(log().find("Packet capture finished"), std::string::npos);
}

TEST_F(CaptureTest, StopRightAfterStartEndsTheCapture) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing needs root (CAP_NET_RAW); run this test as root";
  for (int round = 0; round < 20; ++round) {
    CaptureSettings settings;
    settings.interface = "lo";
    settings.dns_port = 9;
    PcapSession session(settings);
    session.start();
    session.stop();  // must not hang whatever phase the thread is in
  }
  EXPECT_EQ(count_of(log(), "Starting packet capture on lo"), 20u);
  EXPECT_EQ(count_of(log(), "Packet capture skipped:"), 20u);
}

// --- this host's addresses

struct FakeHost {
  static std::vector<IpAddress> addresses;
  static int listings;
  static int64_t now;
  static bool list(std::vector<IpAddress>* out) {
    ++listings;
    *out = addresses;
    return true;
  }
  static int64_t clock() { return now; }
};
std::vector<IpAddress> FakeHost::addresses;
int FakeHost::listings = 0;
int64_t FakeHost::now = 0;

IpAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress address;
  address.family = 4;
  address.bytes[0] = a, address.bytes[1] = b, address.bytes[2] = c, address.bytes[3] = d;
  return address;
}

TEST(HostAddresses, FindsNewAddressesAfterTheRefreshIntervalAndNotBefore) {
  FakeHost::addresses = {v4(10, 0, 0, 1)};
  FakeHost::listings = 0;
  FakeHost::now = 1000;
  HostAddresses host(FakeHost::list, FakeHost::clock, 5000);
  EXPECT_TRUE(host.is_local(v4(10, 0, 0, 1)));
  EXPECT_EQ(FakeHost::listings, 1);
  FakeHost::addresses.push_back(v4(10, 0, 0, 2));
  EXPECT_FALSE(host.is_local(v4(10, 0, 0, 2)));  // listed 0 ms ago
  FakeHost::now += 4999;
  EXPECT_FALSE(host.is_local(v4(10, 0, 0, 2)));
  EXPECT_EQ(FakeHost::listings, 1);
  FakeHost::now += 1;
  EXPECT_TRUE(host.is_local(v4(10, 0, 0, 2)));
  EXPECT_EQ(FakeHost::listings, 2);
  EXPECT_TRUE(host.is_local(v4(10, 0, 0, 1)));  // a known address costs no listing
  EXPECT_EQ(FakeHost::listings, 2);
}

TEST(HostAddresses, TakesAllOfTheLoopbackNetAsLocal) {
  FakeHost::addresses.clear();
  HostAddresses host(FakeHost::list, FakeHost::clock, 5000);
  IpAddress ipv6_loopback;
  ipv6_loopback.family = 6;
  ipv6_loopback.bytes[15] = 1;
  EXPECT_TRUE(host.is_local(v4(127, 0, 0, 1)));
  EXPECT_TRUE(host.is_local(v4(127, 0, 0, 53)));
  EXPECT_TRUE(host.is_local(ipv6_loopback));
  EXPECT_FALSE(host.is_local(v4(128, 0, 0, 1)));
}

TEST(HostAddresses, ListsTheAddressesOfThisHostsInterfaces) {
  std::vector<IpAddress> addresses;
  ASSERT_TRUE(HostAddresses::list_interface_addresses(&addresses));
  bool has_loopback = false;
  for (const IpAddress& a : addresses) has_loopback |= a.family == 4 && a.bytes[0] == 127;
  EXPECT_TRUE(has_loopback);
}

}  // namespace
}  // namespace kx::sensor
