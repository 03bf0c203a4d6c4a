// Numeric socket addresses as the collector's command line and messages write them:
// "127.0.0.1:8100", "[::1]:8100".
#pragma once

#include <sys/socket.h>

#include <string>
#include <string_view>

namespace kx::collector {

struct SocketAddress {
  sockaddr_storage storage = {};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
};

// Splits "HOST:PORT" or "[HOST]:PORT" into host and port texts. Returns false when the
// text has no such form.
bool split_host_port(std::string_view text, std::string* host, std::string* port);

// Parses a numeric IPv4 or IPv6 address and port (0 to 65535). Returns false on any
// other text.
bool parse_socket_address(std::string_view text, SocketAddress* out);

// "ADDR:PORT" or "[ADDR]:PORT".
std::string format_socket_address(const sockaddr* address);

}  // namespace kx::collector
