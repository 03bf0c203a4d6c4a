#include "json_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/builders.h"
#include "text_format.h"

namespace kx::collector {
namespace {

// JSON strings escape everything JSON forbids and every byte above ASCII; base64 is the
// standard form. Both append to what the line holds already.
TEST(TextFormatTest, JsonStringsAndBase64HaveTheirStandardForms) {
  const struct {
    bool base64;
    std::string input;
    std::string expected;
  } cases[] = {
      {false, "example.com.", "\"example.com.\""}, {false, "", "\"\""},
      {false, "a\"b\\c", "\"a\\\"b\\\\c\""},
      {false, "line\nfeed\ttab\r\b\f", "\"line\\nfeed\\ttab\\r\\b\\f\""},
      {false, std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
      {false, "\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      {false, "caf\xc3\xa9", "\"caf\\u00c3\\u00a9\""}, {false, "\xff", "\"\\u00ff\""},
      {false, "/<>", "\"/<>\""}, {true, "", ""}, {true, "f", "Zg=="}, {true, "fo", "Zm8="},
      {true, "foo", "Zm9v"}, {true, "foob", "Zm9vYg=="}, {true, "fooba", "Zm9vYmE="},
      {true, "foobar", "Zm9vYmFy"}, {true, "\xff\xfe\xfd", "//79"},
  };
  for (const auto& c : cases) {
    std::string out = "prefix:";
    if (c.base64) {
      append_base64(out, reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size());
    } else {
      append_json_string(out, c.input);
    }
    EXPECT_EQ(out, "prefix:" + c.expected) << c.input;
  }
}

TEST(TextFormatTest, UtcSecondsFollowChangingSeconds) {
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

// Each packet gives a line holding the present texts and none of the absent ones.
TEST(JsonFormatterTest, OddPacketsAndAddressesGiveWhatWasReadAndValidJson) {
  const struct {
    const char* name;
    Bytes packet;
    std::string_view device;
    uint8_t tcp;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      // QR, opcode 5 (UPDATE), AA, TC; RA, AD, CD, NXDOMAIN; type 0xff00, class 0xff01.
      {"flags, codes and TCP",
       example_with({{2, 0x80 | 5 << 3 | 0x04 | 0x02}, {3, 0x80 | 0x20 | 0x10 | 3}, {25, 0xff},
                     {26, 0}, {27, 0xff}}),
       "10.0.0.5", 1,
       {"\"tcp\":true", "\"flags\":[\"qr\",\"aa\",\"tc\",\"ra\",\"ad\",\"cd\"]",
        "\"opcode\":\"UPDATE\",\"rcode\":\"NXDOMAIN\"",
        "\"qtype\":\"TYPE65280\",\"qclass\":\"CLASS65281\""},
       {"parse_error"}},
      {"question cut after the name", example_with({}, 26), "10.0.0.5", 0,
       {"\"id\":4660", "\"qdcount\":1", "\"parse_error\":\"", "\"size\":26"}, {"\"qname\""}},
      {"answer promised but missing", example_with({{7, 1}}), "10.0.0.5", 0,
       {"\"ancount\":1", "\"qname\":\"example.com.\"", "\"qtype\":\"A\"", "\"parse_error\":\""},
       {}},
      {"shorter than a header", {0x12, 0x34, 0x01}, "10.0.0.5", 0,
       {"\"dns\":{\"parse_error\":\"", "\"packet\":\"EjQB\""}, {"\"id\""}},
      {"empty packet", {}, "10.0.0.5", 0,
       {"\"size\":0", "\"dns\":{\"parse_error\":\"", "\"packet\":\"\"}"}, {"\"id\""}},
      // ldns writes unusual name bytes as \DDD and a backslash as \\; the JSON escaping
      // then doubles every backslash and escapes the quote, which ldns leaves as it is.
      {"odd bytes in the name and the device",
       example_with({{13, '"'}, {14, 0}, {15, 0xe9}, {16, '\\'}}),
       std::string_view("1\"\n\xff", 4), 0,
       {R"("qname":"\"\\000\\233\\\\ple.com.")", "\"device\":\"1\\\"\\n\\u00ff\""}, {}},
  };
  for (const auto& c : cases) {
    std::string line = json_line(collected(c.packet, c.device, "10.0.0.1", c.tcp));
    for (const auto& text : c.present) {
      EXPECT_NE(line.find(text), std::string::npos) << c.name << ": " << line;
    }
    for (const auto& text : c.absent) {
      EXPECT_EQ(line.find(text), std::string::npos) << c.name << ": " << line;
    }
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
