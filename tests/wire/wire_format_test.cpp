#include "wire/wire_format.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace kx::wire;
using Bytes = std::vector<uint8_t>;

// The time's bytes differ and the top one is above 0x7F, so byte order and sign both show.
TEST(WireFormat, HelloAndMessageLaidOutExactlyAndParsedBackUnlessCutOrOfAnotherType) {
  uint8_t hello[kHelloRecordSize];
  write_hello_record(hello);
  EXPECT_EQ(std::string(hello, hello + sizeof hello), std::string("\0\0\0\x06\x01" "3.7.3", 10));
  const uint8_t packet[] = {0xA0, 0xA1, 0xA2};
  Bytes message(dns_message_size(8, 3, sizeof packet));
  ASSERT_EQ(write_dns_message(message.data(), 0xFE020304u, "10.0.0.5", "a.b", 1, packet, 3), 22u);
  const std::string expected("\x02\xFE\x02\x03\x04\x08" "10.0.0.5" "\x03" "a.b" "\x01\xA0\xA1\xA2", 22);
  EXPECT_EQ(std::string(message.begin(), message.end()), expected);
  DnsMessageView view;
  ASSERT_EQ(parse_dns_message(message.data(), message.size(), &view), ParseResult::ok);
  EXPECT_EQ(std::make_tuple(view.time_seconds, view.device, view.server, view.is_tcp),
            std::make_tuple(0xFE020304u, "10.0.0.5", "a.b", uint8_t{1}));
  EXPECT_EQ(Bytes(view.packet, view.packet + view.packet_size), Bytes(packet, packet + 3));
  for (size_t cut = 0; cut < message.size() - sizeof packet; ++cut) {
    // A heap copy of exactly `cut` bytes lets the sanitizer catch any read past the end.
    Bytes prefix(message.begin(), message.begin() + cut);
    EXPECT_EQ(parse_dns_message(prefix.data(), prefix.size(), &view), ParseResult::truncated)
        << cut;
  }
  message[0] = kHelloMessageType;
  EXPECT_EQ(parse_dns_message(message.data(), message.size(), &view), ParseResult::wrong_type);
}

}  // namespace
