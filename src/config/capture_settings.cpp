#include "config/capture_settings.h"

#include <string>

#include "agent/errors.h"
#include "config/config.h"
#include "config/settings.h"
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

// All decimal digits, from 1 to max; none otherwise.
std::optional<uint32_t> parse_whole_number(std::string_view text, uint32_t max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number == 0 || number > max) return std::nullopt;
  return static_cast<uint32_t>(number);
}

// The key's number as parse reads it, or fallback when the key is absent; what parse
// refuses fails the configuration, naming the range it must lie in.
template <class Number>
Number read_number(const Config& config, std::string_view key, Number fallback,
                   std::optional<Number> (*parse)(std::string_view), const char* range) {
  std::optional<std::string_view> text = config.get(key);
  if (!text) return fallback;
  std::optional<Number> parsed = parse(*text);
  if (!parsed) {
    throw ConfigError("Config: " + std::string(key) + " '" + std::string(*text) + "' is not " + range);
  }
  return *parsed;
}

}  // namespace

std::optional<uint16_t> parse_dns_port(std::string_view text) {
  if (text.size() > 5) return std::nullopt;
  std::optional<uint32_t> port = parse_whole_number(text, 65535);
  if (!port) return std::nullopt;
  return static_cast<uint16_t>(*port);
}

std::optional<uint32_t> parse_buffer_size(std::string_view text) {
  return parse_whole_number(text, 2147483647);
}

CaptureSettings read_capture_settings(const Config& config) {
  CaptureSettings settings;
  settings.interface = read_text(config, "capture-interface", settings.interface);
  settings.dns_port = read_number(config, "dns-port", settings.dns_port, parse_dns_port,
                                  "a port number from 1 to 65535");
  settings.capture_file = read_text(config, "capture-file", settings.capture_file);
  settings.buffer_size = read_number(config, "capture-buffer-size", settings.buffer_size,
                                     parse_buffer_size, "a number of bytes from 1 to 2147483647");
  logging::log_message("Config: capture-interface = %s", settings.interface.c_str());
  logging::log_message("Config: dns-port = %u", unsigned{settings.dns_port});
  logging::log_message("Config: capture-buffer-size = %u", settings.buffer_size);
  if (!settings.capture_file.empty()) {
    logging::log_message("Config: capture-file = %s", settings.capture_file.c_str());
  }
  settings.ipv6_clients = read_ipv6_clients(config);
  return settings;
}

}  // namespace kx::config
