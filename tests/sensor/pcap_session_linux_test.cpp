#include "sensor/pcap_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "wire/wire_format.h"
#include "support/log_capture.h"
#include "support/test_util.h"
#include "support/wait.h"

namespace kx::sensor {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Five queries to unbound on 127.0.0.1@53535 and their responses, taken with tcpdump -i lo.
const std::string kFixture =
    std::string(TEVRIN_SOURCE_DIR) + "/tests/sensor/data/dns_loopback.pcap";
constexpr uint16_t kFixturePort = 53535;
constexpr size_t kQueryCount = 5;  // in the fixture
const char kNeedsRoot[] = "capturing needs root (CAP_NET_RAW); run this test as root";

config::CaptureSettings from_file(const std::string& file, uint16_t port) { return {"any", port, file}; }
config::CaptureSettings on_interface(const std::string& name, uint16_t port) { return {name, port, ""}; }

// What a handler on the capture thread received: one line per message.
std::mutex collected_mutex;
int32_t collect(const uint8_t* data, uint32_t length, void* user) {
  wire::DnsMessageView v;
  EXPECT_EQ(wire::parse_dns_message(data, length, &v), wire::ParseResult::ok);
  EXPECT_GE(v.packet_size, 12u);
  std::lock_guard<std::mutex> lock(collected_mutex);
  static_cast<Lines*>(user)->push_back(std::string(v.device) + " " + std::string(v.server) +
                                       (v.is_tcp ? " tcp " : " udp ") +
                                       (v.packet[2] & 0x80 ? "response" : "query"));
  return 0;
}

class CaptureTest : public ::testing::Test {
 protected:
  // Log messages that begin with prefix.
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& m : log.messages()) n += m.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  bool wait_for_count(const std::string& prefix, size_t n) {
    return test::wait_until([&] { return count(prefix) >= n; });
  }
  // Replays the fixture and returns the counts once its end was reached.
  CaptureCounts replay(MessageHandler handler, void* user) {
    PcapSession session(from_file(kFixture, kFixturePort));
    session.set_message_handler(handler, user);
    size_t finished = count("Packet capture finished");
    session.start();
    EXPECT_TRUE(wait_for_count("Packet capture finished", finished + 1));
    session.stop();
    return session.counts();
  }

  size_t collected_size() {
    std::lock_guard<std::mutex> lock(collected_mutex);
    return collected.size();
  }

  test::TempDir dir;
  test::LogCapture log;
  Lines collected;
};

// --- replay of a file

TEST_F(CaptureTest, ReplaysEveryQueryAndResponseOfTheFixtureInOrder) {
  replay(collect, &collected);
  Lines expected;
  for (const char* transport : {"udp", "udp", "udp", "tcp", "tcp"}) {
    for (const char* kind : {" query", " response"}) {
      expected.push_back(std::string("127.0.0.1 127.0.0.1 ") + transport + kind);
    }
  }
  EXPECT_EQ(collected, expected);
  EXPECT_EQ(log.messages(),
            (Lines{"Starting packet capture on " + kFixture, "Entering packet capture loop...",
                   "Packet capture finished",
                   "Packet capture skipped: 0 truncated, 0 malformed, 0 fragments, "
                   "0 split TCP messages, 0 IPv6 clients, 0 other packets"}));
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
  EXPECT_EQ(replay(reject_every_other, &calls).captured,
            2 * kQueryCount);
  EXPECT_EQ(calls, static_cast<int>(2 * kQueryCount));
  EXPECT_EQ(count("ERROR - Process packet failed: push("), kQueryCount);
}

// --- failures of the capture itself: one error line, then the thread ends (a missing
// interface is shown with the agent's run)

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
      {from_file(missing, 53), "pcap_open_offline(" + missing + ") failed: "},
      {from_file(not_pcap, 53), "pcap_open_offline(" + not_pcap + ") failed: "},
      {from_file(wifi, 53),
       "pcap_datalink(" + wifi + ") failed: unsupported link type 105 (IEEE802_11)"},
  };
  for (const auto& [settings, error] : cases) {
    SCOPED_TRACE(error);
    size_t before = log.messages().size();
    size_t errors = count("ERROR - ");
    std::atomic<int> failures{0};
    static std::string failure;
    {
      PcapSession session(settings);
      session.set_failure_handler(
          [](const char* message, void* user) {
            failure = message;
            ++*static_cast<std::atomic<int>*>(user);
          },
          &failures);
      session.start();
      ASSERT_TRUE(wait_for_count("ERROR - ", errors + 1));
      // The report follows the error line; a stop before it would rightly silence it.
      ASSERT_TRUE(test::wait_until([&] { return failures > 0; }));
    }
    ASSERT_EQ(failures, 1);
    EXPECT_EQ(failure.rfind(error, 0), 0u) << failure;
    Lines lines = log.messages();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Starting packet capture on " + settings.capture_file);
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
  session.set_message_handler(collect, &collected);
  for (size_t round = 1; round <= 2; ++round) {
    session.start();
    session.start();
    ASSERT_TRUE(wait_for_count("Packet capture finished", round));
    session.stop();
    session.stop();
    EXPECT_EQ(count("Starting packet capture on"), round);
    EXPECT_EQ(count("Packet capture skipped:"), round);
    EXPECT_EQ(collected_size(), round * 2 * kQueryCount);
  }
}

// --- live capture (what a real server's traffic gives is shown end to end)

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
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* to = reinterpret_cast<sockaddr*>(&address);
  // A bound receiver, so that no port-unreachable errors come back; its port is the one
  // captured.
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(receiver, to, size), 0);
  ASSERT_EQ(getsockname(receiver, to, &size), 0);
  const uint16_t port = ntohs(address.sin_port);
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
  EXPECT_TRUE(test::wait_until([&] { return accounted() >= sent; }, 20s));
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
  PcapSession session(on_interface("lo", 9));
  session.start();
  ASSERT_TRUE(wait_for_count("Entering packet capture loop...", entered + 1));
  auto began = std::chrono::steady_clock::now();
  session.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_EQ(count("Packet capture finished"), count("Entering packet capture loop..."));
}

}  // namespace
}  // namespace kx::sensor
