// Agent streams, DNS packets and collected messages for the collector's tests.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "wire/wire_format.h"
#include "output.h"

namespace kx::collector {

using Bytes = std::vector<uint8_t>;

// A query (or, with QR set, a response) for example.com A, ID 0x1234, RD set.
inline Bytes example_packet(bool response = false) {
  return {0x12, 0x34, static_cast<uint8_t>(response ? 0x81 : 0x01),
          0x00, 0x00, 0x01,
          0x00, 0x00, 0x00,
          0x00, 0x00, 0x00,
          0x07, 'e',  'x',
          'a',  'm',  'p',
          'l',  'e',  0x03,
          'c',  'o',  'm',
          0x00, 0x00, 0x01,
          0x00, 0x01};
}

inline void append_length(Bytes& stream, uint32_t length) {
  stream.resize(stream.size() + 4);
  kx::wire::store_be32(stream.data() + stream.size() - 4, length);
}

inline void append_record(Bytes& stream, const Bytes& body) {
  append_length(stream, static_cast<uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
}

// The agent's own hello record, or one carrying another version.
inline Bytes hello_record(const std::string& version = kx::wire::kAgentVersion) {
  Bytes stream;
  Bytes body{kx::wire::kHelloMessageType};
  body.insert(body.end(), version.begin(), version.end());
  append_record(stream, body);
  return stream;
}

inline Bytes message_body(uint32_t time, std::string_view device,
                          std::string_view server = "10.0.0.1", uint8_t tcp = 0,
                          const std::string& packet = "packet") {
  Bytes body(kx::wire::dns_message_size(device.size(), server.size(), packet.size()));
  kx::wire::write_dns_message(body.data(), time, device, server, tcp,
                              reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
  return body;
}

inline Bytes message_record(uint32_t time, std::string_view device) {
  Bytes record;
  append_record(record, message_body(time, device));
  return record;
}

// What an output is given for packet; the packet must outlive the message.
inline CollectedMessage collected(const Bytes& packet, std::string_view device = "10.0.0.5",
                                  std::string_view server = "10.0.0.1", uint8_t tcp = 0) {
  CollectedMessage message;
  message.received_seconds = 1700000001;
  message.received_micros = 42;
  message.agent = "127.0.0.1:40000";
  message.version = "3.7.3";
  message.dns = {1700000000, device, server, tcp, packet.data(), packet.size()};
  return message;
}

// The message of the exception that call raises, or "no error".
template <class Call>
std::string error_of(Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace kx::collector
