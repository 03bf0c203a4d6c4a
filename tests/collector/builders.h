// Collected messages for the collector's tests, over the test kit's stream builders.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "support/records.h"

namespace kx::collector {

using namespace kx::test;

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
