// Settings of the Linux packet capture, read from the configuration file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx::config {

class Config;

// 32 MiB holds over a second of a 150k queries/s server's traffic on lo, so a capture
// thread kept off the CPU that long by a busy host loses nothing.
inline constexpr uint32_t kDefaultCaptureBufferSize = 32 * 1024 * 1024;

struct CaptureSettings {
  std::string interface = "any";  // capture-interface
  uint16_t dns_port = 53;         // dns-port
  std::string capture_file;       // capture-file: replay this pcap file instead, if set
  uint32_t buffer_size = kDefaultCaptureBufferSize;  // capture-buffer-size, bytes
  bool ipv6_clients = false;                          // ipv6-clients
};

// Reads capture-interface, dns-port, capture-file, capture-buffer-size and ipv6-clients
// (see read_ipv6_clients); an absent key keeps its default. Raises ConfigError for a
// dns-port that is not a number from 1 to 65535, a capture-buffer-size that is not one
// from 1 to 2147483647, and for an empty capture-interface, so that a typing error does
// not capture the wrong traffic. Logs one "Config: ..." line per setting.
CaptureSettings read_capture_settings(const config::Config& config);

// The dns-port value as a port number, or none unless it is all decimal digits and
// from 1 to 65535.
std::optional<uint16_t> parse_dns_port(std::string_view text);

// The capture-buffer-size value in bytes, or none unless it is all decimal digits and
// from 1 to 2147483647 (libpcap takes an int).
std::optional<uint32_t> parse_buffer_size(std::string_view text);

}  // namespace kx::config
