// The agent's wire format, written once for the agent, the collector, the tests and the
// benchmarks.
//
// Stream towards a collector: a hello record, then records. A record is a 4-byte
// big-endian body length and the body; the sensor queue frames records the same way.
//
//   hello body:       01 "3.7.3"
//   DNS packet body:  02, time (u32 BE, seconds since 1970), D, device text (D bytes),
//                     S, server text (S bytes), is_tcp byte, DNS packet (the rest)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kx::wire {

inline constexpr char kAgentVersion[] = "3.7.3";
inline constexpr uint8_t kHelloMessageType = 0x01;
inline constexpr uint8_t kDnsPacketMessageType = 0x02;
inline constexpr size_t kRecordHeaderSize = 4;
inline constexpr size_t kHelloBodySize = 1 + sizeof kAgentVersion - 1;       // 6
inline constexpr size_t kHelloRecordSize = kRecordHeaderSize + kHelloBodySize;  // 10
// Type, time, the two address lengths and the TCP flag.
inline constexpr size_t kDnsMessageFixedSize = 8;
// An address text travels behind a one-byte length.
inline constexpr size_t kMaxAddressLength = 255;

inline void store_be16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}

inline uint16_t load_be16(const uint8_t* in) {
  return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

inline void store_be32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

inline uint32_t load_be32(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
         uint32_t{in[3]};
}

// Appends a record, its length field and then body, to the end of out.
void append_record(std::vector<uint8_t>& out, const uint8_t* body, size_t size);

// Fills out with the 10 bytes that begin every connection: 00 00 00 06 01 "3.7.3".
void write_hello_record(uint8_t (&out)[kHelloRecordSize]);

// Size of a DNS packet message with the given address and packet sizes.
inline constexpr size_t dns_message_size(size_t device_length, size_t server_length,
                                         size_t packet_size) {
  return kDnsMessageFixedSize + device_length + server_length + packet_size;
}

// Writes everything of a DNS packet message up to its packet data into out, which must
// hold dns_message_size(...) bytes; returns the offset at which the packet data goes, so
// that a source can read the packet straight into place. Address lengths must be at most
// kMaxAddressLength (only the low 8 bits are written).
size_t write_dns_message_header(uint8_t* out, uint32_t time_seconds, std::string_view device,
                                std::string_view server, uint8_t is_tcp);

// Frames a whole DNS packet message into out (dns_message_size(...) bytes); returns its
// length.
size_t write_dns_message(uint8_t* out, uint32_t time_seconds, std::string_view device,
                         std::string_view server, uint8_t is_tcp, const uint8_t* packet,
                         size_t packet_size);

// A DNS packet message read back; the views point into the parsed bytes.
struct DnsMessageView {
  uint32_t time_seconds = 0;
  std::string_view device;
  std::string_view server;
  uint8_t is_tcp = 0;
  const uint8_t* packet = nullptr;
  size_t packet_size = 0;
};

enum class ParseResult { ok, wrong_type, truncated };

// Reads a DNS packet message body; never reads outside [data, data + size).
ParseResult parse_dns_message(const uint8_t* data, size_t size, DnsMessageView* out);

}  // namespace kx::wire
