// The platform's source of DNS packet messages, as the run sequence sees it: the ETW
// session on Windows, the libpcap session on Linux.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "sensor/capture_counts.h"
#include "sensor/message_handler.h"

namespace kx::config {
class Config;
}

namespace kx::agent {

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  virtual void set_message_handler(sensor::MessageHandler handler, void* user) = 0;
  // The handler told when the capture ends on an error; a stop or the end of a replayed
  // file is none.
  virtual void set_failure_handler(sensor::CaptureFailureHandler handler, void* user) = 0;
  // Starts the capture thread; raises when the thread cannot be started.
  virtual void start() = 0;
  // Ends capture and joins its thread; does nothing when it never started.
  virtual void stop() = 0;
  // Cumulative since creation, also after stop; safe from any thread.
  virtual sensor::CaptureCounts counts() = 0;
};

// Any session with the capture shape (set_message_handler, start, stop) as a CaptureSource.
template <typename Session>
class SessionCapture : public CaptureSource {
 public:
  template <typename... Args>
  explicit SessionCapture(Args&&... args) : session_(std::forward<Args>(args)...) {}
  void set_message_handler(sensor::MessageHandler handler, void* user) override {
    session_.set_message_handler(handler, user);
  }
  void set_failure_handler(sensor::CaptureFailureHandler handler, void* user) override {
    session_.set_failure_handler(handler, user);
  }
  void start() override { session_.start(); }
  void stop() override { session_.stop(); }
  sensor::CaptureCounts counts() override { return session_.counts(); }

 private:
  Session session_;
};

// Builds this platform's idle capture session from the configuration. startup_directory
// is the working directory the process started in, for relative paths of the
// configuration (the run sequence has moved to the executable's folder by then).
std::unique_ptr<CaptureSource> make_capture_session(const config::Config& config,
                                                    const std::string& startup_directory);

// The run sequence's log line before the capture starts.
const char* capture_start_line();

}  // namespace kx::agent
