// Splits one agent connection's byte stream into its hello and its DNS packet
// messages. Independent of sockets: it is fed whatever chunks a read returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/wire_format.h"

namespace kx::collector {

// Receives what the parser finds, in stream order. The views are valid only during
// the call.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual void on_hello(std::string_view version) = 0;
  virtual void on_message(const kx::wire::DnsMessageView& message) = 0;
};

inline constexpr uint32_t kDefaultMaxRecord = 16u * 1024 * 1024;
// A hello body is a type byte and a short version text; anything longer at the start
// of a stream is not a hello, and waiting for its body would only hold memory.
inline constexpr uint32_t kMaxHelloBody = 64;

class StreamParser {
 public:
  explicit StreamParser(uint32_t max_record = kDefaultMaxRecord);

  // Consumes one chunk, handing every complete record to sink. Returns false once the
  // stream is malformed (error() says why); the parser then ignores all further input,
  // and the records before the fault have been delivered.
  bool feed(const uint8_t* data, size_t size, StreamSink& sink);

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  bool hello_seen() const { return hello_seen_; }
  const std::string& version() const { return version_; }
  // Bytes of an incomplete record held back; 0 at a record boundary.
  size_t pending_bytes() const { return pending_.size(); }
  // Messages delivered so far.
  uint64_t messages() const { return messages_; }

 private:
  bool check_length(uint32_t length);
  bool handle_record(const uint8_t* body, uint32_t length, StreamSink& sink);
  size_t complete_pending(const uint8_t* data, size_t size, StreamSink& sink);
  bool fail(std::string reason);

  uint32_t max_record_;
  bool hello_seen_ = false;
  std::string version_;
  std::string error_;
  std::vector<uint8_t> pending_;
  uint64_t messages_ = 0;
};

}  // namespace kx::collector
