// The agent's stream built through the wire format itself.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/wire_format.h"

namespace kx::test {

using Bytes = std::vector<uint8_t>;

// A query (or, with QR set, a response) for example.com A, ID 0x1234, RD set.
inline Bytes example_packet(bool response = false) {
  return {0x12, 0x34, static_cast<uint8_t>(response ? 0x81 : 0x01), 0x00, 0x00, 0x01, 0, 0, 0, 0,
          0,    0,    7,    'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
}

inline Bytes message_body(uint32_t time, std::string_view device,
                          std::string_view server = "10.0.0.1", uint8_t tcp = 0,
                          std::string_view packet = "packet") {
  Bytes body(wire::dns_message_size(device.size(), server.size(), packet.size()));
  wire::write_dns_message(body.data(), time, device, server, tcp,
                          reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
  return body;
}

// A query message from 10.0.0.5 to 10.0.0.1 of exactly size bytes: ID id, RD set, for a
// name of labels of at most label_size letters.
inline Bytes message_of_size(size_t size, uint16_t id = 0x1234, size_t label_size = 63) {
  Bytes packet = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (size_t left = size - wire::dns_message_size(8, 8, 0) - packet.size() - 5; left > 0;) {
    const size_t label = std::min(label_size, left - 1);
    packet.push_back(static_cast<uint8_t>(label));
    packet.insert(packet.end(), label, 'q');
    left -= label + 1;
  }
  packet.insert(packet.end(), {0, 0, 1, 0, 1});
  return message_body(1700000000, "10.0.0.5", "10.0.0.1", 0,
                      std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()));
}

inline void append_length(Bytes& stream, uint32_t length) {
  stream.resize(stream.size() + 4);
  wire::store_be32(stream.data() + stream.size() - 4, length);
}

inline void append_record(Bytes& stream, const Bytes& body) {
  wire::append_record(stream, body.data(), body.size());
}

inline Bytes record(const Bytes& body) {
  Bytes stream;
  append_record(stream, body);
  return stream;
}

inline Bytes hello_record(const std::string& version = wire::kAgentVersion) {
  Bytes body{wire::kHelloMessageType};
  body.insert(body.end(), version.begin(), version.end());
  return record(body);
}

inline Bytes message_record(uint32_t time, std::string_view device) {
  return record(message_body(time, device));
}

inline std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace kx::test
