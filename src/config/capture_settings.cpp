#include "config/capture_settings.h"

#include <string>

#include "agent/errors.h"
#include "config/config.h"
#include "logging/log.h"

namespace kx::config {
namespace {

// A present key with nothing after it is a mistake, not a request for the default.
std::string read_text(const Config& config, std::string_view key,
                      std::string fallback) {
  std::optional<std::string_view> value = config.get(key);
  if (!value) return fallback;
  if (value->empty()) {
    throw ConfigError("Config: " + std::string(key) + " has no value");
  }
  return std::string(*value);
}

}  // namespace

std::optional<uint16_t> parse_dns_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

CaptureSettings read_capture_settings(const Config& config) {
  CaptureSettings settings;
  settings.interface = read_text(config, "capture-interface", settings.interface);
  if (std::optional<std::string_view> port = config.get("dns-port")) {
    std::optional<uint16_t> parsed = parse_dns_port(*port);
    if (!parsed) {
      throw ConfigError("Config: dns-port '" + std::string(*port) +
                                "' is not a port number from 1 to 65535");
    }
    settings.dns_port = *parsed;
  }
  settings.capture_file = read_text(config, "capture-file", settings.capture_file);
  logging::log_message("Config: capture-interface = %s", settings.interface.c_str());
  logging::log_message("Config: dns-port = %u", unsigned{settings.dns_port});
  if (!settings.capture_file.empty()) {
    logging::log_message("Config: capture-file = %s", settings.capture_file.c_str());
  }
  return settings;
}

}  // namespace kx::config
