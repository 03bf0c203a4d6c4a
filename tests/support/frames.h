// Captured frames as tests and benchmarks build them, from the link header to the DNS data.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "sensor/packet_decoder.h"

namespace kx::test::frames {

using Bytes = std::vector<uint8_t>;
using sensor::LinkType;

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes be16(size_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes be32(uint32_t v) { return join({be16(v >> 16), be16(v & 0xFFFF)}); }

inline Bytes udp(uint16_t from_port, uint16_t to_port, const Bytes& payload) {
  return join({be16(from_port), be16(to_port), be16(8 + payload.size()), {0, 0}, payload});
}

// Data offset 5 words, PSH and ACK.
inline Bytes tcp(uint16_t from_port, uint16_t to_port, uint32_t sequence, const Bytes& payload) {
  return join({be16(from_port), be16(to_port), be32(sequence), be32(0), {5 << 4, 0x18},
               Bytes(6, 0), payload});
}

// Each message behind its two-byte length, as DNS over TCP sends it.
inline Bytes tcp_stream(const std::vector<Bytes>& messages) {
  Bytes out;
  for (const Bytes& m : messages) out = join({out, be16(m.size()), m});
  return out;
}

// "Don't fragment" is set by default, as most stacks send; it marks no fragment.
inline Bytes ipv4_packet(uint8_t protocol, const Bytes& source, const Bytes& destination,
                         const Bytes& transport, uint16_t flags_and_offset = 0x4000) {
  return join({{0x45, 0}, be16(20 + transport.size()), {0, 0}, be16(flags_and_offset),
               {64, protocol, 0, 0}, source, destination, transport});
}

inline Bytes ipv6_packet(uint8_t next, const Bytes& payload, const Bytes& from, const Bytes& to) {
  return join({{0x60, 0, 0, 0}, be16(payload.size()), {next, 64}, from, to, payload});
}

inline constexpr uint8_t kPacketOutgoing = 4;
inline constexpr uint16_t kArphrdLoopback = 772;

// packet_type and hardware_type go in the cooked headers (PACKET_HOST and ARPHRD_ETHER by
// default); the loopback family is in little-endian order.
inline Bytes with_link(LinkType link, const Bytes& ip, uint8_t packet_type = 0,
                       uint16_t hardware_type = 1) {
  bool v6 = (ip[0] >> 4) == 6;
  Bytes type = be16(v6 ? 0x86DD : 0x0800);
  switch (link) {
    case LinkType::ethernet: return join({Bytes(12, 0xAA), type, ip});
    case LinkType::linux_sll:
      return join({be16(packet_type), be16(hardware_type), be16(6), Bytes(8, 0), type, ip});
    case LinkType::linux_sll2:
      return join({type, {0, 0}, be32(1), be16(hardware_type), {packet_type, 6}, Bytes(8, 0), ip});
    case LinkType::loopback: return join({{static_cast<uint8_t>(v6 ? 10 : 2), 0, 0, 0}, ip});
    case LinkType::raw_ip: break;
  }
  return ip;
}

}  // namespace kx::test::frames
