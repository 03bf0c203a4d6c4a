#include "stream_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/records.h"

namespace kx::collector {
namespace {

using namespace kx::test;

// What a parser handed on, as text, so that whole runs compare in one assertion.
class RecordingSink : public StreamSink {
 public:
  void on_hello(std::string_view v) override { events += "hello " + std::string(v) + "; "; }
  void on_message(const kx::wire::DnsMessageView& m) override {
    events += "message " + std::to_string(m.time_seconds) + " " + std::string(m.device) + " " +
              std::string(m.server) + " " + std::to_string(m.is_tcp) + " " +
              std::string(reinterpret_cast<const char*>(m.packet), m.packet_size) + "; ";
  }
  std::string events;
};

// Feeds the stream in chunks of the given sizes, the last one repeated to the end, to a
// parser whose limit is the largest good record's size. Tells what it handed on, whether
// every feed took its chunk, its error, its message count and any bytes it still holds.
std::string parse_in_chunks(const Bytes& stream, std::vector<size_t> sizes) {
  StreamParser parser(8 + 16 + 300);
  RecordingSink sink;
  bool ok = true;
  for (size_t at = 0, i = 0; at < stream.size(); i = std::min(i + 1, sizes.size() - 1)) {
    size_t size = std::min(sizes[i], stream.size() - at);
    ok = parser.feed(stream.data() + at, size, sink) && ok;
    at += size;
  }
  size_t held = parser.pending_bytes();
  return sink.events + (ok ? "ok" : "refused") + (parser.failed() ? ": " + parser.error() : "") +
         ", " + std::to_string(parser.messages()) + " messages" +
         (held > 0 ? ", " + std::to_string(held) + " bytes held" : "");
}

// A hello and one good message, then the given bytes.
Bytes after_hello(const Bytes& bytes) {
  Bytes stream = hello_record();
  append_record(stream, message_body(1, "10.0.0.5"));
  stream.insert(stream.end(), bytes.begin(), bytes.end());
  return stream;
}

// Every stream ends in a good record, which must never be delivered after a fault. Each
// is fed whole, in chunks of fixed sizes (which also complete a held record and start the
// next in one chunk), and in two chunks cut anywhere. (Every truncation of a message body
// is the wire format's own test.)
TEST(StreamParserTest, EveryWayOfCuttingAStreamGivesTheSameMessagesOrTheSameFault) {
  Bytes good = hello_record();
  append_record(good, message_body(258, "10.0.0.5", "10.0.0.1", 0, "first packet"));
  append_record(good, message_body(259, "10.0.0.6", "10.0.0.2", 1, std::string(300, 'x')));
  append_record(good, message_body(260, "", "", 0, ""));
  const std::string first = "hello 3.7.3; message 1 10.0.0.5 10.0.0.1 0 packet; refused: ";
  const std::pair<Bytes, std::string> cases[] = {
      {good, "hello 3.7.3; message 258 10.0.0.5 10.0.0.1 0 first packet; message 259 10.0.0.6 "
             "10.0.0.2 1 " + std::string(300, 'x') + "; message 260   0 ; message 9 after the "
             "fault 10.0.0.1 0 packet; ok, 4 messages"},
      {record(message_body(1, "a")),
       "refused: stream does not begin with a hello (first record type 2), 0 messages"},
      {{'G', 'E', 'T', ' ', '/', ' '},
       "refused: stream does not begin with a hello (first record length 1195725856), 0 messages"},
      {after_hello({0, 0, 0, 0}), first + "empty record, 1 messages"},
      {after_hello(record({0x07, 1, 2, 3})), first + "record of unknown type 7, 1 messages"},
      {after_hello(hello_record()), first + "second hello record, 1 messages"},
      // Refused as soon as its length is in, before any of its body is held.
      {after_hello({0, 0, 1, 0x45}), first + "record length 325 above the limit of 324 "
                                                  "bytes, 1 messages"},
      {after_hello(record({0x02, 0, 0, 0, 1, 200, 'a', 'b'})),
       first + "message lengths overrun its record of 8 bytes, 1 messages"},
  };
  for (const auto& [start, expected] : cases) {
    Bytes stream = start;
    append_record(stream, message_body(9, "after the fault"));
    std::vector<std::vector<size_t>> chunkings = {{stream.size()}, {1}, {5}, {13}};
    for (size_t cut = 0; cut <= stream.size(); ++cut) chunkings.push_back({cut, stream.size()});
    for (const std::vector<size_t>& sizes : chunkings) {
      SCOPED_TRACE(expected + ", chunks of " + std::to_string(sizes[0]));
      ASSERT_EQ(parse_in_chunks(stream, sizes), expected);
    }
  }
}

}  // namespace
}  // namespace kx::collector
