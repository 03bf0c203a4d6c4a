#include "net/ip_text.h"

// inet_ntop and inet_pton have the same shape on both platforms; only their headers differ.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

namespace kx::net {

size_t format_ipv4(const uint8_t* address, char* out) {
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned value = address[i];
    if (i > 0) out[at++] = '.';
    if (value >= 100) out[at++] = static_cast<char>('0' + value / 100);
    if (value >= 10) out[at++] = static_cast<char>('0' + value / 10 % 10);
    out[at++] = static_cast<char>('0' + value % 10);
  }
  return at;
}

bool is_ipv4_mapped(const uint8_t* address) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(address, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

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
