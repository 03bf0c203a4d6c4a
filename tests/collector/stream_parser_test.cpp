#include "stream_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/wire_format.h"

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

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

void append_record(Bytes& stream, const Bytes& body) {
  uint8_t length[4];
  kx::wire::store_be32(length, static_cast<uint32_t>(body.size()));
  stream.insert(stream.end(), length, length + 4);
  stream.insert(stream.end(), body.begin(), body.end());
}

void append_length(Bytes& stream, uint32_t length) {
  uint8_t bytes[4];
  kx::wire::store_be32(bytes, length);
  stream.insert(stream.end(), bytes, bytes + 4);
}

Bytes hello_record() {
  uint8_t hello[kx::wire::kHelloRecordSize];
  kx::wire::write_hello_record(hello);
  return Bytes(hello, hello + sizeof hello);
}

Bytes message_body(uint32_t time, const std::string& device, const std::string& server,
                   uint8_t tcp, const std::string& packet) {
  Bytes body(kx::wire::dns_message_size(device.size(), server.size(), packet.size()));
  kx::wire::write_dns_message(body.data(), time, device, server, tcp,
                              reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
  return body;
}

// A hello and three messages, the last with an empty packet.
Bytes sample_stream() {
  Bytes stream = hello_record();
  append_record(stream, message_body(258, "10.0.0.5", "10.0.0.1", 0, "first packet"));
  append_record(stream, message_body(259, "10.0.0.6", "10.0.0.2", 1, std::string(300, 'x')));
  append_record(stream, message_body(260, "", "", 0, ""));
  return stream;
}

const std::vector<std::string> kSampleEvents = {
    "hello 3.7.3",
    "message 258 10.0.0.5 10.0.0.1 0 first packet",
    "message 259 10.0.0.6 10.0.0.2 1 " + std::string(300, 'x'),
    "message 260   0 ",
};

TEST(StreamParserTest, WholeStreamInOneChunkGivesHelloThenEveryMessage) {
  Bytes stream = sample_stream();
  StreamParser parser;
  RecordingSink sink;
  ASSERT_TRUE(parser.feed(stream.data(), stream.size(), sink));
  EXPECT_EQ(sink.events, kSampleEvents);
  EXPECT_EQ(parser.pending_bytes(), 0u);
  EXPECT_EQ(parser.messages(), 3u);
  EXPECT_EQ(parser.version(), "3.7.3");
}

TEST(StreamParserTest, AnySplitIntoTwoChunksGivesTheSameEvents) {
  Bytes stream = sample_stream();
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    StreamParser parser;
    RecordingSink sink;
    ASSERT_TRUE(parser.feed(stream.data(), cut, sink)) << "cut " << cut;
    ASSERT_TRUE(parser.feed(stream.data() + cut, stream.size() - cut, sink)) << "cut " << cut;
    ASSERT_EQ(sink.events, kSampleEvents) << "cut " << cut;
    ASSERT_EQ(parser.pending_bytes(), 0u);
  }
}

TEST(StreamParserTest, OneByteAtATimeGivesTheSameEvents) {
  Bytes stream = sample_stream();
  StreamParser parser;
  RecordingSink sink;
  for (uint8_t byte : stream) ASSERT_TRUE(parser.feed(&byte, 1, sink));
  EXPECT_EQ(sink.events, kSampleEvents);
}

TEST(StreamParserTest, ManyRecordsPerChunkAreAllDelivered) {
  Bytes stream = hello_record();
  for (uint32_t i = 0; i < 1000; ++i) {
    append_record(stream, message_body(i, "10.0.0.5", "10.0.0.1", 0, "p" + std::to_string(i)));
  }
  StreamParser parser;
  RecordingSink sink;
  // Chunks of 4093 bytes cut records and length fields at ever-changing places.
  for (size_t at = 0; at < stream.size(); at += 4093) {
    size_t size = std::min<size_t>(4093, stream.size() - at);
    ASSERT_TRUE(parser.feed(stream.data() + at, size, sink));
  }
  ASSERT_EQ(sink.events.size(), 1001u);
  EXPECT_EQ(sink.events[1000], "message 999 10.0.0.5 10.0.0.1 0 p999");
}

TEST(StreamParserTest, PartialRecordAtTheEndIsHeldAndNeverDelivered) {
  Bytes stream = hello_record();
  Bytes body = message_body(1, "10.0.0.5", "10.0.0.1", 0, "packet");
  append_record(stream, body);
  stream.resize(stream.size() - 3);
  StreamParser parser;
  RecordingSink sink;
  ASSERT_TRUE(parser.feed(stream.data(), stream.size(), sink));
  EXPECT_EQ(sink.events, std::vector<std::string>{"hello 3.7.3"});
  EXPECT_EQ(parser.pending_bytes(), 4 + body.size() - 3);
}

TEST(StreamParserTest, OtherHelloVersionsAreCarried) {
  Bytes stream;
  append_record(stream, {0x01, '4', '.', '0', '.', '1', '2'});
  append_record(stream, message_body(7, "a", "b", 0, "x"));
  StreamParser parser;
  RecordingSink sink;
  ASSERT_TRUE(parser.feed(stream.data(), stream.size(), sink));
  EXPECT_EQ(sink.events, (std::vector<std::string>{"hello 4.0.12", "message 7 a b 0 x"}));
}

struct MalformedCase {
  const char* name;
  Bytes stream;
  std::string error;
  size_t messages_before;
};

Bytes after_hello(std::initializer_list<Bytes> records) {
  Bytes stream = hello_record();
  append_record(stream, message_body(1, "10.0.0.5", "10.0.0.1", 0, "good"));
  for (const Bytes& record : records) append_record(stream, record);
  return stream;
}

Bytes with_length_only(Bytes stream, uint32_t length) {
  append_length(stream, length);
  return stream;
}

std::vector<MalformedCase> malformed_cases() {
  Bytes overrun_device = {0x02, 0, 0, 0, 1, 200, 'a', 'b'};
  Bytes overrun_server = {0x02, 0, 0, 0, 1, 1, 'a', 50, 'b'};
  Bytes no_tcp_byte = {0x02, 0, 0, 0, 1, 0, 0};
  return {
      {"message before any hello", [] {
         Bytes s;
         append_record(s, message_body(1, "a", "b", 0, "x"));
         return s;
       }(), "stream does not begin with a hello (first record type 2)", 0},
      {"text instead of a stream", Bytes{'G', 'E', 'T', ' ', '/', ' '},
       "stream does not begin with a hello (first record length 1195725856)", 0},
      {"first record too long for a hello", with_length_only({}, 65),
       "stream does not begin with a hello (first record length 65)", 0},
      {"empty first record", with_length_only({}, 0), "empty record", 0},
      {"empty record later", with_length_only(after_hello({}), 0), "empty record", 1},
      {"unknown record type", after_hello({{0x07, 1, 2, 3}}), "record of unknown type 7", 1},
      {"second hello", after_hello({{0x01, '3', '.', '7', '.', '3'}}), "second hello record",
       1},
      {"length above the limit", with_length_only(after_hello({}), 1001),
       "record length 1001 above the limit of 1000 bytes", 1},
      {"device length overruns", after_hello({overrun_device}),
       "message lengths overrun its record of 8 bytes", 1},
      {"server length overruns", after_hello({overrun_server}),
       "message lengths overrun its record of 9 bytes", 1},
      {"no room for the tcp byte", after_hello({no_tcp_byte}),
       "message lengths overrun its record of 7 bytes", 1},
      {"type byte only", after_hello({{0x02}}), "message lengths overrun its record of 1 bytes",
       1},
  };
}

TEST(StreamParserTest, MalformedStreamsFailWithTheReasonWhetherWholeOrByteByByte) {
  for (const MalformedCase& c : malformed_cases()) {
    for (bool bytewise : {false, true}) {
      StreamParser parser(1000);
      RecordingSink sink;
      bool ok = true;
      if (bytewise) {
        for (uint8_t byte : c.stream) ok = parser.feed(&byte, 1, sink) && ok;
      } else {
        ok = parser.feed(c.stream.data(), c.stream.size(), sink);
      }
      EXPECT_FALSE(ok) << c.name;
      EXPECT_TRUE(parser.failed()) << c.name;
      EXPECT_EQ(parser.error(), c.error) << c.name;
      EXPECT_EQ(parser.messages(), c.messages_before) << c.name;
      EXPECT_EQ(parser.pending_bytes(), 0u) << c.name;
    }
  }
}

TEST(StreamParserTest, OversizedLengthFailsBeforeItsBodyArrives) {
  Bytes stream = with_length_only(hello_record(), 2000);
  StreamParser parser(1000);
  RecordingSink sink;
  EXPECT_FALSE(parser.feed(stream.data(), stream.size(), sink));
  EXPECT_EQ(parser.pending_bytes(), 0u);
}

TEST(StreamParserTest, RecordAtTheLimitIsAccepted) {
  Bytes stream = hello_record();
  append_record(stream, message_body(1, "a", "b", 0, std::string(1000 - 10, 'z')));
  StreamParser parser(1000);
  RecordingSink sink;
  EXPECT_TRUE(parser.feed(stream.data(), stream.size(), sink));
  EXPECT_EQ(parser.messages(), 1u);
}

TEST(StreamParserTest, InputAfterAFailureIsIgnored) {
  Bytes bad = after_hello({{0x09}});
  Bytes good;
  append_record(good, message_body(2, "a", "b", 0, "later"));
  StreamParser parser;
  RecordingSink sink;
  ASSERT_FALSE(parser.feed(bad.data(), bad.size(), sink));
  size_t events = sink.events.size();
  EXPECT_FALSE(parser.feed(good.data(), good.size(), sink));
  EXPECT_EQ(sink.events.size(), events);
  EXPECT_EQ(parser.error(), "record of unknown type 9");
}

}  // namespace
}  // namespace kx::collector
