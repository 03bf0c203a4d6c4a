#include "pcap_frame.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace kx::collector {
namespace {

constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr size_t kIpv4HeaderSize = 20;
constexpr size_t kIpv6HeaderSize = 40;
constexpr size_t kUdpHeaderSize = 8;
constexpr size_t kTcpHeaderSize = 20;
constexpr size_t kMaxIpLength = 65535;

uint32_t add_to_sum(uint32_t sum, const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 1 < size; i += 2) sum += (uint32_t{data[i]} << 8) | data[i + 1];
  if (size % 2 != 0) sum += uint32_t{data[size - 1]} << 8;
  return sum;
}

uint16_t fold(uint32_t sum) {
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An IPv4 address mapped into IPv6 (::ffff:a.b.c.d), for a packet whose other end is
// IPv6.
IpAddress as_ipv6(const IpAddress& address) {
  if (address.size == 16) return address;
  IpAddress mapped;
  mapped.size = 16;
  if (address.size == 4) {
    mapped.bytes[10] = 0xff;
    mapped.bytes[11] = 0xff;
    memcpy(mapped.bytes + 12, address.bytes, 4);
  }
  return mapped;
}

}  // namespace

IpAddress parse_ip_address(std::string_view text) {
  IpAddress address;
  char copy[64];
  if (text.size() >= sizeof copy) return address;
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  if (inet_pton(AF_INET, copy, address.bytes) == 1) {
    address.size = 4;
  } else if (inet_pton(AF_INET6, copy, address.bytes) == 1) {
    address.size = 16;
  }
  return address;
}

uint16_t internet_checksum(const uint8_t* data, size_t size, uint32_t initial_sum) {
  return fold(add_to_sum(initial_sum, data, size));
}

uint32_t FrameBuilder::pseudo_header_sum(uint8_t protocol, size_t length) const {
  uint32_t sum = add_to_sum(0, source_.bytes, source_.size);
  sum = add_to_sum(sum, destination_.bytes, destination_.size);
  return sum + protocol + static_cast<uint32_t>(length);
}

size_t FrameBuilder::write_ip_header(uint8_t* out, const IpAddress& source,
                                     const IpAddress& destination, uint8_t protocol,
                                     size_t payload_size) {
  if (source.size == 16) {
    memset(out, 0, kIpv6HeaderSize);
    out[0] = 0x60;
    wire::store_be16(out + 4, static_cast<uint16_t>(payload_size));
    out[6] = protocol;
    out[7] = 64;
    memcpy(out + 8, source.bytes, 16);
    memcpy(out + 24, destination.bytes, 16);
    return kIpv6HeaderSize;
  }
  memset(out, 0, kIpv4HeaderSize);
  out[0] = 0x45;
  wire::store_be16(out + 2, static_cast<uint16_t>(kIpv4HeaderSize + payload_size));
  wire::store_be16(out + 4, ip_id_++);
  out[6] = 0x40;  // don't fragment
  out[8] = 64;
  out[9] = protocol;
  memcpy(out + 12, source.bytes, 4);
  memcpy(out + 16, destination.bytes, 4);
  wire::store_be16(out + 10, internet_checksum(out, kIpv4HeaderSize));
  return kIpv4HeaderSize;
}

void FrameBuilder::write_udp(uint8_t* out, uint16_t source_port, uint16_t destination_port,
                             const uint8_t* dns, size_t dns_size) {
  size_t length = kUdpHeaderSize + dns_size;
  wire::store_be16(out, source_port);
  wire::store_be16(out + 2, destination_port);
  wire::store_be16(out + 4, static_cast<uint16_t>(length));
  wire::store_be16(out + 6, 0);
  memcpy(out + kUdpHeaderSize, dns, dns_size);
  uint16_t checksum = internet_checksum(out, length, pseudo_header_sum(kProtocolUdp, length));
  // A computed zero is sent as all ones: zero means "no checksum" in UDP.
  wire::store_be16(out + 6, checksum == 0 ? 0xffff : checksum);
}

void FrameBuilder::write_tcp(uint8_t* out, uint16_t source_port, uint16_t destination_port,
                             const uint8_t* dns, size_t dns_size) {
  size_t length = kTcpHeaderSize + 2 + dns_size;
  memset(out, 0, kTcpHeaderSize);
  wire::store_be16(out, source_port);
  wire::store_be16(out + 2, destination_port);
  wire::store_be32(out + 4, tcp_sequence_);
  wire::store_be32(out + 8, tcp_sequence_);
  tcp_sequence_ += static_cast<uint32_t>(2 + dns_size);
  out[12] = 5 << 4;  // header of 5 words, no options
  out[13] = 0x18;    // PSH, ACK
  wire::store_be16(out + 14, 65535);
  wire::store_be16(out + kTcpHeaderSize, static_cast<uint16_t>(dns_size));
  memcpy(out + kTcpHeaderSize + 2, dns, dns_size);
  wire::store_be16(out + 16,
                   internet_checksum(out, length, pseudo_header_sum(kProtocolTcp, length)));
}

const std::vector<uint8_t>& FrameBuilder::build(const kx::wire::DnsMessageView& message) {
  IpAddress device = parse_ip_address(message.device);
  IpAddress server = parse_ip_address(message.server);
  if (device.size == 16 || server.size == 16) {
    device = as_ipv6(device);
    server = as_ipv6(server);
  } else {
    device.size = server.size = 4;
  }
  bool response = is_dns_response(message.packet, message.packet_size);
  source_ = response ? server : device;
  destination_ = response ? device : server;
  uint16_t client_port = synthetic_client_port(message.packet, message.packet_size);
  uint16_t source_port = response ? kDnsPort : client_port;
  uint16_t destination_port = response ? client_port : kDnsPort;

  bool tcp = message.is_tcp != 0;
  size_t ip_header = source_.size == 16 ? kIpv6HeaderSize : kIpv4HeaderSize;
  size_t transport_header = tcp ? kTcpHeaderSize + 2 : kUdpHeaderSize;
  // IPv4 counts its header in the 16-bit total length, IPv6 only the payload.
  size_t room = kMaxIpLength - transport_header - (source_.size == 16 ? 0 : ip_header);
  size_t dns_size = std::min(message.packet_size, room);

  frame_.resize(ip_header + transport_header + dns_size);
  uint8_t* out = frame_.data();
  out += write_ip_header(out, source_, destination_, tcp ? kProtocolTcp : kProtocolUdp,
                         transport_header + dns_size);
  if (tcp) {
    write_tcp(out, source_port, destination_port, message.packet, dns_size);
  } else {
    write_udp(out, source_port, destination_port, message.packet, dns_size);
  }
  return frame_;
}

}  // namespace kx::collector
