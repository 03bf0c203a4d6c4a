#include "wire/wire_format.h"

#include <cstring>

namespace kx::wire {

void append_record(std::vector<uint8_t>& out, const uint8_t* body, size_t size) {
  uint8_t length[kRecordHeaderSize];
  store_be32(length, static_cast<uint32_t>(size));
  out.insert(out.end(), length, length + sizeof length);
  out.insert(out.end(), body, body + size);
}

void write_hello_record(uint8_t (&out)[kHelloRecordSize]) {
  store_be32(out, static_cast<uint32_t>(kHelloBodySize));
  out[4] = kHelloMessageType;
  memcpy(out + 5, kAgentVersion, kHelloBodySize - 1);
}

size_t write_dns_message_header(uint8_t* out, uint32_t time_seconds, std::string_view device,
                                std::string_view server, uint8_t is_tcp) {
  size_t at = 0;
  out[at++] = kDnsPacketMessageType;
  store_be32(out + at, time_seconds);
  at += 4;
  out[at++] = static_cast<uint8_t>(device.size());
  memcpy(out + at, device.data(), device.size());
  at += device.size();
  out[at++] = static_cast<uint8_t>(server.size());
  memcpy(out + at, server.data(), server.size());
  at += server.size();
  out[at++] = is_tcp;
  return at;
}

size_t write_dns_message(uint8_t* out, uint32_t time_seconds, std::string_view device,
                         std::string_view server, uint8_t is_tcp, const uint8_t* packet,
                         size_t packet_size) {
  size_t at = write_dns_message_header(out, time_seconds, device, server, is_tcp);
  if (packet_size > 0) memcpy(out + at, packet, packet_size);
  return at + packet_size;
}

ParseResult parse_dns_message(const uint8_t* data, size_t size, DnsMessageView* out) {
  if (size < 1) return ParseResult::truncated;
  if (data[0] != kDnsPacketMessageType) return ParseResult::wrong_type;
  if (size < 6) return ParseResult::truncated;
  size_t at = 1;
  out->time_seconds = load_be32(data + at);
  at += 4;
  size_t device_length = data[at++];
  if (size - at < device_length + 1) return ParseResult::truncated;
  out->device = std::string_view(reinterpret_cast<const char*>(data + at), device_length);
  at += device_length;
  size_t server_length = data[at++];
  if (size - at < server_length + 1) return ParseResult::truncated;
  out->server = std::string_view(reinterpret_cast<const char*>(data + at), server_length);
  at += server_length;
  out->is_tcp = data[at++];
  out->packet = data + at;
  out->packet_size = size - at;
  return ParseResult::ok;
}

}  // namespace kx::wire
