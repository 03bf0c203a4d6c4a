// A capture source for run-sequence tests. The run owns the FakeCapture; the test owns
// the CaptureScript behind it, which it can still read after the run has released its
// capture, and through which it delivers messages as a capture thread would.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/capture_source.h"

namespace kx::test {

struct CaptureScript {
  // When set, start() raises this text (like a capture thread that cannot start).
  std::string start_failure;
  // What counts() reports as lost by the capture.
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> delivered{0};
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  // Set on the run sequence's thread, used on the test's.
  std::atomic<sensor::MessageHandler> handler{nullptr};
  std::atomic<void*> user{nullptr};
  std::atomic<sensor::CaptureFailureHandler> failure_handler{nullptr};
  std::atomic<void*> failure_user{nullptr};

  int32_t deliver(const std::vector<uint8_t>& message) {
    ++delivered;
    return handler.load()(message.data(), static_cast<uint32_t>(message.size()), user.load());
  }
  // Ends the capture on an error, as a capture thread would report it.
  void fail(const char* message) { failure_handler.load()(message, failure_user.load()); }
};

class FakeCapture : public agent::CaptureSource {
 public:
  explicit FakeCapture(CaptureScript& script) : script_(script) {}
  void set_message_handler(sensor::MessageHandler handler, void* user) override {
    script_.user = user;
    script_.handler = handler;
  }
  void set_failure_handler(sensor::CaptureFailureHandler handler, void* user) override {
    script_.failure_user = user;
    script_.failure_handler = handler;
  }
  void start() override {
    if (!script_.start_failure.empty()) throw std::runtime_error(script_.start_failure);
    started_ = true;
    ++script_.starts;
  }
  // The run stops its capture once more when it leaves by an error; only a stop of a
  // started capture counts.
  void stop() override {
    if (started_) ++script_.stops;
    started_ = false;
  }
  sensor::CaptureCounts counts() override {
    sensor::CaptureCounts counts;
    counts.captured = script_.delivered;
    counts.dropped = script_.dropped;
    return counts;
  }

 private:
  CaptureScript& script_;
  bool started_ = false;
};

}  // namespace kx::test
