// A capture source for run-sequence tests: it captures nothing, and its start can be
// made to fail like a capture thread that cannot start.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "agent/capture_source.h"

namespace kx::test {

class FakeCapture : public agent::CaptureSource {
 public:
  explicit FakeCapture(std::string start_failure = std::string())
      : start_failure_(std::move(start_failure)) {}
  void set_message_handler(sensor::MessageHandler, void*) override {}
  void start() override {
    if (!start_failure_.empty()) throw std::runtime_error(start_failure_);
  }
  void stop() override {}

 private:
  std::string start_failure_;
};

}  // namespace kx::test
