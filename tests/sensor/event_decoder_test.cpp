#include "sensor/event_decoder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "agent/errors.h"
#include "support/fake_tdh.h"
#include "support/log_capture.h"
#include "support/records.h"

namespace {

using namespace kx::test;
using kx::sensor::kFiletimeUnixEpochOffset;
using Lines = std::vector<std::string>;

constexpr int64_t kSecond = 10000000;
const std::string kFailed = "ERROR - Process ETW event failed: ";

// Allocation hook for the decoder: counts the calls and fails the chosen one.
int allocation_count = 0;
int failing_allocation = 0;  // 1-based call number that fails; 0 for none
void* counting_reallocate(void* block, size_t size) {
  if (++allocation_count != failing_allocation) return realloc(block, size);
  errno = ENOMEM;
  return nullptr;
}

class EventDecoderTest : public ::testing::Test {
 protected:
  EventDecoderTest() { reset(); }

  // A fresh state, without buffers, allocations counted from zero.
  void reset() {
    state_ = std::make_unique<kx::sensor::EventDecodingState>(tdh_, counting_reallocate);
    state_->sink = {collect, &delivered_};
    allocation_count = failing_allocation = 0;
  }
  // The one message the decode delivered, or nothing when it delivered none.
  Bytes decode_one(FakeEvent event) {
    delivered_.clear();
    kx::sensor::process_event(*state_, event.record());
    return delivered_.size() == 1 ? delivered_[0] : Bytes();
  }

  LogCapture log_;
  FakeTdh tdh_;
  std::unique_ptr<kx::sensor::EventDecodingState> state_;
  std::vector<Bytes> delivered_;
};

FakeEvent example_event(uint16_t id = 256) {
  return dns_packet_event(id, "10.0.0.5", "10.0.0.1", 0, example_packet(),
                          kFiletimeUnixEpochOffset + 258 * kSecond);
}

// The example event's message, written out by hand.
Bytes example_message() {
  const char head[] = "\x02\x00\x00\x01\x02\x08" "10.0.0.5\x08" "10.0.0.1\x00";
  Bytes expected(head, head + 24);
  Bytes packet = example_packet();
  expected.insert(expected.end(), packet.begin(), packet.end());
  return expected;
}

Bytes message(uint32_t time, const std::string& device, const std::string& server, uint8_t tcp,
              const Bytes& packet) {
  return message_body(time, device, server, tcp, text(packet));
}

// Only the DNS server's packet IDs are framed; other IDs and providers are dropped
// without a line, and so is a message while no sink is set.
TEST_F(EventDecoderTest, FramesPacketEventsByteForByteAndDropsOthersSilently) {
  for (uint16_t id : {255, 256, 257, 258, 259}) {
    SCOPED_TRACE("event ID " + std::to_string(id));
    EXPECT_EQ(decode_one(example_event(id)), id >= 256 && id <= 258 ? example_message() : Bytes());
  }
  GUID other = kx::sensor::kDnsServerProviderGuid;
  other.Data4[7] ^= 0x01;
  EXPECT_EQ(decode_one(example_event().provider(other)), Bytes());
  state_->sink.handler = nullptr;
  EXPECT_EQ(decode_one(example_event()), Bytes());
  EXPECT_EQ(log_.messages(), Lines());
}

// With ipv6-clients on, IPv6 device text is framed as delivered, a mapped address as its
// dotted IPv4 text; names stay dropped either way. The server is framed unchecked.
TEST_F(EventDecoderTest, OnlyIpv4TextIsTakenAsDeviceAddressAndTheServerIsFramedUnchecked) {
  struct Row {
    std::string device;
    const char* framed;  // the device text framed, nullptr: dropped
    const char* framed_with_ipv6_clients;
  };
  const Row rows[] = {
      {"10.0.0.5", "10.0.0.5", "10.0.0.5"},
      {"10.0.0.\xE9", "10.0.0.\xE9", "10.0.0.\xE9"},  // 0x80 up: no letter
      {"fe80::1", nullptr, "fe80::1"},
      {"::ffff:10.0.0.5", nullptr, "10.0.0.5"},
      {"dns.example", nullptr, nullptr},
  };
  for (bool ipv6_clients : {false, true}) {
    state_->ipv6_clients = ipv6_clients;
    for (const Row& row : rows) {
      SCOPED_TRACE("device '" + row.device + "', ipv6-clients " + (ipv6_clients ? "on" : "off"));
      const char* framed = ipv6_clients ? row.framed_with_ipv6_clients : row.framed;
      Bytes packet = example_packet();
      Bytes expected = framed != nullptr ? message(0, framed, "fe80::53", 1, packet) : Bytes();
      EXPECT_EQ(decode_one(dns_packet_event(257, row.device, "fe80::53", 1, packet,
                                            kFiletimeUnixEpochOffset)),
                expected);
    }
  }
  EXPECT_EQ(log_.messages(), Lines());
}

int32_t refuse_by_raising(const uint8_t*, uint32_t length, void*) {
  throw kx::sensor::SensorError("push(" + std::to_string(length) + ") failed: too long");
}
int32_t raise_something_else(const uint8_t*, uint32_t, void*) { throw 42; }

// Each row fails the example event one way: a TDH call, or a value the message cannot
// carry (an is_tcp wider than its byte, an address empty or too long for its length
// byte, a packet size that would overflow the message length). Then each allocation of
// a fresh state fails in turn, which grows event_info, server_ip, device_ip and message
// in that order, and the sink raises.
TEST_F(EventDecoderTest, EachFailureLogsOneLineAndTheNextEventGoesThrough) {
  struct Row {
    FakeEvent event;
    std::string line;
  };
  auto failed = [](const std::string& call, int32_t status) {
    return kFailed + call + ") failed: " + logged_error_text(status);
  };
  const Row rows[] = {
      {example_event().fail(TdhCall::event_info_size, 5),
       "ERROR - TdhGetEventInformation() failed: " + logged_error_text(5)},
      {example_event().fail(TdhCall::event_info, 87), failed("TdhGetEventInformation(", 87)},
      {example_event().fail(TdhCall::property_size, 87, "TCP"), failed("TdhGetPropertySize(is_tcp", 87)},
      {example_event().fail(TdhCall::property, 87, "TCP"), failed("TdhGetProperty(is_tcp", 87)},
      {example_event().property("TCP", {1, 0}), failed("TdhGetProperty(is_tcp", 122)},
      {example_event().fail(TdhCall::property_size, 87, "InterfaceIP"),
       failed("TdhGetPropertySize(server_ip", 87)},
      {example_event().fail(TdhCall::property, 87, "InterfaceIP"),
       failed("TdhGetProperty(server_ip", 87)},
      {example_event().property("InterfaceIP", {}), kFailed + "Empty server_ip for event ID 256"},
      {example_event().property("Source", Bytes(257, '1')),
       kFailed + "device_ip of 257 bytes too long for event ID 256"},
      {example_event().fail(TdhCall::property_size, 87, "PacketData"),
       failed("TdhGetPropertySize(packet_data", 87)},
      {example_event().fail(TdhCall::property, 87, "PacketData"),
       failed("TdhGetProperty(packet_data", 87)},
      {example_event().property("PacketData", example_packet(), 0x7FFFFFF8),
       kFailed + "packet_data of 2147483640 bytes too long for event ID 256"},
  };
  Lines expected;
  auto expect_one_line_then_recovery = [&](const FakeEvent& failing, const std::string& line) {
    EXPECT_EQ(decode_one(failing), Bytes()) << line;
    expected.push_back(line);
    EXPECT_EQ(log_.messages(), expected);
    state_->sink.handler = collect;
    EXPECT_EQ(decode_one(example_event()), example_message()) << "after " << line;
  };
  for (const Row& row : rows) expect_one_line_then_recovery(row.event, row.line);
  int allocation = 0;
  for (const char* buffer : {"event_info", "server_ip", "device_ip", "message"}) {
    reset();
    failing_allocation = ++allocation;  // later allocations count past it and succeed
    expect_one_line_then_recovery(example_event(), kFailed + "realloc(" + buffer + ") failed: " +
                                                       logged_errno_text(ENOMEM));
  }
  // The sensor queue refuses a message longer than its ring by raising.
  state_->sink.handler = refuse_by_raising;
  expect_one_line_then_recovery(example_event(), kFailed + "push(53) failed: too long");
  state_->sink.handler = raise_something_else;
  expect_one_line_then_recovery(example_event(), kFailed + "unknown error");
}

// Every property after the addresses holds three bytes of its own position, so the packet
// taken tells which position was chosen. Position 0: none found, which the line reports
// with the event ID and the property count.
TEST_F(EventDecoderTest, PacketDataIsTheFirstPFromPositionFourThatFollowsAB) {
  struct Row {
    uint16_t id;
    std::vector<std::string> names;
    uint8_t position;
  };
  const Row rows[] = {
      {256, {"TCP", "InterfaceIP", "Source", "BufferSize", "PacketData"}, 4},
      {257, {"TCP", "InterfaceIP", "Destination", "Px", "Port", "BufferSize", "PacketData", "Bx", "Py"},
       6},
      {258, {"TCP", "InterfaceIP", "BSource", "PacketData", "Flags"}, 0},  // never position 3
  };
  Lines expected;
  for (const Row& row : rows) {
    FakeEvent event;
    for (size_t i = 0; i < row.names.size(); ++i) {
      if (i == 1 || i == 2) {
        event.text_property(row.names[i], "10.0.0." + std::to_string(i));
      } else {
        event.property(row.names[i], Bytes(i == 0 ? 1 : 3, static_cast<uint8_t>(i)));
      }
    }
    Bytes framed = message(0, "10.0.0.2", "10.0.0.1", 0, Bytes(3, row.position));
    EXPECT_EQ(decode_one(event.id(row.id)), row.position != 0 ? framed : Bytes());
  }
  EXPECT_EQ(log_.messages(), Lines{kFailed + "Packet data index not found for event ID 258 with "
                                             "property count 5"});
}

TEST(SecondsSinceEpoch, TruncatesTowardZeroWithoutOverflow) {
  struct Row {
    int64_t timestamp;
    int64_t seconds;
  };
  const int64_t epoch = kFiletimeUnixEpochOffset;
  const Row rows[] = {
      {epoch + kSecond - 1, 0},
      {epoch - 1, 0},
      {epoch - kSecond, -1},
      {std::numeric_limits<int64_t>::max(), 910692730085},  // 922337203685 - 11644473600
      {std::numeric_limits<int64_t>::min(), -933981677285},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(kx::sensor::seconds_since_epoch(row.timestamp, epoch), row.seconds) << row.timestamp;
  }
}

// The steady state allocates nothing, a shorter message keeps its own length, and a
// growth that fails keeps the old block for later events.
TEST_F(EventDecoderTest, BuffersAreReusedAndTheShorterMessageKeepsItsOwnLength) {
  // 257 names its device property "Destination": the largest event information block.
  decode_one(dns_packet_event(257, "192.168.100.200", "10.0.0.1", 1, Bytes(1000, 7), 0));
  EXPECT_EQ(allocation_count, 4);
  const uint32_t message_capacity = state_->message_capacity;

  FakeEvent short_event = dns_packet_event(256, "10.0.0.5", "10.0.0.2", 0, {0xAA, 0xBB}, 0);
  const Bytes expected = message(0x49EF6F00u, "10.0.0.5", "10.0.0.2", 0, {0xAA, 0xBB});
  EXPECT_EQ(decode_one(short_event), expected);
  decode_one(dns_packet_event(256, "192.168.100.201", "10.0.0.3", 1, Bytes(1000, 8), 0));
  EXPECT_EQ(allocation_count, 4);
  EXPECT_EQ(state_->message_capacity, message_capacity);

  failing_allocation = allocation_count + 1;
  decode_one(dns_packet_event(256, "10.0.0.5", "10.0.0.1", 0, Bytes(5000, 9), 0));
  EXPECT_EQ(log_.messages(),
            Lines{kFailed + "realloc(message) failed: " + logged_errno_text(ENOMEM)});
  EXPECT_EQ(state_->message_capacity, message_capacity);
  EXPECT_EQ(decode_one(short_event), expected);
}

}  // namespace
