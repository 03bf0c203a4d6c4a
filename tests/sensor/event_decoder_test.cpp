#include "sensor/event_decoder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "agent/errors.h"
#include "net/wire_format.h"
#include "support/fake_tdh.h"
#include "support/log_capture.h"

namespace {

using kx::sensor::EventDecodingState;
using kx::sensor::kFiletimeUnixEpochOffset;
using kx::sensor::process_event;
using kx::test::counting_bytes;
using kx::test::dns_packet_event;
using kx::test::FakeEvent;
using kx::test::FakeTdh;
using kx::test::logged_errno_text;
using kx::test::logged_error_text;
using kx::test::TdhCall;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kSecond = 10000000;
const char kFailed[] = "ERROR - Process ETW event failed: ";

// Allocation hooks for the decoder: counting, or failing one chosen call.
int allocation_count = 0;
int failing_allocation = 0;  // 1-based call number that fails; 0 for none
void* counting_reallocate(void* block, size_t size) {
  ++allocation_count;
  if (allocation_count == failing_allocation) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, size);
}

class EventDecoderTest : public ::testing::Test {
 protected:
  EventDecoderTest() : state_(tdh_, counting_reallocate) {
    allocation_count = 0;
    failing_allocation = 0;
    state_.sink = collect;
    state_.sink_user = &delivered_;
  }

  static int32_t collect(const uint8_t* data, uint32_t length, void* user) {
    static_cast<std::vector<Bytes>*>(user)->emplace_back(data, data + length);
    return 0;
  }

  void decode(FakeEvent event) { process_event(state_, event.record()); }

  std::vector<std::string> logged() const { return log_.messages(); }

  kx::test::LogCapture log_;
  FakeTdh tdh_;
  EventDecodingState state_;
  std::vector<Bytes> delivered_;
};

FakeEvent example_event(uint16_t id = 256) {
  return dns_packet_event(id, "10.0.0.5", "10.0.0.1", 0, counting_bytes(40),
                          kFiletimeUnixEpochOffset + 258 * kSecond);
}

Bytes example_message() {
  Bytes expected = {0x02, 0x00, 0x00, 0x01, 0x02, 0x08};
  for (char c : std::string("10.0.0.5")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x08);
  for (char c : std::string("10.0.0.1")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x00);
  Bytes packet = counting_bytes(40);
  expected.insert(expected.end(), packet.begin(), packet.end());
  return expected;
}

kx::wire::DnsMessageView parsed(const Bytes& message) {
  kx::wire::DnsMessageView view;
  EXPECT_EQ(kx::wire::parse_dns_message(message.data(), message.size(), &view),
            kx::wire::ParseResult::ok);
  return view;
}

TEST_F(EventDecoderTest, FramesEachPacketEventByteForByte) {
  for (uint16_t id : {256, 257, 258}) {
    delivered_.clear();
    tdh_.clear_calls();
    decode(example_event(id));
    ASSERT_EQ(delivered_.size(), 1u) << "event ID " << id;
    EXPECT_EQ(delivered_[0].size(), 64u);
    EXPECT_EQ(delivered_[0], example_message()) << "event ID " << id;
    std::string device = id == 257 ? "Destination" : "Source";
    EXPECT_EQ(tdh_.calls(), (std::vector<std::string>{
                                "TdhGetEventInformation(size)", "TdhGetEventInformation",
                                "TdhGetPropertySize(TCP)", "TdhGetProperty(TCP)",
                                "TdhGetPropertySize(InterfaceIP)", "TdhGetProperty(InterfaceIP)",
                                "TdhGetPropertySize(" + device + ")", "TdhGetProperty(" + device + ")",
                                "TdhGetPropertySize(PacketData)", "TdhGetProperty(PacketData)"}));
  }
  EXPECT_TRUE(logged().empty());
}

TEST_F(EventDecoderTest, EventOfAnotherProviderIsDroppedWithoutAnyTdhCall) {
  GUID other = kx::sensor::kDnsServerProviderGuid;
  other.Data4[7] ^= 0x01;
  decode(example_event().provider(other));
  EXPECT_TRUE(tdh_.calls().empty());
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(logged().empty());
}

TEST_F(EventDecoderTest, OtherEventIdsFetchTheEventInformationAndYieldNothing) {
  for (uint16_t id : {0, 255, 259, 65535}) {
    tdh_.clear_calls();
    decode(example_event(id));
    EXPECT_EQ(tdh_.calls(), (std::vector<std::string>{"TdhGetEventInformation(size)",
                                                      "TdhGetEventInformation"}))
        << "event ID " << id;
  }
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(logged().empty());

  tdh_.fail(TdhCall::event_info, 1168);
  decode(example_event(259));
  EXPECT_EQ(logged(), std::vector<std::string>{std::string(kFailed) +
                                               "TdhGetEventInformation() failed: " +
                                               logged_error_text(1168)});
}

TEST_F(EventDecoderTest, OnlyIpv4TextIsTakenAsDeviceAddress) {
  struct Row {
    std::string device;
    bool kept;
  };
  const Row rows[] = {
      {"10.0.0.5", true},     {"255.255.255.255", true}, {"", true},
      {"10.0.0.\xE9", true},  // bytes from 0x80 up are not letters
      {"fe80::1", false},     {"::ffff:10.0.0.5", false}, {"dns.example", false},
      {"10.0.0.5a", false},   {"Z", false},
  };
  for (const Row& row : rows) {
    delivered_.clear();
    decode(dns_packet_event(256, row.device, "10.0.0.1", 0, counting_bytes(12), 0));
    ASSERT_EQ(delivered_.size(), row.kept ? 1u : 0u) << "device '" << row.device << "'";
    if (row.kept) {
      EXPECT_EQ(parsed(delivered_[0]).device, row.device);
    }
  }
  EXPECT_TRUE(logged().empty());
}

TEST_F(EventDecoderTest, ServerAddressIsFramedUnchecked) {
  for (std::string server : {"fe80::1", "dns.example"}) {
    delivered_.clear();
    decode(dns_packet_event(257, "10.0.0.5", server, 1, counting_bytes(3), 0));
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(parsed(delivered_[0]).server, server);
    EXPECT_EQ(parsed(delivered_[0]).is_tcp, 1);
  }
}

TEST_F(EventDecoderTest, EachTdhFailureLogsOneLineAndTheNextEventGoesThrough) {
  struct Row {
    TdhCall call;
    const char* property;
    uint32_t status;
    std::string line;
  };
  const std::string failed = kFailed;
  const Row rows[] = {
      {TdhCall::event_info_size, "", 0, "ERROR - TdhGetEventInformation() failed: "},
      {TdhCall::event_info_size, "", 5, "ERROR - TdhGetEventInformation() failed: "},
      {TdhCall::event_info, "", 1168, failed + "TdhGetEventInformation() failed: "},
      {TdhCall::property_size, "TCP", 87, failed + "TdhGetPropertySize(is_tcp) failed: "},
      {TdhCall::property, "TCP", 1168, failed + "TdhGetProperty(is_tcp) failed: "},
      {TdhCall::property_size, "InterfaceIP", 87, failed + "TdhGetPropertySize(server_ip) failed: "},
      {TdhCall::property, "InterfaceIP", 1168, failed + "TdhGetProperty(server_ip) failed: "},
      {TdhCall::property_size, "Source", 87, failed + "TdhGetPropertySize(device_ip) failed: "},
      {TdhCall::property, "Source", 1168, failed + "TdhGetProperty(device_ip) failed: "},
      {TdhCall::property_size, "PacketData", 87,
       failed + "TdhGetPropertySize(packet_data) failed: "},
      {TdhCall::property, "PacketData", 1168, failed + "TdhGetProperty(packet_data) failed: "},
  };
  size_t lines = 0;
  for (const Row& row : rows) {
    tdh_.fail(row.call, row.status, row.property);
    decode(example_event());
    std::vector<std::string> messages = logged();
    ASSERT_EQ(messages.size(), lines + 1) << row.line;
    EXPECT_EQ(messages.back(), row.line + logged_error_text(static_cast<int32_t>(row.status)));
    EXPECT_TRUE(delivered_.empty()) << row.line;
    ++lines;

    tdh_.clear_failures();
    decode(example_event());
    ASSERT_EQ(delivered_.size(), 1u) << "after " << row.line;
    EXPECT_EQ(delivered_[0], example_message());
    EXPECT_EQ(logged().size(), lines);
    delivered_.clear();
  }
}

TEST_F(EventDecoderTest, EachFailedGrowthLogsOneLineAndTheNextEventGoesThrough) {
  // A fresh state grows its buffers in this order on its first event.
  const char* buffers[] = {"event_info", "server_ip", "device_ip", "message"};
  for (int call = 1; call <= 4; ++call) {
    EventDecodingState fresh(tdh_, counting_reallocate);
    fresh.sink = collect;
    fresh.sink_user = &delivered_;
    allocation_count = 0;
    failing_allocation = call;
    FakeEvent event = example_event();
    process_event(fresh, event.record());
    ASSERT_TRUE(delivered_.empty());
    ASSERT_FALSE(logged().empty());
    EXPECT_EQ(logged().back(),
              std::string(kFailed) + "realloc(" + buffers[call - 1] + ") failed: " + logged_errno_text(ENOMEM));

    failing_allocation = 0;
    process_event(fresh, event.record());
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0], example_message());
    delivered_.clear();
  }
  EXPECT_EQ(logged().size(), 4u);
}

// Events whose names are given; every property after the addresses holds three bytes
// of its own position, so the packet taken tells which position was chosen.
FakeEvent event_with_names(const std::vector<std::string>& names) {
  FakeEvent event;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i == 0) {
      event.property(names[i], {0});
    } else if (i <= 2) {
      event.text_property(names[i], "10.0.0." + std::to_string(i));
    } else {
      uint8_t position = static_cast<uint8_t>(i);
      event.property(names[i], {position, position, position});
    }
  }
  return event;
}

TEST_F(EventDecoderTest, PacketDataIsTheFirstPFromPositionFourThatFollowsAB) {
  struct Row {
    std::vector<std::string> names;
    uint8_t position;
  };
  const Row rows[] = {
      {{"TCP", "InterfaceIP", "Source", "BufferSize", "PacketData"}, 4},
      {{"TCP", "InterfaceIP", "Source", "Port", "BufferSize", "PacketData", "Bx", "Py"}, 5},
      {{"TCP", "InterfaceIP", "Source", "Port", "Flags", "BufferSize", "PacketData"}, 6},
      {{"TCP", "InterfaceIP", "Source", "Port", "bufferSize", "packetData", "Bx", "Py"}, 7},
      {{"TCP", "InterfaceIP", "Source", "Port", "Px", "BufferSize", "PacketData"}, 6},
  };
  for (const Row& row : rows) {
    delivered_.clear();
    decode(event_with_names(row.names));
    ASSERT_EQ(delivered_.size(), 1u) << "expected position " << int{row.position};
    kx::wire::DnsMessageView view = parsed(delivered_[0]);
    EXPECT_EQ(Bytes(view.packet, view.packet + view.packet_size),
              Bytes(3, row.position));
  }
  EXPECT_TRUE(logged().empty());
}

TEST_F(EventDecoderTest, MissingPacketDataPositionLogsTheEventIdAndCount) {
  struct Row {
    uint16_t id;
    std::vector<std::string> names;
  };
  const Row rows[] = {
      {256, {"TCP", "InterfaceIP", "Source", "BufferSize"}},
      {257, {"TCP", "InterfaceIP", "Destination", "Port", "BufferSize", "Data"}},
      // Position 3 is never the packet data, even right after a 'B'.
      {258, {"TCP", "InterfaceIP", "BSource", "PacketData", "Flags"}},
      {256, {}},
  };
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    decode(event_with_names(row.names).id(row.id));
    expected.push_back(std::string(kFailed) + "Packet data index not found for event ID " +
                       std::to_string(row.id) + " with property count " +
                       std::to_string(row.names.size()));
  }
  EXPECT_EQ(logged(), expected);
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(EventDecoderTest, IsTcpWiderThanOneByteFailsEveryEvent) {
  for (uint16_t id : {256, 257, 258}) {
    FakeEvent event;
    event.id(id).property("TCP", {1, 0});
    const FakeEvent model = example_event(id);
    for (const auto& p : model.properties()) {
      if (p.name != "TCP") event.property(p.name, p.value);
    }
    decode(event);
  }
  std::string line = std::string(kFailed) + "TdhGetProperty(is_tcp) failed: " + logged_error_text(122);
  EXPECT_EQ(logged(), std::vector<std::string>(3, line));
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(EventDecoderTest, TimeIsWholeSecondsSince1970TruncatedTowardZero) {
  struct Row {
    int64_t timestamp;
    uint32_t seconds;
  };
  const int64_t epoch = kFiletimeUnixEpochOffset;
  const Row rows[] = {
      {epoch + 258 * kSecond, 258},
      {epoch, 0},
      {epoch + kSecond - 1, 0},
      {epoch - 1, 0},
      {epoch - kSecond, 0xFFFFFFFF},
      {epoch - 2 * kSecond + 1, 0xFFFFFFFF},
      {epoch + (int64_t{1} << 32) * kSecond, 0},  // only the low 32 bits travel
      {0, 0x49EF6F00},                            // 1601-01-01: -11644473600 s
      {std::numeric_limits<int64_t>::max(), 0x098444E5},
      {std::numeric_limits<int64_t>::min(), 0x8A5A991B},
  };
  for (const Row& row : rows) {
    delivered_.clear();
    decode(dns_packet_event(256, "10.0.0.5", "10.0.0.1", 0, counting_bytes(1), row.timestamp));
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(parsed(delivered_[0]).time_seconds, row.seconds) << "time stamp " << row.timestamp;
  }
}

TEST_F(EventDecoderTest, WithoutASinkTheEventIsDecodedAndNothingIsDelivered) {
  state_.sink = nullptr;
  decode(example_event());
  EXPECT_EQ(tdh_.calls().back(), "TdhGetProperty(PacketData)");
  ASSERT_EQ(state_.message_length, 64);
  EXPECT_EQ(Bytes(state_.message, state_.message + 64), example_message());
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(logged().empty());
}

TEST_F(EventDecoderTest, BuffersAreReusedAndTheShorterMessageKeepsItsOwnLength) {
  // 257 names its device property "Destination": the largest event information block.
  decode(dns_packet_event(257, "192.168.100.200", "10.0.0.1", 1, counting_bytes(1000, 7), 0));
  EXPECT_EQ(allocation_count, 4);
  uint32_t message_capacity = state_.message_capacity;

  Bytes short_packet = {0xAA, 0xBB};
  decode(dns_packet_event(256, "10.0.0.5", "10.0.0.2", 0, short_packet, 0));
  decode(dns_packet_event(256, "192.168.100.201", "10.0.0.3", 1, counting_bytes(1000), 0));
  EXPECT_EQ(allocation_count, 4) << "the steady state allocates nothing";
  EXPECT_EQ(state_.message_capacity, message_capacity);

  ASSERT_EQ(delivered_.size(), 3u);
  Bytes expected(kx::wire::dns_message_size(8, 8, 2));
  // Time stamp 0 is 1601-01-01, -11644473600 seconds from 1970.
  kx::wire::write_dns_message(expected.data(), 0x49EF6F00u, "10.0.0.5", "10.0.0.2", 0,
                              short_packet.data(), 2);
  EXPECT_EQ(delivered_[1], expected);

  // A growth that fails keeps the old block, and later events still use it.
  failing_allocation = allocation_count + 1;
  decode(dns_packet_event(256, "10.0.0.5", "10.0.0.1", 0, counting_bytes(5000), 0));
  EXPECT_EQ(logged(), std::vector<std::string>{std::string(kFailed) +
                                               "realloc(message) failed: " + logged_errno_text(ENOMEM)});
  EXPECT_EQ(state_.message_capacity, message_capacity);
  decode(dns_packet_event(256, "10.0.0.5", "10.0.0.2", 0, short_packet, 0));
  ASSERT_EQ(delivered_.size(), 4u);
  EXPECT_EQ(delivered_[3], expected);
}

TEST_F(EventDecoderTest, AddressesThatTheMessageCannotCarryAreRefusedWithALine) {
  struct Row {
    const char* property;
    Bytes value;
    std::string line;
  };
  Bytes long_text(256, '1');
  long_text.push_back(0);
  const Row rows[] = {
      {"InterfaceIP", {}, "Empty server_ip for event ID 256"},
      {"Source", {}, "Empty device_ip for event ID 256"},
      {"InterfaceIP", long_text, "server_ip of 257 bytes too long for event ID 256"},
      {"Source", long_text, "device_ip of 257 bytes too long for event ID 256"},
  };
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    FakeEvent event;
    const FakeEvent model = example_event();
    for (const auto& p : model.properties()) {
      event.property(p.name, p.name == row.property ? row.value : p.value);
    }
    decode(event);
    expected.push_back(kFailed + row.line);
  }
  EXPECT_EQ(logged(), expected);
  EXPECT_TRUE(delivered_.empty());
}

TEST_F(EventDecoderTest, AddressOf255BytesFitsItsLengthByte) {
  std::string longest(255, '7');
  decode(dns_packet_event(256, longest, longest, 0, counting_bytes(4), 0));
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0].size(), 8u + 255 + 255 + 4);
  EXPECT_EQ(parsed(delivered_[0]).device, longest);
  EXPECT_EQ(parsed(delivered_[0]).server, longest);
}

TEST_F(EventDecoderTest, PacketSizeThatWouldOverflowTheLengthIsRefusedBeforeAllocating) {
  decode(example_event().reported_size("PacketData", 0x7FFFFFF8));
  int allocations = allocation_count;
  EXPECT_EQ(logged(), std::vector<std::string>{
                          std::string(kFailed) +
                          "packet_data of 2147483640 bytes too long for event ID 256"});
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(state_.message, nullptr);
  EXPECT_EQ(allocations, 3);
}

int32_t refuse_by_raising(const uint8_t*, uint32_t length, void*) {
  throw kx::sensor::SensorError("push(" + std::to_string(length) + ") failed: too long");
}
int32_t raise_something_else(const uint8_t*, uint32_t, void*) { throw 42; }

TEST_F(EventDecoderTest, ASinkThatRaisesLosesThatEventOnlyAndCaptureGoesOn) {
  state_.sink = refuse_by_raising;
  decode(example_event());
  state_.sink = raise_something_else;
  decode(example_event());
  EXPECT_EQ(logged(), (std::vector<std::string>{std::string(kFailed) + "push(64) failed: too long",
                                                std::string(kFailed) + "unknown error"}));
  state_.sink = collect;
  decode(example_event());
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0], example_message());
}

}  // namespace
