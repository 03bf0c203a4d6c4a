#include "agent/capture_source.h"
#include "sensor/etw_session.h"

namespace kx::agent {

// The ETW session reads nothing of the configuration: its name and provider are fixed.
std::unique_ptr<CaptureSource> make_capture_session(const config::Config&, const std::string&) {
  return std::make_unique<SessionCapture<sensor::EtwSession>>();
}

const char* capture_start_line() { return "Starting ETW session"; }

}  // namespace kx::agent
