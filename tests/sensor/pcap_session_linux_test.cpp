#include "sensor/pcap_session.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "support/log_capture.h"
#include "support/test_util.h"
#include "support/wait.h"
#include "wire/wire_format.h"

namespace kx::sensor {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Five queries to unbound on 127.0.0.1@53535 and their responses, taken with tcpdump -i lo:
// three over UDP, then two over TCP.
const std::string kFixture = std::string(TEVRIN_SOURCE_DIR) + "/tests/sensor/data/dns_loopback.pcap";
const char kNoSkips[] = "Packet capture skipped: 0 truncated, 0 malformed, 0 fragments, "
                        "0 split TCP messages, 0 IPv6 clients, 0 other packets";

// One line per message; read only once the capture thread has been joined.
Lines received;

// Refuses the first message of every ten, as a full queue would.
int32_t collect(const uint8_t* data, uint32_t length, void*) {
  wire::DnsMessageView v;
  EXPECT_EQ(wire::parse_dns_message(data, length, &v), wire::ParseResult::ok);
  received.push_back(std::string(v.device) + " " + std::string(v.server) +
                     (v.is_tcp ? " tcp " : " udp ") + (v.packet[2] & 0x80 ? "response" : "query"));
  if (received.size() % 10 == 1) throw SensorError("queue full");
  return 0;
}

std::string failure;
std::atomic<int> failures{0};
void keep_failure(const char* message, void*) {
  failure = message;
  ++failures;
}

std::atomic<bool> hold_capture{false};
int32_t hold_while_asked(const uint8_t*, uint32_t, void*) {
  while (hold_capture) std::this_thread::sleep_for(1ms);
  return 0;
}

size_t count(const test::LogCapture& log, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& m : log.messages()) n += m.compare(0, prefix.size(), prefix) == 0;
  return n;
}

// A second start or stop does nothing; a stopped session starts afresh, its counts going
// on from the last run's. Refused or not, each message was handed over: the queue counts
// the refusals.
TEST(PcapSession, ReplaysTheFixtureInOrderOncePerStartAndCountsRefusedMessages) {
  test::LogCapture log;
  PcapSession(config::CaptureSettings{}).stop();
  PcapSession session({"any", 53535, kFixture});
  session.set_message_handler(collect, nullptr);
  Lines messages;
  Lines lines;
  for (uint64_t round = 1; round <= 2; ++round) {
    session.start();
    session.start();
    ASSERT_TRUE(test::wait_until([&] { return session.counts().captured == round * 10; }));
    session.stop();
    session.stop();
    for (const char* transport : {"udp", "udp", "udp", "tcp", "tcp"}) {
      messages.push_back(std::string("127.0.0.1 127.0.0.1 ") + transport + " query");
      messages.push_back(std::string("127.0.0.1 127.0.0.1 ") + transport + " response");
    }
    lines.insert(lines.end(),
                 {"Starting packet capture on " + kFixture, "Entering packet capture loop...",
                  "ERROR - Process packet failed: queue full", "Packet capture finished", kNoSkips});
  }
  EXPECT_EQ(session.counts().captured, 20u);
  EXPECT_EQ(received, messages);
  EXPECT_EQ(log.messages(), lines);
}

// A capture that cannot open its source logs one error line and tells the failure
// handler once; the thread ends. (A missing interface is shown with the agent's run.)
TEST(PcapSession, ReportsEachCaptureFailureOnceInOneErrorLine) {
  test::TempDir dir;
  const std::string wifi = dir.file("wifi.pcap");
  pcap_t* dead = pcap_open_dead(DLT_IEEE802_11, 65535);
  pcap_dump_close(pcap_dump_open(dead, wifi.c_str()));
  pcap_close(dead);
  const std::string missing = dir.file("missing.pcap");
  const std::pair<std::string, std::string> cases[] = {
      {missing, "pcap_open_offline(" + missing + ") failed: " + missing + ": No such file"},
      {wifi, "pcap_datalink(" + wifi + ") failed: unsupported link type 105 (IEEE802_11)"},
  };
  for (const auto& [file, error] : cases) {
    SCOPED_TRACE(file);
    test::LogCapture log;
    failures = 0;
    {
      PcapSession session({"any", 53, file});
      session.set_failure_handler(keep_failure, nullptr);
      session.start();
      // The report follows the error line; a stop before it would rightly silence it.
      ASSERT_TRUE(test::wait_until([] { return failures > 0; }));
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(failure.rfind(error, 0), 0u) << failure;
    EXPECT_EQ(log.messages(), (Lines{"Starting packet capture on " + file,
                                     "ERROR - Packet capture failed: " + failure, kNoSkips}));
  }
}

// The capture thread is held up while far more datagrams arrive than the kernel's buffer
// holds: what the kernel dropped is counted, so every datagram sent is accounted for. On
// lo the kernel offers each packet once each way and counts both copies it drops, so the
// counts may exceed what was sent, never fall short. Stop ends a live capture promptly
// in any phase, also one that no traffic wakes.
TEST(PcapSession, LiveCaptureCountsWhatTheKernelDroppedAndStopsPromptlyInAnyPhase) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing needs root (CAP_NET_RAW); run this test as root";
  test::LogCapture log;
  // A socket that sends to itself on the port captured, so no port-unreachable comes back.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* self = reinterpret_cast<sockaddr*>(&address);
  socklen_t size = sizeof address;
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(bind(sock, self, size), 0);
  ASSERT_EQ(getsockname(sock, self, &size), 0);
  ASSERT_EQ(connect(sock, self, size), 0);

  PcapSession session({"lo", ntohs(address.sin_port), ""});
  session.set_message_handler(hold_while_asked, nullptr);
  hold_capture = true;
  session.start();
  ASSERT_TRUE(log.wait_for("Entering packet capture loop..."));
  constexpr uint64_t kSent = 60000;
  const std::vector<uint8_t> datagram(1400, 0x21);
  for (uint64_t i = 0; i < kSent; ++i) {
    ASSERT_EQ(send(sock, datagram.data(), datagram.size(), 0), ssize_t(datagram.size()));
  }
  hold_capture = false;
  EXPECT_TRUE(test::wait_until([&] {
    CaptureCounts c = session.counts();
    return c.captured + c.skipped + c.dropped >= kSent;
  }));
  auto began = std::chrono::steady_clock::now();
  session.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  close(sock);
  const CaptureCounts c = session.counts();
  EXPECT_GT(c.dropped, 0u);
  EXPECT_LT(c.captured, kSent);
  EXPECT_LE(c.captured + c.skipped + c.dropped, 2 * kSent) << c.captured << " + " << c.dropped;
  for (int round = 0; round < 20; ++round) {
    PcapSession quiet({"lo", 9, ""});
    quiet.start();
    quiet.stop();
  }
  EXPECT_EQ(count(log, "Packet capture skipped:"), 21u);
  EXPECT_EQ(count(log, "Packet capture finished"), count(log, "Entering packet capture loop..."));
}

}  // namespace
}  // namespace kx::sensor
