// Text forms of IP addresses in DNS packet messages: dotted IPv4, and IPv6 as the
// platform's inet_ntop writes it. An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is written
// as its dotted IPv4 text, so that one client reads the same whichever socket family the
// DNS server used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kx::net {

// The longest text these functions write: an IPv6 address with a dotted IPv4 tail.
inline constexpr size_t kMaxIpTextLength = 45;

// Dotted IPv4 text of 4 bytes in network order; out holds at least 15 bytes. Returns the
// length written (no terminator).
size_t format_ipv4(const uint8_t* address, char* out);

// True for ::ffff:a.b.c.d; its IPv4 address is then the last 4 bytes.
bool is_ipv4_mapped(const uint8_t* address);

// Text of 16 bytes in network order, dotted IPv4 for a mapped address; out holds at least
// kMaxIpTextLength bytes. Returns the length written (no terminator). Allocates nothing.
size_t format_ipv6(const uint8_t* address, char* out);

// Fills address (16 bytes) when text is an IPv6 address as inet_pton reads it.
bool parse_ipv6(std::string_view text, uint8_t* address);

}  // namespace kx::net
