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

}  // namespace kx::collector
