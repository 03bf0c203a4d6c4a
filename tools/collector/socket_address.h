// Numeric socket addresses as the collector's command line and messages write them:
// "127.0.0.1:8100", "[::1]:8100".
#pragma once

#include <sys/socket.h>

#include <cstdint>
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

// The address alone, "ADDR" (an IPv4-mapped IPv6 address as its IPv4 form), so that
// one host's connections share one name whatever their ports.
std::string format_ip_address(const sockaddr* address);

// An IPv4 or IPv6 network, "10.0.0.0/8", "2001:db8::/32"; an address alone is a
// network of one host.
struct Network {
  int family = 0;
  uint8_t bytes[16] = {};
  unsigned prefix = 0;
};

// Parses a numeric CIDR text. Returns false on any other text, or when bits are set
// past the prefix (a likely typo, "10.1.2.3/8").
bool parse_network(std::string_view text, Network* out);

// True when the address lies in the network. An IPv4-mapped IPv6 peer (on a listener
// bound to "[::]") is matched as the IPv4 address it carries.
bool network_contains(const Network& network, const sockaddr* address);

}  // namespace kx::collector
