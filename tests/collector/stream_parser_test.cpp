#include "stream_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "collector/builders.h"

namespace kx::collector {
namespace {

// What a parser handed on, as text, so that whole runs compare in one assertion.
class RecordingSink : public StreamSink {
 public:
  void on_hello(std::string_view version) override {
    events.push_back("hello " + std::string(version));
  }
  void on_message(const kx::wire::DnsMessageView& m) override {
    events.push_back("message " + std::to_string(m.time_seconds) + " " + std::string(m.device) +
                     " " + std::string(m.server) + " " + std::to_string(m.is_tcp) + " " +
                     std::string(reinterpret_cast<const char*>(m.packet), m.packet_size));
  }
  std::vector<std::string> events;
};

// Feeds the stream in chunks of the given sizes, the last one repeated to the end.
bool feed_in_chunks(StreamParser& parser, const Bytes& stream, std::vector<size_t> sizes,
                    RecordingSink& sink) {
  bool ok = true;
  for (size_t at = 0, i = 0; at < stream.size(); i = std::min(i + 1, sizes.size() - 1)) {
    size_t size = std::min(sizes[i], stream.size() - at);
    ok = parser.feed(stream.data() + at, size, sink) && ok;
    at += size;
  }
  return ok;
}

// The parser's error (or "ok"), messages delivered and bytes held, in one text.
std::string state(const StreamParser& parser) {
  return (parser.failed() ? parser.error() : "ok") + ", " + std::to_string(parser.messages()) +
         " messages, " + std::to_string(parser.pending_bytes()) + " bytes held";
}

TEST(StreamParserTest, EveryWayOfCuttingTheStreamGivesHelloThenEveryMessage) {
  Bytes stream = hello_record();
  append_record(stream, message_body(258, "10.0.0.5", "10.0.0.1", 0, "first packet"));
  append_record(stream, message_body(259, "10.0.0.6", "10.0.0.2", 1, std::string(300, 'x')));
  append_record(stream, message_body(260, "", "", 0, ""));
  const std::vector<std::string> expected = {
      "hello 3.7.3", "message 258 10.0.0.5 10.0.0.1 0 first packet",
      "message 259 10.0.0.6 10.0.0.2 1 " + std::string(300, 'x'), "message 260   0 "};
  // Two chunks cut anywhere (the first may be empty or the whole stream); then chunks
  // of fixed sizes, which also complete a held record and start the next in one chunk.
  // The limit is the largest record's size: a record at the limit is accepted.
  std::vector<std::vector<size_t>> chunkings = {{1}, {5}, {13}};
  for (size_t cut = 0; cut <= stream.size(); ++cut) chunkings.push_back({cut, stream.size()});
  for (const std::vector<size_t>& sizes : chunkings) {
    SCOPED_TRACE("chunks of " + std::to_string(sizes[0]));
    StreamParser parser(8 + 16 + 300);
    RecordingSink sink;
    ASSERT_TRUE(feed_in_chunks(parser, stream, sizes, sink));
    ASSERT_EQ(sink.events, expected);
    ASSERT_EQ(state(parser), "ok, 3 messages, 0 bytes held");
    ASSERT_EQ(parser.version(), "3.7.3");
  }
}

// A hello and one good message, then the given records.
Bytes after_hello(std::initializer_list<Bytes> records) {
  Bytes stream = hello_record();
  append_record(stream, message_body(1, "10.0.0.5"));
  for (const Bytes& record : records) append_record(stream, record);
  return stream;
}

Bytes with_length(Bytes stream, uint32_t length) {
  append_length(stream, length);
  return stream;
}

// A good record after the fault must never be delivered, whether it arrives in the same
// chunk or later. (Every truncation of a message body is the wire format's own test.)
TEST(StreamParserTest, MalformedStreamsFailWithTheReasonWhetherWholeOrByteByByte) {
  const std::tuple<Bytes, std::string, size_t> cases[] = {  // stream, error, messages before
      {record(message_body(1, "a")), "stream does not begin with a hello (first record type 2)", 0},
      {{'G', 'E', 'T', ' ', '/', ' '},
       "stream does not begin with a hello (first record length 1195725856)", 0},
      {with_length({}, 65), "stream does not begin with a hello (first record length 65)", 0},
      {with_length({}, 0), "empty record", 0},
      {with_length(after_hello({}), 0), "empty record", 1},
      {after_hello({{0x07, 1, 2, 3}}), "record of unknown type 7", 1},
      {after_hello({{0x01, '3', '.', '7', '.', '3'}}), "second hello record", 1},
      // Refused as soon as its length is in, before any of its body is held.
      {with_length(after_hello({}), 1001), "record length 1001 above the limit of 1000 bytes", 1},
      {after_hello({{0x02, 0, 0, 0, 1, 200, 'a', 'b'}}),
       "message lengths overrun its record of 8 bytes", 1},
  };
  for (const auto& [bad_stream, error, messages_before] : cases) {
    Bytes stream = bad_stream;
    append_record(stream, message_body(9, "after the fault"));
    for (size_t chunk : {stream.size(), size_t{1}}) {
      SCOPED_TRACE(error + ", chunks of " + std::to_string(chunk));
      StreamParser parser(1000);
      RecordingSink sink;
      EXPECT_FALSE(feed_in_chunks(parser, stream, {chunk}, sink));
      EXPECT_EQ(state(parser),
                error + ", " + std::to_string(messages_before) + " messages, 0 bytes held");
    }
  }
}

}  // namespace
}  // namespace kx::collector
