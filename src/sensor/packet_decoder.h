// Turns captured link-layer frames into DNS packet messages, the same messages the
// Windows event decoder frames: the client-facing traffic of a DNS server, device and
// server addresses as text (IPv4, or with ipv6-clients on also IPv6), the TCP flag and the
// DNS message bytes.
//
// Pure and portable: it knows no capture library. The capture session hands it each frame
// with its link type and time, and it calls the message handler once per DNS message
// found (a TCP segment may carry several).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "sensor/message_handler.h"

namespace kx::sensor {

// The link-layer framings the decoder reads. The capture session maps its own link-type
// numbers onto these.
enum class LinkType {
  ethernet,    // Ethernet II, optionally with one 802.1Q/802.1ad tag
  linux_sll,   // Linux cooked capture, version 1 (the "any" device)
  linux_sll2,  // Linux cooked capture, version 2
  loopback,    // BSD loopback: a 4-byte address family, in either byte order
  raw_ip,      // no link header: the frame begins with the IPv4 or IPv6 header
};

// An IPv4 or IPv6 address in network byte order; IPv4 uses the first 4 bytes.
struct IpAddress {
  uint8_t family = 0;  // 4 or 6
  uint8_t bytes[16] = {};
};

// Same family and the same bytes; an IPv4 address compares its first 4 bytes only.
inline bool same_address(const IpAddress& a, const IpAddress& b) {
  return a.family == b.family && memcmp(a.bytes, b.bytes, a.family == 4 ? 4 : 16) == 0;
}

// Tells whether an address belongs to this host. In live capture the DNS server's end of
// a packet must be local, so that this host's own queries to other servers are left out.
class LocalAddressCheck {
 public:
  virtual ~LocalAddressCheck() = default;
  virtual bool is_local(const IpAddress& address) = 0;
};

// Why frames yielded no message. Copies of one packet that the "any" device shows twice
// are not counted: they are not lost.
struct SkipCounts {
  uint64_t truncated = 0;     // a header or a length runs past the captured bytes
  uint64_t malformed = 0;     // header fields that contradict each other, empty DNS data
  uint64_t fragments = 0;     // IP fragments, which are not reassembled
  uint64_t split_tcp = 0;     // DNS messages spread over several TCP segments
  uint64_t ipv6_clients = 0;  // IPv6 packets while ipv6-clients is off
  uint64_t other = 0;         // not IP, not UDP/TCP, or not a DNS server's client traffic
};

class PacketDecoder {
 public:
  // Largest message: the fixed part, two address texts and a DNS message of 65535 bytes.
  static constexpr size_t kMaxMessageSize = 8 + 45 + 45 + 65535;

  // local_check may be null: then the DNS port alone decides (replay of a file).
  // ipv6_clients: IPv6 packets become messages (addresses as inet_ntop writes them, an
  // IPv4-mapped one as dotted IPv4) instead of being counted as skipped.
  // Allocates the one message buffer used for every message.
  explicit PacketDecoder(uint16_t dns_port, LocalAddressCheck* local_check = nullptr,
                         bool ipv6_clients = false);
  ~PacketDecoder();
  PacketDecoder(const PacketDecoder&) = delete;
  PacketDecoder& operator=(const PacketDecoder&) = delete;

  // Each message goes to handler with user, unless handler is null. A handler that raises
  // a std::exception costs that message only: one error line is logged and decoding
  // goes on.
  void set_message_handler(MessageHandler handler, void* user);

  // Decodes one captured frame (size captured bytes) taken at time_seconds. Allocates
  // nothing.
  void process_frame(LinkType link, uint32_t time_seconds, const uint8_t* frame, size_t size);

  const SkipCounts& skipped() const { return skipped_; }

  // "N truncated, N malformed, N fragments, N split TCP messages, N IPv6 clients,
  // N other packets".
  std::string skip_summary() const;

 private:
  struct Transport;
  struct PendingTcp;
  static constexpr size_t kPendingTcpSlots = 16;

  bool read_link(LinkType link, const uint8_t*& data, size_t& size);
  bool read_ipv4(const uint8_t* data, size_t size, Transport& out);
  bool read_ipv6(const uint8_t* data, size_t size, Transport& out);
  bool read_transport(uint8_t protocol, const uint8_t* data, size_t size, Transport& out);
  bool assign_roles(Transport& t);
  void deliver_udp(const Transport& t, uint32_t time_seconds);
  void deliver_tcp(const Transport& t, uint32_t time_seconds);
  void deliver(const Transport& t, uint32_t time_seconds, const uint8_t* dns, size_t size);
  PendingTcp* find_pending(const Transport& t);
  void remember_split(const Transport& t, uint32_t end_seq, bool length_incomplete,
                      uint8_t length_high);

  uint16_t dns_port_;
  LocalAddressCheck* local_check_;
  bool ipv6_clients_;
  MessageSink sink_;
  std::unique_ptr<uint8_t[]> message_;
  SkipCounts skipped_;
  std::unique_ptr<PendingTcp[]> pending_;
  size_t pending_next_ = 0;
  size_t pending_used_ = 0;
};

}  // namespace kx::sensor
