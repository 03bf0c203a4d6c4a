// Synthetic IP packets around DNS packet messages, so that capture tools can read
// them: the device and the server as the two ends, port 53 on the server's side, the
// direction taken from the DNS header's QR bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/wire_format.h"
#include "output.h"

namespace kx::collector {

inline constexpr uint16_t kDnsPort = 53;

// The device's port is not in the message; one derived from the DNS ID keeps a query
// and its response in the same conversation.
inline uint16_t synthetic_client_port(const uint8_t* packet, size_t size) {
  uint16_t id = size >= 2 ? kx::wire::load_be16(packet) : 0;
  return static_cast<uint16_t>(49152 + (id & 0x3fff));
}

// An address text as raw bytes: 4 for IPv4, 16 for IPv6, 0 when it is neither.
struct IpAddress {
  uint8_t bytes[16] = {};
  uint8_t size = 0;
};
IpAddress parse_ip_address(std::string_view text);

// The one's-complement sum of the Internet checksum, folded and inverted.
uint16_t internet_checksum(const uint8_t* data, size_t size, uint32_t initial_sum = 0);

class FrameBuilder {
 public:
  // Builds the IP packet (IPv4 unless an address is IPv6 text) with a UDP header, or a
  // TCP header and the 2-byte length prefix when the message's TCP flag is set. An
  // address that is not IP text becomes 0.0.0.0 (or ::). A packet too large for one IP
  // datagram is cut to fit. The result is valid until the next build.
  const std::vector<uint8_t>& build(const kx::wire::DnsMessageView& message);

 private:
  size_t write_ip_header(uint8_t* out, const IpAddress& source, const IpAddress& destination,
                         uint8_t protocol, size_t payload_size);
  void write_udp(uint8_t* out, uint16_t source_port, uint16_t destination_port,
                 const uint8_t* dns, size_t dns_size);
  void write_tcp(uint8_t* out, uint16_t source_port, uint16_t destination_port,
                 const uint8_t* dns, size_t dns_size);
  uint32_t pseudo_header_sum(uint8_t protocol, size_t length) const;

  std::vector<uint8_t> frame_;
  IpAddress source_;
  IpAddress destination_;
  uint16_t ip_id_ = 0;
  // One sequence counter for every synthetic TCP stream: within each stream the
  // numbers then only grow, so capture tools see gaps rather than retransmissions.
  uint32_t tcp_sequence_ = 1;
};

}  // namespace kx::collector
