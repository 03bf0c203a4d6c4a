#include <filesystem>

#include "agent/capture_source.h"
#include "config/capture_settings.h"
#include "sensor/pcap_session.h"

namespace kx::agent {

std::unique_ptr<CaptureSource> make_capture_session(const config::Config& config,
                                                    const std::string& startup_directory) {
  config::CaptureSettings settings = config::read_capture_settings(config);
  // A relative capture-file means what it meant where the agent was started, like the
  // configuration path itself.
  if (!settings.capture_file.empty() && std::filesystem::path(settings.capture_file).is_relative()) {
    settings.capture_file = (std::filesystem::path(startup_directory) / settings.capture_file).string();
  }
  return std::make_unique<SessionCapture<sensor::PcapSession>>(std::move(settings));
}

const char* capture_start_line() { return "Starting capture session"; }

}  // namespace kx::agent
