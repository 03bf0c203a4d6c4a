#include "net/ip_text.h"

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

}  // namespace kx::net
