#include "sensor/pcap_session.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// A second start or stop does nothing; a stopped session starts afresh, its counts going
// on from the last run's. Refused or not, each message was handed over: the queue counts
// the refusals.
TEST(PcapSession, ReplaysTheFixtureInOrderOncePerStartAndCountsRefusedMessages) {
  test::LogCapture log;
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

// A file of a link type the decoder cannot read ends its capture with one error line.
TEST(PcapSession, EndsTheCaptureOfAnUnsupportedLinkTypeWithOneErrorLine) {
  test::TempDir dir;
  const std::string wifi = dir.file("wifi.pcap");
  // A capture file's header alone, of link type 105 (IEEE 802.11).
  test::write_file(wifi, std::string("\xd4\xc3\xb2\xa1\x02\0\x04\0\0\0\0\0\0\0\0\0"
                                     "\xff\xff\0\0\x69\0\0\0", 24));
  test::LogCapture log;
  PcapSession({"any", 53, wifi}).start();  // the temporary's end stops it
  const std::string error = "pcap_datalink(" + wifi + ") failed: unsupported link type 105 (IEEE802_11)";
  EXPECT_EQ(log.messages(), (Lines{"Starting packet capture on " + wifi,
                                   "ERROR - Packet capture failed: " + error, kNoSkips}));
}

// Loss is never silent: while the handler holds the capture the kernel drops, and that is
// counted. On lo the kernel offers each packet once each way and counts both copies it
// drops, so the counts may exceed what was sent, never fall short or double.
TEST(PcapSession, LiveCaptureCountsWhatTheKernelDropped) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing needs root (CAP_NET_RAW); run this test as root";
  test::LogCapture log;
  // A socket that sends to itself on the port captured, so no port-unreachable comes back.
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof self;
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  auto* address = reinterpret_cast<sockaddr*>(&self);
  ASSERT_TRUE(bind(sock, address, size) == 0 && getsockname(sock, address, &size) == 0 &&
              connect(sock, address, size) == 0);
  static std::atomic<bool> hold{true};
  PcapSession session({"lo", ntohs(self.sin_port), ""});
  session.set_message_handler([](const uint8_t*, uint32_t, void*) {
    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return int32_t{0};
  }, nullptr);
  session.start();
  ASSERT_TRUE(log.wait_for("Entering packet capture loop..."));
  const std::vector<uint8_t> datagram(1400, 0x21);
  for (int i = 0; i < 60000; ++i) send(sock, datagram.data(), datagram.size(), 0);
  hold = false;
  const auto total = [&session] { return session.counts().captured + session.counts().dropped; };
  EXPECT_TRUE(test::wait_until([&] { return total() >= 60000; }));
  session.stop();
  close(sock);
  EXPECT_GT(session.counts().dropped, 0u);
  EXPECT_LE(total(), 120000u) << session.counts().captured << " + " << session.counts().dropped;
}

}  // namespace
}  // namespace kx::sensor
