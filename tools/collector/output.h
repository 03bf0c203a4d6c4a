// What every output of the collector receives, and the interface they share.
#pragma once

#include <cstdint>
#include <string_view>

#include "wire/wire_format.h"

namespace kx::collector {

// One DNS packet message with what the collector knows about its arrival. The views
// are valid only during Output::write.
struct CollectedMessage {
  int64_t received_seconds = 0;  // UTC, when the read that completed it returned
  uint32_t received_micros = 0;
  std::string_view agent;    // the agent connection's peer, "ADDR:PORT"
  std::string_view version;  // the version text of the connection's hello
  kx::wire::DnsMessageView dns;
};

class Output {
 public:
  virtual ~Output() = default;
  // Takes one message; may buffer. Raises CollectorError when the output fails.
  virtual void write(const CollectedMessage& message) = 0;
  // Pushes what is buffered to the file or socket. Raises CollectorError on failure.
  virtual void flush() = 0;
  // Closes and reopens a file output by its path (SIGHUP, after a rotation), losing
  // nothing it holds. Raises CollectorError when the new file cannot be opened; the
  // output then keeps writing the old one.
  virtual void reopen() {}
  // False while the output cannot take more messages: the server then stops reading
  // from agents, whose rings hold the surplus, until it is true again.
  virtual bool accepting() const { return true; }
  // A descriptor that becomes readable when the output has work for the loop (delivery
  // reports, room again), or -1. The server then calls serve_events().
  virtual int event_descriptor() const { return -1; }
  // Does that work without blocking. Raises CollectorError when the output fails.
  virtual void serve_events() {}

  // What the metrics report for this output; safe from any thread. kind() names the
  // output in the "output" label; dropped() counts messages taken and never delivered,
  // errors() the failures of the file or receiver behind it.
  virtual const char* kind() const = 0;
  virtual uint64_t dropped() const { return 0; }
  virtual uint64_t errors() const { return 0; }
};

// The QR bit of a DNS packet: set in responses. A packet too short to hold it is taken
// as a query.
inline bool is_dns_response(const uint8_t* packet, size_t size) {
  return size > 2 && (packet[2] & 0x80) != 0;
}

}  // namespace kx::collector
