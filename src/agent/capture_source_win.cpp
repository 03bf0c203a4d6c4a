#include "agent/capture_source.h"
#include "config/settings.h"
#include "sensor/etw_session.h"

namespace kx::agent {

// The ETW session's name and provider are fixed; it reads only ipv6-clients.
std::unique_ptr<CaptureSource> make_capture_session(const config::Config& config,
                                                    const std::string&) {
  return std::make_unique<SessionCapture<sensor::EtwSession>>(config::read_ipv6_clients(config));
}

const char* capture_start_line() { return "Starting ETW session"; }

}  // namespace kx::agent
