#include "wire/wire_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kx::wire;

TEST(WireFormat, HelloRecordIsLengthSixTypeOneAndTheVersion) {
  uint8_t hello[kHelloRecordSize];
  write_hello_record(hello);
  const std::vector<uint8_t> expected = {0, 0, 0, 6, 1, '3', '.', '7', '.', '3'};
  EXPECT_EQ(std::vector<uint8_t>(hello, hello + sizeof hello), expected);
}

std::vector<uint8_t> example_packet() {
  std::vector<uint8_t> packet(40);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(0xA0 + i);
  return packet;
}

TEST(WireFormat, DnsMessageLaysOutTimeAddressesFlagAndPacket) {
  const std::vector<uint8_t> packet = example_packet();
  std::vector<uint8_t> message(dns_message_size(8, 8, packet.size()));
  ASSERT_EQ(message.size(), 64u);
  ASSERT_EQ(write_dns_message(message.data(), 258, "10.0.0.5", "10.0.0.1", 0, packet.data(), packet.size()), 64u);
  std::vector<uint8_t> expected = {0x02, 0x00, 0x00, 0x01, 0x02, 0x08};
  for (char c : std::string("10.0.0.5")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x08);
  for (char c : std::string("10.0.0.1")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x00);
  expected.insert(expected.end(), packet.begin(), packet.end());
  EXPECT_EQ(message, expected);
}

TEST(WireFormat, HeaderWriterReturnsWherePacketDataGoes) {
  std::vector<uint8_t> message(dns_message_size(3, 9, 0));
  EXPECT_EQ(write_dns_message_header(message.data(), 7, "a.b", "127.0.0.1", 1), 8u + 3 + 9);
  EXPECT_EQ(message.back(), 1);
}

TEST(WireFormat, ParseReadsBackWhatWasWritten) {
  const std::vector<uint8_t> packet = example_packet();
  std::vector<uint8_t> message(dns_message_size(9, 7, packet.size()));
  // Distinct bytes, the top one above 0x7F: byte order and sign both show.
  write_dns_message(message.data(), 0xFE020304u, "192.0.2.9", "1.2.3.4", 1, packet.data(), packet.size());
  DnsMessageView view;
  ASSERT_EQ(parse_dns_message(message.data(), message.size(), &view), ParseResult::ok);
  EXPECT_EQ(view.time_seconds, 0xFE020304u);
  EXPECT_EQ(view.device, "192.0.2.9");
  EXPECT_EQ(view.server, "1.2.3.4");
  EXPECT_EQ(view.is_tcp, 1);
  ASSERT_EQ(view.packet_size, packet.size());
  EXPECT_EQ(std::vector<uint8_t>(view.packet, view.packet + view.packet_size), packet);
}

TEST(WireFormat, ParseRefusesEveryTruncationAndOtherTypes) {
  std::vector<uint8_t> message(dns_message_size(8, 8, 0));
  write_dns_message(message.data(), 1, "10.0.0.5", "10.0.0.1", 0, nullptr, 0);
  DnsMessageView view;
  ASSERT_EQ(parse_dns_message(message.data(), message.size(), &view), ParseResult::ok);
  EXPECT_EQ(view.packet_size, 0u);
  for (size_t cut = 0; cut < message.size(); ++cut) {
    // A heap copy of exactly `cut` bytes lets the sanitizer catch any read past the end.
    std::vector<uint8_t> prefix(message.begin(), message.begin() + cut);
    EXPECT_EQ(parse_dns_message(prefix.data(), prefix.size(), &view), ParseResult::truncated)
        << cut;
  }
  message[0] = kHelloMessageType;
  EXPECT_EQ(parse_dns_message(message.data(), message.size(), &view), ParseResult::wrong_type);
}

}  // namespace
