#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "net/ip_text.h"

namespace kx::net {

size_t format_ipv6(const uint8_t* address, char* out) {
  if (is_ipv4_mapped(address)) return format_ipv4(address + 12, out);
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(AF_INET6, address, text, sizeof text) == nullptr) return 0;
  size_t length = strlen(text);
  memcpy(out, text, length);
  return length;
}

bool parse_ipv6(std::string_view text, uint8_t* address) {
  char terminated[INET6_ADDRSTRLEN];
  if (text.size() >= sizeof terminated) return false;
  memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  return inet_pton(AF_INET6, terminated, address) == 1;
}

}  // namespace kx::net
