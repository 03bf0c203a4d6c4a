#include "sensor/event_decoder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent/errors.h"
#include "support/fake_etw.h"
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

// A packet event over TCP to an IPv6 server address, 258.9999999 s after 1970 (framed
// as 258: whole seconds, truncated).
FakeEvent example_event(uint16_t id = 256, const std::string& device = "10.0.0.5") {
  return dns_packet_event(id, device, "fe80::53", 1, example_packet(),
                          kFiletimeUnixEpochOffset + 259 * kSecond - 1);
}

Bytes example_message(const std::string& device = "10.0.0.5") {
  return message_body(258, device, "fe80::53", 1, text(example_packet()));
}

// Only the DNS server's packet events are framed, of their device addresses only IPv4
// text or, with ipv6-clients on, IPv6 text as delivered and a mapped address as dotted
// IPv4; the server is framed unchecked. Other events, and a message while no sink is set,
// are dropped silently. One state runs all rows: fe80::1 is shorter than those before it.
TEST_F(EventDecoderTest, FramesPacketEventsFromIpv4ClientsAndDropsOthersSilently) {
  struct Row {
    uint16_t id;
    std::string device;
    const char* framed;  // the device text framed, nullptr: dropped
    const char* framed_with_ipv6_clients;
  };
  const Row rows[] = {
      {255, "10.0.0.5", nullptr, nullptr},
      {256, "10.0.0.5", "10.0.0.5", "10.0.0.5"},
      {257, "10.0.0.5", "10.0.0.5", "10.0.0.5"},
      {258, "10.0.0.5", "10.0.0.5", "10.0.0.5"},
      {259, "10.0.0.5", nullptr, nullptr},
      {257, "fe80::1", nullptr, "fe80::1"},
      {256, "::ffff:10.0.0.5", nullptr, "10.0.0.5"},
      {256, "dns.example", nullptr, nullptr},
  };
  for (bool ipv6_clients : {false, true}) {
    state_->ipv6_clients = ipv6_clients;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::to_string(row.id) + " from '" + row.device + "', ipv6-clients " +
                   (ipv6_clients ? "on" : "off"));
      const char* framed = ipv6_clients ? row.framed_with_ipv6_clients : row.framed;
      EXPECT_EQ(decode_one(example_event(row.id, row.device)),
                framed != nullptr ? example_message(framed) : Bytes());
    }
  }
  GUID other = kx::sensor::kDnsServerProviderGuid;
  other.Data4[7] ^= 0x01;
  EXPECT_EQ(decode_one(example_event().provider(other)), Bytes());
  state_->sink.handler = nullptr;
  EXPECT_EQ(decode_one(example_event()), Bytes());
  EXPECT_EQ(log_.messages(), Lines());
}

int32_t refuse_by_raising(const uint8_t*, uint32_t length, void*) {
  throw kx::sensor::SensorError("push(" + std::to_string(length) + ") failed: too long");
}
int32_t raise_something_else(const uint8_t*, uint32_t, void*) { throw 42; }

// Each row fails the example event one way: a TDH call (the platform refuses a buffer
// smaller than the value), or a value the message cannot carry (an address empty or too
// long for its length byte, a packet size that would overflow the message length). Then
// each allocation of a fresh state fails in turn (event_info, server_ip, device_ip and
// message grow in that order), a later growth fails, and the sink raises.
TEST_F(EventDecoderTest, EachFailureLogsOneLineAndTheNextEventGoesThrough) {
  struct Row {
    FakeEvent event;
    std::string line;
  };
  auto failed = [](const std::string& call, int32_t status = 87) {
    return kFailed + call + ") failed: " + logged_error_text(status);
  };
  const Row rows[] = {
      {example_event().fail(TdhCall::event_info_size, 5),
       "ERROR - TdhGetEventInformation() failed: " + logged_error_text(5)},
      {example_event().fail(TdhCall::event_info, 87), failed("TdhGetEventInformation(")},
      {example_event().fail(TdhCall::property_size, 87, "TCP"), failed("TdhGetPropertySize(is_tcp")},
      {example_event().property("TCP", {1, 0}), failed("TdhGetProperty(is_tcp", 122)},
      {example_event().property("InterfaceIP", {}), kFailed + "Empty server_ip for event ID 256"},
      {example_event().property("Source", Bytes(257, '1')),
       kFailed + "device_ip of 257 bytes too long for event ID 256"},
      {example_event().property("PacketData", example_packet(), 5),
       failed("TdhGetProperty(packet_data", 122)},
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
  // A growth that fails keeps the old block, which the next event uses.
  failing_allocation = allocation_count + 1;
  expect_one_line_then_recovery(example_event().property("PacketData", Bytes(5000, 9)),
                                kFailed + "realloc(message) failed: " + logged_errno_text(ENOMEM));
  EXPECT_EQ(state_->message_capacity, example_message().size());
  // The sensor queue refuses a message longer than its ring by raising.
  state_->sink.handler = refuse_by_raising;
  expect_one_line_then_recovery(example_event(), kFailed + "push(53) failed: too long");
  state_->sink.handler = raise_something_else;
  expect_one_line_then_recovery(example_event(), kFailed + "unknown error");
}

}  // namespace
