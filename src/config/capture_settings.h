// Settings of the Linux packet capture, read from the configuration file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx::config {

class Config;

struct CaptureSettings {
  std::string interface = "any";  // capture-interface
  uint16_t dns_port = 53;         // dns-port
  std::string capture_file;       // capture-file: replay this pcap file instead, if set
};

// Reads capture-interface, dns-port and capture-file; an absent key keeps its default.
// Raises ConfigError for a dns-port that is not a number from 1 to 65535
// and for an empty capture-interface, so that a typing error does not capture the wrong
// traffic. Logs one "Config: ..." line per setting.
CaptureSettings read_capture_settings(const config::Config& config);

// The dns-port value as a port number, or none unless it is all decimal digits and
// from 1 to 65535.
std::optional<uint16_t> parse_dns_port(std::string_view text);

}  // namespace kx::config
