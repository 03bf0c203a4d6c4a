#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace kx::collector {
namespace {

bool parse_port(std::string_view text, uint16_t* port) {
  unsigned value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
      value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

// The address bytes of an IPv4 or IPv6 socket address, an IPv4-mapped IPv6 address as
// its 4 IPv4 bytes; 0 for other families.
size_t address_bytes(const sockaddr* address, const uint8_t** bytes) {
  if (address->sa_family == AF_INET) {
    *bytes = reinterpret_cast<const uint8_t*>(
        &reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    return 4;
  }
  if (address->sa_family != AF_INET6) return 0;
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  *bytes = v6.s6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    *bytes += 12;
    return 4;
  }
  return 16;
}

}  // namespace

bool split_host_port(std::string_view text, std::string* host, std::string* port) {
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    *host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    *host = std::string(text.substr(0, colon));
    // An unbracketed IPv6 address would make the port ambiguous.
    if (host->find(':') != std::string::npos) return false;
  }
  *port = std::string(text.substr(colon + 1));
  return !host->empty() && !port->empty();
}

bool parse_socket_address(std::string_view text, SocketAddress* out) {
  std::string host, port_text;
  uint16_t port;
  if (!split_host_port(text, &host, &port_text) || !parse_port(port_text, &port)) return false;
  *out = SocketAddress();
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out->storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out->storage);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    out->length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    out->length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

std::string format_socket_address(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return text;
}

std::string format_ip_address(const sockaddr* address) {
  const uint8_t* bytes = nullptr;
  size_t size = address_bytes(address, &bytes);
  char text[INET6_ADDRSTRLEN] = "?";
  if (size != 0) inet_ntop(size == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return text;
}

bool parse_network(std::string_view text, Network* out) {
  *out = Network();
  size_t slash = text.find('/');
  std::string host(text.substr(0, slash));
  if (inet_pton(AF_INET, host.c_str(), out->bytes) == 1) {
    out->family = AF_INET;
  } else if (inet_pton(AF_INET6, host.c_str(), out->bytes) == 1) {
    out->family = AF_INET6;
  } else {
    return false;
  }
  unsigned bits = out->family == AF_INET ? 32 : 128;
  out->prefix = bits;
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    auto result = std::from_chars(digits.data(), digits.data() + digits.size(), out->prefix);
    if (digits.empty() || result.ec != std::errc() ||
        result.ptr != digits.data() + digits.size() || out->prefix > bits) {
      return false;
    }
  }
  for (unsigned bit = out->prefix; bit < bits; ++bit) {
    if ((out->bytes[bit / 8] & (0x80 >> (bit % 8))) != 0) return false;
  }
  return true;
}

bool network_contains(const Network& network, const sockaddr* address) {
  const uint8_t* bytes = nullptr;
  size_t size = address_bytes(address, &bytes);
  if (size != (network.family == AF_INET ? 4u : 16u)) return false;
  unsigned whole = network.prefix / 8, rest = network.prefix % 8;
  if (memcmp(bytes, network.bytes, whole) != 0) return false;
  uint8_t mask = static_cast<uint8_t>(0xff00 >> rest);
  return rest == 0 || (bytes[whole] & mask) == network.bytes[whole];
}

}  // namespace kx::collector
