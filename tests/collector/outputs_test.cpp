// The collector's outputs: JSON lines, pcap frames, dnstap and Kafka.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "collector_error.h"
#include "dnstap.pb-c.h"
#include "dnstap_output.h"
#include "json_output.h"
#include "kafka_output.h"
#include "pcap_frame.h"
#include "pcap_output.h"
#include "support/loopback.h"
#include "support/records.h"
#include "text_format.h"

namespace kx::collector {
namespace {

using namespace kx::test;
using ::testing::ThrowsMessage;

// What an output is given for packet; the packet must outlive the message.
CollectedMessage collected(const Bytes& packet, std::string_view device = "10.0.0.5",
                           std::string_view server = "10.0.0.1", uint8_t tcp = 0) {
  return {1700000001, 42, "127.0.0.1:40000", "3.7.3",
          {1700000000, device, server, tcp, packet.data(), packet.size()}};
}

// JSON strings escape everything JSON forbids and every byte above ASCII; base64 is the
// standard form. Both append to what the line holds already.
TEST(TextFormatTest, JsonStringsBase64AndUtcSecondsHaveTheirStandardForms) {
  const char escaped[] = "a\"b\\c\n\t\r\b\f\0\x01\x1f\x7f" "caf\xc3\xa9\xff/<>.";
  std::string json = "prefix:";
  append_json_string(json, "");
  append_json_string(json, std::string(escaped, sizeof escaped - 1));
  EXPECT_EQ(json, R"(prefix:"""a\"b\\c\n\t\r\b\f\u0000\u0001\u001f\u007fcaf\u00c3\u00a9\u00ff/<>.")");
  std::string base64 = "prefix:";
  for (std::string input : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xff\xfe\xfd"}) {
    append_base64(base64, reinterpret_cast<const uint8_t*>(input.data()), input.size());
    base64 += ' ';
  }
  EXPECT_EQ(base64, "prefix: Zg== Zm8= Zm9v Zm9vYg== Zm9vYmE= Zm9vYmFy //79 ");
  // Seconds repeated and changed: the formatter keeps the text of the last one.
  UtcSecondsFormatter formatter;
  std::string utc;
  for (int64_t seconds : std::initializer_list<int64_t>{0, 258, 258, 1700000000, 4294967295}) {
    formatter.append(utc, seconds);
    utc += ' ';
  }
  EXPECT_EQ(utc, "1970-01-01T00:00:00 1970-01-01T00:04:18 1970-01-01T00:04:18 "
                 "2023-11-14T22:13:20 2106-02-07T06:28:15 ");
}

// The example query with the bytes at the given offsets changed, or cut to a size.
Bytes example_with(std::initializer_list<std::pair<size_t, int>> changes, size_t size = 29) {
  Bytes packet = example_packet();
  for (const auto& [at, value] : changes) packet[at] = static_cast<uint8_t>(value);
  packet.resize(size);
  return packet;
}

// ldns writes unusual name bytes as \DDD and a backslash as \\; the JSON escaping then
// doubles every backslash and escapes the quote, which ldns leaves as it is.
TEST(JsonFormatterTest, LineHoldsTheArrivalThePacketAndWhatWasReadOfIt) {
  Bytes packet = example_with({{13, '"'}, {14, 0}, {15, 0xe9}, {16, '\\'}});
  JsonFormatter formatter;
  std::string line;
  formatter.format(collected(packet, std::string_view("1\"\n\xff", 4), "10.0.0.1", 1), line);
  EXPECT_EQ(line,
            R"({"received":"2023-11-14T22:13:21.000042Z","agent":"127.0.0.1:40000",)"
            R"("version":"3.7.3","time":"2023-11-14T22:13:20Z","device":"1\"\n\u00ff",)"
            R"("server":"10.0.0.1","tcp":true,"size":29,"dns":{"id":4660,"flags":["rd"],)"
            R"("opcode":"QUERY","rcode":"NOERROR","qdcount":1,"ancount":0,"nscount":0,)"
            R"("arcount":0,"qname":"\"\\000\\233\\\\ple.com.","qtype":"A","qclass":"IN"},)"
            R"("packet":"EjQBAAABAAAAAAAAByIA6VxwbGUDY29tAAABAAE="})"
            "\n");
}

// The "dns" object of a line holds what could be read of an odd packet. One formatter
// takes every row: a packet without a question after one with a question shows a leak.
TEST(JsonFormatterTest, OddPacketsGiveWhatCouldBeRead) {
  const std::string query = R"({"id":4660,"flags":["rd"],"opcode":"QUERY","rcode":"NOERROR",)";
  const std::pair<Bytes, std::string> cases[] = {
      // QR, opcode 5 (UPDATE), AA, TC; RA, AD, CD, NXDOMAIN; type 0xff00, class 0xff01.
      {example_with({{2, 0x80 | 5 << 3 | 0x04 | 0x02}, {3, 0x80 | 0x20 | 0x10 | 3}, {25, 0xff},
                     {26, 0}, {27, 0xff}}),
       R"({"id":4660,"flags":["qr","aa","tc","ra","ad","cd"],"opcode":"UPDATE",)"
       R"("rcode":"NXDOMAIN","qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
       R"("qname":"example.com.","qtype":"TYPE65280","qclass":"CLASS65281"})"},
      // The root, and a dot inside a label, which only ldns's text escapes.
      {{0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1},
       query + R"("qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
               R"("qname":".","qtype":"NS","qclass":"IN"})"},
      {example_with({{17, '.'}}), query + R"("qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
                                          R"("qname":"exam\\.le.com.","qtype":"A","qclass":"IN"})"},
      {{0x12, 0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       query + R"("qdcount":0,"ancount":0,"nscount":0,"arcount":0})"},
      // The question cut after the name; an answer promised but missing.
      {example_with({}, 26), query + R"("qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
                                     R"("parse_error":"question section incomplete"})"},
      {example_with({{7, 1}}), query + R"("qdcount":1,"ancount":1,"nscount":0,"arcount":0,)"
                                       R"("qname":"example.com.","qtype":"A","qclass":"IN",)"
                                       R"("parse_error":"answer section incomplete"})"},
      {{0x12, 0x34, 0x01}, R"({"parse_error":"header section incomplete"})"},
  };
  JsonFormatter formatter;
  for (const auto& [packet, expected] : cases) {
    std::string line;
    formatter.format(collected(packet), line);
    size_t dns = line.find("\"dns\":") + 6;
    EXPECT_EQ(line.substr(dns, line.rfind(",\"packet\"") - dns), expected);
  }
}

// libpcap's reason after the call's name differs between its versions.
TEST(OutputFilesTest, UnopenableOrFullFileNamesTheCallAndFile) {
  EXPECT_THAT([] { JsonOutput output("/nonexistent-folder/out.json"); },
              ThrowsMessage<CollectorError>(
                  "fopen(/nonexistent-folder/out.json) failed: No such file or directory"));
  Bytes packet = example_packet();
  JsonOutput full("/dev/full");
  full.write(collected(packet));
  EXPECT_THAT([&] { full.flush(); },
              ThrowsMessage<CollectorError>("fflush(/dev/full) failed: No space left on device"));
  EXPECT_THAT([] { PcapOutput output("/nonexistent-folder/out.pcap"); },
              ThrowsMessage<CollectorError>(::testing::StartsWith(
                  "pcap_dump_open_append(/nonexistent-folder/out.pcap) failed: ")));
}

TEST(InternetChecksumTest, MatchesKnownSums) {
  // The example of RFC 1071, section 3 (sum ddf2, checksum its complement); an odd length
  // pads with a zero byte.
  const std::pair<Bytes, uint16_t> cases[] = {
      {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d}, {{0x01}, 0xfeff}, {{}, 0xffff}};
  for (const auto& [data, sum] : cases) EXPECT_EQ(internet_checksum(data.data(), data.size()), sum);
}

std::string bytes_of(const ProtobufCBinaryData& data) {
  return std::string(reinterpret_cast<const char*>(data.data), data.len);
}

// The bytes of an IPv4 or IPv6 address text as the C library reads it; empty for other text.
std::string address_bytes(const char* address) {
  char bytes[16];
  if (inet_pton(AF_INET, address, bytes) == 1) return std::string(bytes, 4);
  if (inet_pton(AF_INET6, address, bytes) == 1) return std::string(bytes, 16);
  return "";
}

TEST(DnstapEncodeTest, EachMessageIsAClientQueryOrResponseFromTheDeviceToTheServer) {
  // Response or query, device, server, TCP, and the family given (0: none).
  const std::tuple<bool, const char*, const char*, uint8_t, int> cases[] = {
      {true, "10.0.0.5", "10.0.0.1", 1, DNSTAP__SOCKET_FAMILY__INET},
      {false, "2001:db8::5", "10.0.0.1", 0, DNSTAP__SOCKET_FAMILY__INET6},
      {false, "not-an-address", "", 0, 0}};
  for (const auto& [response, device, server, tcp, family] : cases) {
    SCOPED_TRACE(device);
    Bytes packet = example_packet(response);
    Bytes encoded;
    encode_dnstap(collected(packet, device, server, tcp), encoded);
    std::unique_ptr<Dnstap__Dnstap, void (*)(Dnstap__Dnstap*)> frame(
        dnstap__dnstap__unpack(nullptr, encoded.size(), encoded.data()),
        [](Dnstap__Dnstap* unpacked) { dnstap__dnstap__free_unpacked(unpacked, nullptr); });
    ASSERT_TRUE(frame && frame->message);
    const Dnstap__Message& m = *frame->message;
    EXPECT_EQ(m.type, response ? DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE
                               : DNSTAP__MESSAGE__TYPE__CLIENT_QUERY);
    EXPECT_EQ(m.socket_protocol, tcp ? DNSTAP__SOCKET_PROTOCOL__TCP : DNSTAP__SOCKET_PROTOCOL__UDP);
    EXPECT_EQ(m.has_socket_family ? static_cast<int>(m.socket_family) : 0, family);
    EXPECT_EQ(m.has_query_address ? bytes_of(m.query_address) : "", address_bytes(device));
    EXPECT_EQ(m.has_response_address ? bytes_of(m.response_address) : "", address_bytes(server));
    EXPECT_EQ(m.response_port, 53u);
    // The packet and the event time go in the fields of its direction only.
    EXPECT_EQ(m.has_query_message, !response);
    EXPECT_EQ(m.has_response_message, response);
    EXPECT_EQ(bytes_of(response ? m.response_message : m.query_message), text(packet));
    EXPECT_EQ(m.has_query_time_sec, !response);
    EXPECT_EQ(m.has_response_time_sec, response);
    EXPECT_EQ(response ? m.response_time_sec : m.query_time_sec, 1700000000u);
  }
}

// A receiver that accepts and never answers the handshake costs the start only the
// handshake limit (a hang here shows as the test's time-out), and counts as an error.
TEST(DnstapOutputTest, SilentReceiverAtStartIsGivenUpAfterTheHandshakeLimit) {
  HungListener receiver;  // the backlog completes connects; nobody answers
  ReceiverLimits limits;
  limits.handshake_milliseconds = 200;
  DnstapOutput output(
      {DnstapTarget::Kind::tcp_socket, {}, "127.0.0.1", std::to_string(receiver.port())}, -1, limits);
  EXPECT_EQ(output.errors(), 1u);
}

// Settings librdkafka refuses stop the start with the option that carried them.
TEST(KafkaOutputTest, SettingsLibrdkafkaRefusesNameTheirOption) {
  for (const auto& [key, expected] :
       {std::pair{"no.such.key", "--kafka-option no.such.key=1: No such configuration property: "
                                 "\"no.such.key\""},
        {"acks", "--kafka 127.0.0.1:1: `acks` must be set to `all` when `enable.idempotence` is "
                 "true"}}) {
    // An init-capture: clang will not capture a structured binding before C++20.
    EXPECT_THAT(
        [k = key] { KafkaOutput({"127.0.0.1:1", "dns", KafkaSettings::Format::json, {{k, "1"}}}); },
        ThrowsMessage<CollectorError>(expected));
  }
}

}  // namespace
}  // namespace kx::collector
