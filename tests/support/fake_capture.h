// A capture source for run-sequence tests: records what the run sequence does with it
// and lets the test deliver messages through the installed handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/capture_source.h"

namespace kx::test {

class FakeCapture : public agent::CaptureSource {
 public:
  // When set, start() raises this text (like a capture thread that cannot start).
  std::string start_failure;
  // When set, start() reports this capture failure once it has started (like a session
  // that cannot be opened).
  std::string failure_after_start;

  void set_message_handler(sensor::MessageHandler handler, void* user) override {
    user_ = user;
    handler_ = handler;
  }
  void set_failure_handler(sensor::CaptureFailureHandler handler, void* user) override {
    failure_user_ = user;
    failure_handler_ = handler;
  }
  void start() override {
    if (!start_failure.empty()) throw std::runtime_error(start_failure);
    started_ = true;
    ++starts_;
    if (!failure_after_start.empty()) fail(failure_after_start.c_str());
  }
  void stop() override {
    if (started_) ++stops_;
    started_ = false;
  }
  sensor::CaptureCounts counts() override {
    sensor::CaptureCounts counts;
    counts.captured = delivered_;
    counts.dropped = dropped;
    return counts;
  }
  // What counts() reports as lost by the capture.
  std::atomic<uint64_t> dropped{0};

  // Hands a message to the installed handler as a capture thread would.
  int32_t deliver(const std::vector<uint8_t>& message) {
    ++delivered_;
    return handler_.load()(message.data(), static_cast<uint32_t>(message.size()), user_.load());
  }
  // Ends the capture on an error, as a capture thread would report it.
  void fail(const char* message) { failure_handler_.load()(message, failure_user_.load()); }
  bool has_handler() const { return handler_ != nullptr; }
  int starts() const { return starts_; }
  int stops() const { return stops_; }

 private:
  // Set on the run sequence's thread, used on the test's.
  std::atomic<sensor::MessageHandler> handler_{nullptr};
  std::atomic<void*> user_{nullptr};
  std::atomic<sensor::CaptureFailureHandler> failure_handler_{nullptr};
  std::atomic<void*> failure_user_{nullptr};
  std::atomic<bool> started_{false};
  std::atomic<int> starts_{0};
  std::atomic<int> stops_{0};
  std::atomic<uint64_t> delivered_{0};
};

// What the run sequence owns: forwards to a FakeCapture that the test owns, so the test
// can still read it after the run has released its capture.
class CaptureHandle : public agent::CaptureSource {
 public:
  explicit CaptureHandle(FakeCapture& capture) : capture_(capture) {}
  void set_message_handler(sensor::MessageHandler handler, void* user) override {
    capture_.set_message_handler(handler, user);
  }
  void set_failure_handler(sensor::CaptureFailureHandler handler, void* user) override {
    capture_.set_failure_handler(handler, user);
  }
  void start() override { capture_.start(); }
  void stop() override { capture_.stop(); }
  sensor::CaptureCounts counts() override { return capture_.counts(); }

 private:
  FakeCapture& capture_;
};

}  // namespace kx::test
