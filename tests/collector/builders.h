// Collected messages and raised errors for the collector's tests.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "output.h"
#include "support/records.h"

namespace kx::collector {

using namespace kx::test;

// What an output is given for packet; the packet must outlive the message.
inline CollectedMessage collected(const Bytes& packet, std::string_view device = "10.0.0.5",
                                  std::string_view server = "10.0.0.1", uint8_t tcp = 0) {
  return {1700000001, 42, "127.0.0.1:40000", "3.7.3",
          {1700000000, device, server, tcp, packet.data(), packet.size()}};
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
