#include "json_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "text_format.h"

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

// A query for example.com A, id 0x1234, RD set.
const Bytes kQuery = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',  0x03, 'c',  'o',  'm',
                      0x00, 0x00, 0x01, 0x00, 0x01};

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonStringTest, EscapesEverythingJsonForbidsAndBytesAboveAscii) {
  const struct {
    std::string input;
    std::string expected;
  } cases[] = {
      {"example.com.", "\"example.com.\""},
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nfeed\ttab\r\b\f", "\"line\\nfeed\\ttab\\r\\b\\f\""},
      {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9", "\"caf\\u00c3\\u00a9\""},
      {"\xff", "\"\\u00ff\""},
      {"/<>", "\"/<>\""},
  };
  for (const auto& c : cases) EXPECT_EQ(json_string(c.input), c.expected) << c.input;
}

TEST(Base64Test, MatchesTheStandardVectors) {
  const struct {
    std::string input;
    std::string expected;
  } cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& c : cases) {
    std::string out = "prefix:";
    append_base64(out, reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size());
    EXPECT_EQ(out, "prefix:" + c.expected) << c.input;
  }
}

TEST(UtcSecondsFormatterTest, FormatsUtcAndFollowsChangingSeconds) {
  UtcSecondsFormatter formatter;
  std::string out;
  for (int64_t seconds : {int64_t{0}, int64_t{258}, int64_t{258}, int64_t{1700000000},
                          int64_t{4294967295}}) {
    formatter.append(out, seconds);
    out += ' ';
  }
  EXPECT_EQ(out,
            "1970-01-01T00:00:00 1970-01-01T00:04:18 1970-01-01T00:04:18 2023-11-14T22:13:20 "
            "2106-02-07T06:28:15 ");
}

CollectedMessage message_with(const Bytes& packet, std::string_view device = "10.0.0.5",
                              uint8_t tcp = 0) {
  CollectedMessage message;
  message.received_seconds = 1700000001;
  message.received_micros = 42;
  message.agent = "127.0.0.1:40000";
  message.version = "3.7.3";
  message.dns.time_seconds = 1700000000;
  message.dns.device = device;
  message.dns.server = "10.0.0.1";
  message.dns.is_tcp = tcp;
  message.dns.packet = packet.data();
  message.dns.packet_size = packet.size();
  return message;
}

TEST(JsonFormatterTest, QueryLineCarriesEveryField) {
  JsonFormatter formatter;
  std::string line;
  formatter.format(message_with(kQuery), line);
  EXPECT_EQ(line,
            "{\"received\":\"2023-11-14T22:13:21.000042Z\",\"agent\":\"127.0.0.1:40000\","
            "\"version\":\"3.7.3\",\"time\":\"2023-11-14T22:13:20Z\",\"device\":\"10.0.0.5\","
            "\"server\":\"10.0.0.1\",\"tcp\":false,\"size\":29,\"dns\":{\"id\":4660,"
            "\"flags\":[\"rd\"],\"opcode\":\"QUERY\",\"rcode\":\"NOERROR\",\"qdcount\":1,"
            "\"ancount\":0,\"nscount\":0,\"arcount\":0,\"qname\":\"example.com.\","
            "\"qtype\":\"A\",\"qclass\":\"IN\"},"
            "\"packet\":\"EjQBAAABAAAAAAAAB2V4YW1wbGUDY29tAAABAAE=\"}\n");
}

TEST(JsonFormatterTest, ResponseFlagsRcodeAndUnknownCodesAreNamed) {
  Bytes packet = kQuery;
  packet[2] = 0x80 | (5 << 3) | 0x04 | 0x02;  // QR, opcode 5 (UPDATE), AA, TC
  packet[3] = 0x80 | 0x20 | 0x10 | 3;         // RA, AD, CD, NXDOMAIN
  packet[27] = 0xff;                          // class 0xff01
  packet[25] = 0xff;
  packet[26] = 0x00;                          // type 0xff00
  JsonFormatter formatter;
  std::string line;
  formatter.format(message_with(packet, "10.0.0.5", 1), line);
  EXPECT_NE(line.find("\"tcp\":true"), std::string::npos) << line;
  EXPECT_NE(line.find("\"flags\":[\"qr\",\"aa\",\"tc\",\"ra\",\"ad\",\"cd\"]"), std::string::npos)
      << line;
  EXPECT_NE(line.find("\"opcode\":\"UPDATE\",\"rcode\":\"NXDOMAIN\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"qtype\":\"TYPE65280\",\"qclass\":\"CLASS65281\""), std::string::npos)
      << line;
}

TEST(JsonFormatterTest, PacketThatDoesNotParseKeepsWhatWasReadAndTheError) {
  const struct {
    const char* name;
    Bytes packet;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"question cut after the name", Bytes(kQuery.begin(), kQuery.end() - 3),
       {"\"id\":4660", "\"qdcount\":1", "\"parse_error\":\"", "\"size\":26"},
       {"\"qname\""}},
      {"answer promised but missing", [] {
         Bytes p = kQuery;
         p[7] = 1;  // ANCOUNT 1
         return p;
       }(),
       {"\"ancount\":1", "\"qname\":\"example.com.\"", "\"qtype\":\"A\"", "\"parse_error\":\""},
       {}},
      {"shorter than a header", Bytes{0x12, 0x34, 0x01},
       {"\"dns\":{\"parse_error\":\"", "\"packet\":\"EjQB\""}, {"\"id\""}},
      {"empty packet", Bytes{}, {"\"size\":0", "\"dns\":{\"parse_error\":\"", "\"packet\":\"\"}"},
       {"\"id\""}},
  };
  JsonFormatter formatter;
  for (const auto& c : cases) {
    std::string line;
    formatter.format(message_with(c.packet), line);
    for (const auto& text : c.present) EXPECT_NE(line.find(text), std::string::npos) << c.name << ": " << line;
    for (const auto& text : c.absent) EXPECT_EQ(line.find(text), std::string::npos) << c.name << ": " << line;
  }
}

TEST(JsonFormatterTest, OddBytesInNamesAndAddressesStayValidJson) {
  Bytes packet = kQuery;
  packet[13] = '"';
  packet[14] = 0x00;
  packet[15] = 0xe9;
  packet[16] = '\\';
  JsonFormatter formatter;
  std::string line;
  formatter.format(message_with(packet, std::string_view("1\"\n\xff", 4)), line);
  // ldns writes unusual name bytes as \DDD and a backslash as \\; the JSON escaping
  // then doubles every backslash and escapes the quote, which ldns leaves as it is.
  EXPECT_NE(line.find(R"("qname":"\"\\000\\233\\\\ple.com.")"), std::string::npos)
      << line;
  EXPECT_NE(line.find("\"device\":\"1\\\"\\n\\u00ff\""), std::string::npos) << line;
}

TEST(JsonOutputTest, WritesOneLinePerMessageToTheFile) {
  kx::test::TempDir dir;
  std::string path = dir.file("out.json");
  {
    JsonOutput output(path);
    output.write(message_with(kQuery));
    output.write(message_with(kQuery, "10.0.0.9"));
    output.flush();
    EXPECT_EQ(kx::test::split_lines(kx::test::read_file(path)).size(), 2u);
  }
  std::vector<std::string> lines = kx::test::split_lines(kx::test::read_file(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("\"device\":\"10.0.0.9\""), std::string::npos);
}

TEST(JsonOutputTest, UnopenableFileNamesTheCall) {
  try {
    JsonOutput output("/nonexistent-folder/out.json");
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "fopen(/nonexistent-folder/out.json) failed: No such file or directory");
  }
}

TEST(JsonOutputTest, FullDiskIsReportedAtFlush) {
  JsonOutput output("/dev/full");
  output.write(message_with(kQuery));
  EXPECT_THROW(output.flush(), std::exception);
}

}  // namespace
}  // namespace kx::collector
