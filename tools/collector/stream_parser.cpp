#include "stream_parser.h"

#include <algorithm>
#include <utility>

namespace kx::collector {
namespace {

using kx::wire::kRecordHeaderSize;

// A connection that once carried a huge record should not keep that memory for its
// whole life.
constexpr size_t kKeptPendingCapacity = 1u << 20;

}  // namespace

StreamParser::StreamParser(uint32_t max_record) : max_record_(max_record) {}

bool StreamParser::fail(std::string reason) {
  error_ = std::move(reason);
  pending_.clear();
  pending_.shrink_to_fit();
  return false;
}

// Refuses a length as soon as its 4 bytes are in, before any of the body is held.
bool StreamParser::check_length(uint32_t length) {
  if (length == 0) return fail("empty record");
  if (!hello_seen_ && length > kMaxHelloBody) {
    return fail("stream does not begin with a hello (first record length " +
                std::to_string(length) + ")");
  }
  if (length > max_record_) {
    return fail("record length " + std::to_string(length) + " above the limit of " +
                std::to_string(max_record_) + " bytes");
  }
  return true;
}

bool StreamParser::handle_record(const uint8_t* body, uint32_t length, StreamSink& sink) {
  uint8_t type = body[0];
  if (!hello_seen_) {
    if (type != kx::wire::kHelloMessageType) {
      return fail("stream does not begin with a hello (first record type " +
                  std::to_string(type) + ")");
    }
    version_.assign(reinterpret_cast<const char*>(body + 1), length - 1);
    hello_seen_ = true;
    sink.on_hello(version_);
    return true;
  }
  if (type == kx::wire::kHelloMessageType) return fail("second hello record");
  if (type != kx::wire::kDnsPacketMessageType) {
    return fail("record of unknown type " + std::to_string(type));
  }
  kx::wire::DnsMessageView message;
  if (kx::wire::parse_dns_message(body, length, &message) != kx::wire::ParseResult::ok) {
    return fail("message lengths overrun its record of " + std::to_string(length) +
                " bytes");
  }
  ++messages_;
  sink.on_message(message);
  return true;
}

// Moves bytes from the chunk into the held-back record until it is whole, then hands
// it on. Returns how many bytes of the chunk it used.
size_t StreamParser::complete_pending(const uint8_t* data, size_t size, StreamSink& sink) {
  size_t used = 0;
  if (pending_.size() < kRecordHeaderSize) {
    used = std::min(size, kRecordHeaderSize - pending_.size());
    pending_.insert(pending_.end(), data, data + used);
    if (pending_.size() < kRecordHeaderSize) return used;
    if (!check_length(kx::wire::load_be32(pending_.data()))) return used;
  }
  uint32_t length = kx::wire::load_be32(pending_.data());
  size_t missing = kRecordHeaderSize + length - pending_.size();
  size_t take = std::min(size - used, missing);
  pending_.insert(pending_.end(), data + used, data + used + take);
  used += take;
  if (take < missing) return used;
  if (!handle_record(pending_.data() + kRecordHeaderSize, length, sink)) return used;
  pending_.clear();
  if (pending_.capacity() > kKeptPendingCapacity) pending_.shrink_to_fit();
  return used;
}

bool StreamParser::feed(const uint8_t* data, size_t size, StreamSink& sink) {
  if (failed()) return false;
  if (!pending_.empty()) {
    size_t used = complete_pending(data, size, sink);
    if (failed()) return false;
    data += used;
    size -= used;
    if (!pending_.empty()) return true;
  }
  // Whole records are handed on straight from the chunk; only a record cut by the end
  // of the chunk is copied.
  while (size >= kRecordHeaderSize) {
    uint32_t length = kx::wire::load_be32(data);
    if (!check_length(length)) return false;
    if (size - kRecordHeaderSize < length) break;
    if (!handle_record(data + kRecordHeaderSize, length, sink)) return false;
    data += kRecordHeaderSize + length;
    size -= kRecordHeaderSize + length;
  }
  if (size > 0) pending_.insert(pending_.end(), data, data + size);
  return true;
}

}  // namespace kx::collector
