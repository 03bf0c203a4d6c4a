#include "json_output.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "collector/builders.h"
#include "text_format.h"

namespace kx::collector {
namespace {

// JSON strings escape everything JSON forbids and every byte above ASCII; base64 is the
// standard form. Both append to what the line holds already.
TEST(TextFormatTest, JsonStringsAndBase64HaveTheirStandardForms) {
  const char escaped[] = "a\"b\\c\n\t\r\b\f\0\x01\x1f\x7f" "caf\xc3\xa9\xff/<>.";
  const std::pair<std::string, std::string> json[] = {
      {"", R"("")"},
      {std::string(escaped, sizeof escaped - 1),
       R"("a\"b\\c\n\t\r\b\f\u0000\u0001\u001f\u007fcaf\u00c3\u00a9\u00ff/<>.")"}};
  for (const auto& [input, expected] : json) {
    std::string out = "prefix:";
    append_json_string(out, input);
    EXPECT_EQ(out, "prefix:" + expected);
  }
  const std::pair<std::string, std::string> base64[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"}};
  for (const auto& [input, expected] : base64) {
    std::string out = "prefix:";
    append_base64(out, reinterpret_cast<const uint8_t*>(input.data()), input.size());
    EXPECT_EQ(out, "prefix:" + expected);
  }
}

TEST(TextFormatTest, UtcSecondsFollowChangingSeconds) {
  UtcSecondsFormatter formatter;
  std::string out;
  for (int64_t seconds : std::initializer_list<int64_t>{0, 258, 258, 1700000000, 4294967295}) {
    formatter.append(out, seconds);
    out += ' ';
  }
  EXPECT_EQ(out, "1970-01-01T00:00:00 1970-01-01T00:04:18 1970-01-01T00:04:18 "
                 "2023-11-14T22:13:20 2106-02-07T06:28:15 ");
}

std::string json_line(const CollectedMessage& message) {
  JsonFormatter formatter;
  std::string line;
  formatter.format(message, line);
  return line;
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
  EXPECT_EQ(json_line(collected(packet, std::string_view("1\"\n\xff", 4), "10.0.0.1", 1)),
            R"({"received":"2023-11-14T22:13:21.000042Z","agent":"127.0.0.1:40000",)"
            R"("version":"3.7.3","time":"2023-11-14T22:13:20Z","device":"1\"\n\u00ff",)"
            R"("server":"10.0.0.1","tcp":true,"size":29,"dns":{"id":4660,"flags":["rd"],)"
            R"("opcode":"QUERY","rcode":"NOERROR","qdcount":1,"ancount":0,"nscount":0,)"
            R"("arcount":0,"qname":"\"\\000\\233\\\\ple.com.","qtype":"A","qclass":"IN"},)"
            R"("packet":"EjQBAAABAAAAAAAAByIA6VxwbGUDY29tAAABAAE="})"
            "\n");
}

// The "dns" object of a line holds what could be read of an odd packet.
TEST(JsonFormatterTest, OddPacketsGiveWhatCouldBeRead) {
  const std::string query = R"({"id":4660,"flags":["rd"],"opcode":"QUERY","rcode":"NOERROR",)";
  const std::pair<Bytes, std::string> cases[] = {
      // QR, opcode 5 (UPDATE), AA, TC; RA, AD, CD, NXDOMAIN; type 0xff00, class 0xff01.
      {example_with({{2, 0x80 | 5 << 3 | 0x04 | 0x02}, {3, 0x80 | 0x20 | 0x10 | 3}, {25, 0xff},
                     {26, 0}, {27, 0xff}}),
       R"({"id":4660,"flags":["qr","aa","tc","ra","ad","cd"],"opcode":"UPDATE",)"
       R"("rcode":"NXDOMAIN","qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
       R"("qname":"example.com.","qtype":"TYPE65280","qclass":"CLASS65281"})"},
      // The question cut after the name; an answer promised but missing.
      {example_with({}, 26), query + R"("qdcount":1,"ancount":0,"nscount":0,"arcount":0,)"
                                     R"("parse_error":"question section incomplete"})"},
      {example_with({{7, 1}}), query + R"("qdcount":1,"ancount":1,"nscount":0,"arcount":0,)"
                                       R"("qname":"example.com.","qtype":"A","qclass":"IN",)"
                                       R"("parse_error":"answer section incomplete"})"},
      {{0x12, 0x34, 0x01}, R"({"parse_error":"header section incomplete"})"},
      {{}, R"({"parse_error":"header section incomplete"})"},
  };
  for (const auto& [packet, expected] : cases) {
    std::string line = json_line(collected(packet));
    size_t dns = line.find("\"dns\":") + 6;
    EXPECT_EQ(line.substr(dns, line.rfind(",\"packet\"") - dns), expected);
  }
}

TEST(JsonOutputTest, NamesTheCallAndFileThatFailed) {
  Bytes packet = example_packet();
  EXPECT_EQ(error_of([] { JsonOutput output("/nonexistent-folder/out.json"); }),
            "fopen(/nonexistent-folder/out.json) failed: No such file or directory");
  EXPECT_EQ(error_of([&] {
              JsonOutput full("/dev/full");
              full.write(collected(packet));
              full.flush();
            }),
            "fflush(/dev/full) failed: No space left on device");
}

}  // namespace
}  // namespace kx::collector
