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
  void decode(FakeEvent event) { kx::sensor::process_event(*state_, event.record()); }
  // The one message the decode delivered, or nothing when it delivered none.
  Bytes decode_one(FakeEvent event) {
    delivered_.clear();
    decode(std::move(event));
    return delivered_.size() == 1 ? delivered_[0] : Bytes();
  }

  LogCapture log_;
  FakeTdh tdh_;
  std::unique_ptr<kx::sensor::EventDecodingState> state_;
  std::vector<Bytes> delivered_;
};

FakeEvent example_event(uint16_t id = 256) {
  return dns_packet_event(id, "10.0.0.5", "10.0.0.1", 0, counting_bytes(40),
                          kFiletimeUnixEpochOffset + 258 * kSecond);
}

// The example event's 64 bytes, written out by hand.
Bytes example_message() {
  const char head[] = "\x02\x00\x00\x01\x02\x08" "10.0.0.5\x08" "10.0.0.1\x00";
  Bytes expected(head, head + 24);
  Bytes packet = counting_bytes(40);
  expected.insert(expected.end(), packet.begin(), packet.end());
  return expected;
}

Bytes message(uint32_t time, const std::string& device, const std::string& server, uint8_t tcp,
              const Bytes& packet) {
  return message_body(time, device, server, tcp, text(packet));
}

// Only the DNS server's packet IDs are framed, byte for byte; other IDs and providers are
// dropped without a line, and so is a message while no sink is set. Other IDs cost only the
// event information and other providers no TDH call at all: a later call would fail here
// and log its line.
TEST_F(EventDecoderTest, FramesPacketEventsByteForByteAndDropsOthersSilently) {
  for (uint16_t id : {0, 255, 256, 257, 258, 259, 65535}) {
    SCOPED_TRACE("event ID " + std::to_string(id));
    const bool packet_event = id >= 256 && id <= 258;
    FakeEvent event = example_event(id);
    if (!packet_event) event.fail(TdhCall::property_size, 87, "TCP");
    EXPECT_EQ(decode_one(event), packet_event ? example_message() : Bytes());
  }
  GUID other = kx::sensor::kDnsServerProviderGuid;
  other.Data4[7] ^= 0x01;
  EXPECT_EQ(decode_one(example_event().provider(other).fail(TdhCall::event_info_size, 5)), Bytes());
  state_->sink.handler = nullptr;  // framed and dropped
  decode(example_event());
  EXPECT_EQ(log_.messages(), Lines());

  decode(example_event(259).fail(TdhCall::event_info, 1168));
  EXPECT_EQ(log_.messages(),
            Lines{kFailed + "TdhGetEventInformation() failed: " + logged_error_text(1168)});
}

// With ipv6-clients on, IPv6 device text is framed as delivered, a mapped address as its
// dotted IPv4 text; names stay dropped either way. The server is framed unchecked.
TEST_F(EventDecoderTest, OnlyIpv4TextIsTakenAsDeviceAddressAndTheServerIsFramedUnchecked) {
  struct Row {
    std::string device;
    std::string server;
    const char* framed;                  // the device text framed, nullptr: dropped
    const char* framed_with_ipv6_clients;
  };
  const std::string longest(255, '7');  // the most the one-byte length carries
  const Row rows[] = {
      {"10.0.0.5", "10.0.0.1", "10.0.0.5", "10.0.0.5"},
      {"", "10.0.0.1", "", ""},
      {"10.0.0.\xE9", "10.0.0.1", "10.0.0.\xE9", "10.0.0.\xE9"},  // 0x80 up: no letter
      {"10.0.0.5", "fe80::1", "10.0.0.5", "10.0.0.5"},
      {longest, longest, longest.c_str(), longest.c_str()},
      {"fe80::1", "10.0.0.1", nullptr, "fe80::1"},
      {"2001:DB8:0::7", "2001:db8::53", nullptr, "2001:DB8:0::7"},
      {"::ffff:10.0.0.5", "10.0.0.1", nullptr, "10.0.0.5"},
      {"::FFFF:ffff:fffe", "10.0.0.1", nullptr, "255.255.255.254"},
      {"fe80::1%12", "10.0.0.1", nullptr, nullptr},
      {"dns.example", "10.0.0.1", nullptr, nullptr},
      {"10.0.0.5a", "10.0.0.1", nullptr, nullptr},
  };
  for (bool ipv6_clients : {false, true}) {
    state_->ipv6_clients = ipv6_clients;
    for (const Row& row : rows) {
      SCOPED_TRACE("device '" + row.device + "', ipv6-clients " + (ipv6_clients ? "on" : "off"));
      const char* framed = ipv6_clients ? row.framed_with_ipv6_clients : row.framed;
      Bytes packet = counting_bytes(12);
      Bytes expected = framed != nullptr ? message(0, framed, row.server, 1, packet) : Bytes();
      EXPECT_EQ(decode_one(dns_packet_event(257, row.device, row.server, 1, packet,
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

// A row fails one TDH call of the example event; then each allocation of a fresh state
// fails in turn, which grows event_info, server_ip, device_ip and message in that order.
TEST_F(EventDecoderTest, EachFailureLogsOneLineAndTheNextEventGoesThrough) {
  struct Row {
    TdhCall call;
    const char* property;
    uint32_t status;
    std::string line;  // followed by ") failed: " and the system text of the status
  };
  const std::string size = kFailed + "TdhGetPropertySize(", get = kFailed + "TdhGetProperty(";
  const Row rows[] = {
      {TdhCall::event_info_size, "", 0, "ERROR - TdhGetEventInformation("},
      {TdhCall::event_info_size, "", 5, "ERROR - TdhGetEventInformation("},
      {TdhCall::event_info, "", 1168, kFailed + "TdhGetEventInformation("},
      {TdhCall::property_size, "TCP", 87, size + "is_tcp"},
      {TdhCall::property, "TCP", 1168, get + "is_tcp"},
      {TdhCall::property_size, "InterfaceIP", 87, size + "server_ip"},
      {TdhCall::property, "InterfaceIP", 1168, get + "server_ip"},
      {TdhCall::property_size, "Source", 87, size + "device_ip"},
      {TdhCall::property, "Source", 1168, get + "device_ip"},
      {TdhCall::property_size, "PacketData", 87, size + "packet_data"},
      {TdhCall::property, "PacketData", 1168, get + "packet_data"},
  };
  Lines expected;
  auto expect_one_line_then_recovery = [&](FakeEvent failing, const std::string& line) {
    EXPECT_EQ(decode_one(std::move(failing)), Bytes()) << line;
    expected.push_back(line);
    EXPECT_EQ(log_.messages(), expected);
    state_->sink.handler = collect;
    EXPECT_EQ(decode_one(example_event()), example_message()) << "after " << line;
  };
  for (const Row& row : rows) {
    expect_one_line_then_recovery(example_event().fail(row.call, row.status, row.property),
                                  row.line + ") failed: " + logged_error_text(int32_t(row.status)));
  }
  int allocation = 0;
  for (const char* buffer : {"event_info", "server_ip", "device_ip", "message"}) {
    reset();
    failing_allocation = ++allocation;  // later allocations count past it and succeed
    expect_one_line_then_recovery(example_event(), kFailed + "realloc(" + buffer + ") failed: " +
                                                       logged_errno_text(ENOMEM));
  }
  // A sink that refuses the message by raising (the sensor queue does for one longer than
  // its ring) loses that message only.
  state_->sink.handler = refuse_by_raising;
  expect_one_line_then_recovery(example_event(), kFailed + "push(64) failed: too long");
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
      {256, {"TCP", "InterfaceIP", "Source", "Port", "BufferSize", "PacketData", "Bx", "Py"}, 5},
      {258, {"TCP", "InterfaceIP", "Source", "Port", "bufferSize", "packetData", "Bx", "Py"}, 7},
      {256, {"TCP", "InterfaceIP", "Source", "Port", "Px", "BufferSize", "PacketData"}, 6},
      {256, {"TCP", "InterfaceIP", "Source", "BufferSize"}, 0},
      {257, {"TCP", "InterfaceIP", "Destination", "Port", "BufferSize", "Data"}, 0},
      {258, {"TCP", "InterfaceIP", "BSource", "PacketData", "Flags"}, 0},  // never position 3
      {256, {}, 0},
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
    if (row.position == 0) {
      expected.push_back(kFailed + "Packet data index not found for event ID " +
                         std::to_string(row.id) + " with property count " +
                         std::to_string(row.names.size()));
    }
  }
  EXPECT_EQ(log_.messages(), expected);
}

// An is_tcp wider than its byte (the platform refuses the one-byte buffer), an address
// that is empty or too long for its length byte, and a packet size that would overflow
// the message length: each fails the event before the message buffer is allocated.
TEST_F(EventDecoderTest, ValuesTheMessageCannotCarryFailTheEventWithALine) {
  struct Row {
    const char* property;  // of the example event, given this value and reported size
    Bytes value;
    int64_t reported_size;
    std::string line;
  };
  Bytes long_text(256, '1');
  long_text.push_back(0);
  const Row rows[] = {
      {"TCP", {1, 0}, -1, "TdhGetProperty(is_tcp) failed: " + logged_error_text(122)},
      {"InterfaceIP", {}, -1, "Empty server_ip for event ID 256"},
      {"Source", {}, -1, "Empty device_ip for event ID 256"},
      {"InterfaceIP", long_text, -1, "server_ip of 257 bytes too long for event ID 256"},
      {"Source", long_text, -1, "device_ip of 257 bytes too long for event ID 256"},
      {"PacketData", counting_bytes(40), 0x7FFFFFF8,
       "packet_data of 2147483640 bytes too long for event ID 256"},
  };
  Lines expected;
  for (const Row& row : rows) {
    reset();
    decode(example_event().property(row.property, row.value, row.reported_size));
    expected.push_back(kFailed + row.line);
    EXPECT_EQ(log_.messages(), expected);
    EXPECT_EQ(state_->message, nullptr) << row.line;
  }
  EXPECT_EQ(delivered_, std::vector<Bytes>());
}

TEST_F(EventDecoderTest, TimeIsWholeSecondsSince1970TruncatedTowardZero) {
  struct Row {
    int64_t timestamp;
    uint32_t seconds;
  };
  const int64_t epoch = kFiletimeUnixEpochOffset;
  const Row rows[] = {
      {epoch + kSecond - 1, 0},
      {epoch - 1, 0},
      {epoch - kSecond, 0xFFFFFFFF},
      {epoch + (int64_t{1} << 32) * kSecond, 0},  // only the low 32 bits travel
      {std::numeric_limits<int64_t>::max(), 0x098444E5},
      {std::numeric_limits<int64_t>::min(), 0x8A5A991B},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decode_one(dns_packet_event(256, "10.0.0.5", "10.0.0.1", 0, {7}, row.timestamp)),
              message(row.seconds, "10.0.0.5", "10.0.0.1", 0, {7}))
        << "time stamp " << row.timestamp;
  }
}

TEST_F(EventDecoderTest, BuffersAreReusedAndTheShorterMessageKeepsItsOwnLength) {
  // 257 names its device property "Destination": the largest event information block.
  decode(dns_packet_event(257, "192.168.100.200", "10.0.0.1", 1, counting_bytes(1000, 7), 0));
  EXPECT_EQ(allocation_count, 4);
  const uint32_t message_capacity = state_->message_capacity;

  FakeEvent short_event = dns_packet_event(256, "10.0.0.5", "10.0.0.2", 0, {0xAA, 0xBB}, 0);
  const Bytes expected = message(0x49EF6F00u, "10.0.0.5", "10.0.0.2", 0, {0xAA, 0xBB});
  EXPECT_EQ(decode_one(short_event), expected);
  decode(dns_packet_event(256, "192.168.100.201", "10.0.0.3", 1, counting_bytes(1000), 0));
  EXPECT_EQ(allocation_count, 4) << "the steady state allocates nothing";
  EXPECT_EQ(state_->message_capacity, message_capacity);

  // A growth that fails keeps the old block, and later events still use it.
  failing_allocation = allocation_count + 1;
  decode(dns_packet_event(256, "10.0.0.5", "10.0.0.1", 0, counting_bytes(5000), 0));
  EXPECT_EQ(log_.messages(),
            Lines{kFailed + "realloc(message) failed: " + logged_errno_text(ENOMEM)});
  EXPECT_EQ(state_->message_capacity, message_capacity);
  EXPECT_EQ(decode_one(short_event), expected);
}

}  // namespace
