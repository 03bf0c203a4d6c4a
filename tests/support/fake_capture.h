// A capture session for run-sequence tests. The run holds it by reference (source()), so
// the test still reads it after the run has released its capture, and delivers messages
// through it as a capture thread would.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/capture_source.h"

namespace kx::test {

struct FakeCapture {
  std::string start_failure;  // raised by start() when set
  uint64_t dropped = 0;
  std::atomic<uint64_t> delivered{0};
  // The run sets the handlers before start(): once starts is above 0 the test may use them.
  std::atomic<int> starts{0};
  int stops = 0;
  bool started = false;
  sensor::MessageHandler handler = nullptr;
  void* user = nullptr;
  sensor::CaptureFailureHandler failure_handler = nullptr;
  void* failure_user = nullptr;

  std::unique_ptr<agent::CaptureSource> source() {
    return std::make_unique<agent::SessionCapture<FakeCapture&>>(*this);
  }
  void set_message_handler(sensor::MessageHandler message_handler, void* message_user) {
    handler = message_handler;
    user = message_user;
  }
  void set_failure_handler(sensor::CaptureFailureHandler on_failure, void* on_failure_user) {
    failure_handler = on_failure;
    failure_user = on_failure_user;
  }
  void start() {
    if (!start_failure.empty()) throw std::runtime_error(start_failure);
    started = true;
    ++starts;
  }
  // The run stops its capture once more when it leaves by an error; as for a real
  // capture, only a stop of a started one counts.
  void stop() {
    if (started) ++stops;
    started = false;
  }
  sensor::CaptureCounts counts() {
    sensor::CaptureCounts counts;
    counts.captured = delivered;
    counts.dropped = dropped;
    return counts;
  }
  int32_t deliver(const std::vector<uint8_t>& message) {
    ++delivered;
    return handler(message.data(), static_cast<uint32_t>(message.size()), user);
  }
  // Ends the capture on an error, as a capture thread would report it.
  void fail(const char* message) { failure_handler(message, failure_user); }
};

}  // namespace kx::test
