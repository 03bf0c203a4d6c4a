#include "sensor/packet_decoder.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "logging/log.h"
#include "net/ip_text.h"
#include "wire/wire_format.h"

namespace kx::sensor {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint16_t kEtherTypeQinQ = 0x88A8;
constexpr uint16_t kArphrdLoopback = 772;
constexpr uint16_t kPacketOutgoing = 4;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr size_t kIpv6HeaderSize = 40;

uint32_t load_le32(const uint8_t* in) {
  return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) |
         (uint32_t{in[3]} << 24);
}

// True when sequence number a comes before b, modulo 2^32.
bool seq_before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// An IPv4-mapped address is the IPv4 client it stands for: matched against this host's
// IPv4 addresses and written as dotted text.
void unmap_ipv4(IpAddress& address) {
  if (!net::is_ipv4_mapped(address.bytes)) return;
  address.family = 4;
  memmove(address.bytes, address.bytes + 12, 4);
}

size_t format_address(const IpAddress& address, char* out) {
  return address.family == 4 ? net::format_ipv4(address.bytes, out)
                             : net::format_ipv6(address.bytes, out);
}

// The IP version a link header announces, 0 for anything else.
int version_of_ethertype(uint16_t type) {
  if (type == kEtherTypeIpv4) return 4;
  if (type == kEtherTypeIpv6) return 6;
  return 0;
}

// BSD loopback families: AF_INET is 2 everywhere, AF_INET6 differs between systems.
// The header is in the byte order of the capturing host, so both orders are tried.
int version_of_loopback_family(uint32_t family) {
  if (family == 2) return 4;
  if (family == 10 || family == 24 || family == 28 || family == 30) return 6;
  return 0;
}

// Counts a frame that yields no message under its reason; false, for the reader to return.
bool skip(uint64_t& counter) {
  ++counter;
  return false;
}

// What a link header tells: its size and the IP version it announces, 0 for none or for
// a frame shorter than the header (its size then decides).
struct LinkHeader {
  size_t size = 0;
  int version = 0;
  bool duplicate = false;  // a copy that is not counted as skipped
};

LinkHeader read_ethernet(const uint8_t* data, size_t size) {
  LinkHeader header{14};
  if (size < header.size) return header;
  uint16_t type = wire::load_be16(data + 12);
  if (type == kEtherTypeVlan || type == kEtherTypeQinQ) {
    header.size = 18;
    if (size < header.size) return header;
    type = wire::load_be16(data + 16);
  }
  header.version = version_of_ethertype(type);
  return header;
}

// On the "any" device a loopback packet shows up once going out and once coming in.
LinkHeader read_linux_sll(const uint8_t* data, size_t size) {
  LinkHeader header{16};
  if (size < header.size) return header;
  header.duplicate = wire::load_be16(data) == kPacketOutgoing &&
                     wire::load_be16(data + 2) == kArphrdLoopback;
  header.version = version_of_ethertype(wire::load_be16(data + 14));
  return header;
}

LinkHeader read_linux_sll2(const uint8_t* data, size_t size) {
  LinkHeader header{20};
  if (size < header.size) return header;
  header.duplicate = data[10] == kPacketOutgoing && wire::load_be16(data + 8) == kArphrdLoopback;
  header.version = version_of_ethertype(wire::load_be16(data));
  return header;
}

LinkHeader read_loopback(const uint8_t* data, size_t size) {
  LinkHeader header{4};
  if (size < header.size) return header;
  header.version = version_of_loopback_family(load_le32(data));
  if (header.version == 0) header.version = version_of_loopback_family(wire::load_be32(data));
  return header;
}

LinkHeader read_raw_ip(const uint8_t* data, size_t size) {
  LinkHeader header{0};
  if (size > 0 && (data[0] >> 4 == 4 || data[0] >> 4 == 6)) header.version = data[0] >> 4;
  return header;
}

LinkHeader read_link_header(LinkType link, const uint8_t* data, size_t size) {
  switch (link) {
    case LinkType::ethernet: return read_ethernet(data, size);
    case LinkType::linux_sll: return read_linux_sll(data, size);
    case LinkType::linux_sll2: return read_linux_sll2(data, size);
    case LinkType::loopback: return read_loopback(data, size);
    case LinkType::raw_ip: break;
  }
  return read_raw_ip(data, size);
}

}  // namespace

struct PacketDecoder::Transport {
  IpAddress source;
  IpAddress destination;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  bool is_tcp = false;
  bool ipv6 = false;  // the packet's IP header is IPv6, whatever its addresses
  uint32_t sequence = 0;
  const uint8_t* payload = nullptr;
  size_t payload_size = 0;
  const IpAddress* device = nullptr;
  const IpAddress* server = nullptr;
};

// A TCP flow whose last segment ended inside a DNS message: the bytes up to end_sequence
// belong to that message and are passed over. When only the first byte of the length
// arrived, end_sequence is where the second byte is expected.
struct PacketDecoder::PendingTcp {
  bool used = false;
  IpAddress source;
  IpAddress destination;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  uint32_t end_sequence = 0;
  bool length_incomplete = false;
  uint8_t length_high = 0;
};

PacketDecoder::PacketDecoder(uint16_t dns_port, LocalAddressCheck* local_check,
                             bool ipv6_clients)
    : dns_port_(dns_port), local_check_(local_check), ipv6_clients_(ipv6_clients) {
  message_.reset(new uint8_t[kMaxMessageSize]);
  pending_.reset(new PendingTcp[kPendingTcpSlots]);
}

PacketDecoder::~PacketDecoder() = default;

void PacketDecoder::set_message_handler(MessageHandler handler, void* user) {
  sink_ = {handler, user};
}

void PacketDecoder::process_frame(LinkType link, uint32_t time_seconds, const uint8_t* frame,
                                  size_t size) {
  const uint8_t* data = frame;
  if (!read_link(link, data, size)) return;
  Transport t;
  bool ok = (data[0] >> 4) == 4 ? read_ipv4(data, size, t) : read_ipv6(data, size, t);
  if (!ok || !assign_roles(t)) return;
  if (t.ipv6 && !ipv6_clients_) {
    ++skipped_.ipv6_clients;
    return;
  }
  if (t.is_tcp) {
    deliver_tcp(t, time_seconds);
  } else {
    deliver_udp(t, time_seconds);
  }
}

// Leaves data at the IP header and checks that its version is the announced one.
bool PacketDecoder::read_link(LinkType link, const uint8_t*& data, size_t& size) {
  LinkHeader header = read_link_header(link, data, size);
  if (header.duplicate) return false;
  if (size <= header.size) return skip(skipped_.truncated);
  if (header.version == 0) return skip(skipped_.other);
  data += header.size;
  size -= header.size;
  if ((data[0] >> 4) != header.version) return skip(skipped_.malformed);
  return true;
}

bool PacketDecoder::read_ipv4(const uint8_t* data, size_t size, Transport& out) {
  if (size < 20) return skip(skipped_.truncated);
  size_t header = (size_t{data[0]} & 0x0F) * 4;
  size_t total = wire::load_be16(data + 2);
  if (header < 20 || total < header) return skip(skipped_.malformed);
  // The total length also cuts off the padding of short Ethernet frames.
  if (total > size) return skip(skipped_.truncated);
  // More fragments, or an offset.
  if ((wire::load_be16(data + 6) & 0x3FFF) != 0) return skip(skipped_.fragments);
  out.source.family = 4;
  out.destination.family = 4;
  memcpy(out.source.bytes, data + 12, 4);
  memcpy(out.destination.bytes, data + 16, 4);
  return read_transport(data[9], data + header, total - header, out);
}

bool PacketDecoder::read_ipv6(const uint8_t* data, size_t size, Transport& out) {
  if (size < kIpv6HeaderSize) return skip(skipped_.truncated);
  size_t payload = wire::load_be16(data + 4);
  if (payload == 0) return skip(skipped_.malformed);  // a jumbogram, which DNS never uses
  if (kIpv6HeaderSize + payload > size) return skip(skipped_.truncated);
  out.source.family = 6;
  out.destination.family = 6;
  memcpy(out.source.bytes, data + 8, 16);
  memcpy(out.destination.bytes, data + 24, 16);
  out.ipv6 = true;
  unmap_ipv4(out.source);
  unmap_ipv4(out.destination);
  uint8_t next = data[6];
  const uint8_t* at = data + kIpv6HeaderSize;
  size_t left = payload;
  for (;;) {
    size_t length = 0;
    if (next == 0 || next == 43 || next == 60) {  // hop-by-hop, routing, destination
      if (left < 8) break;
      length = (size_t{at[1]} + 1) * 8;
    } else if (next == 51) {  // authentication header
      if (left < 8) break;
      length = (size_t{at[1]} + 2) * 4;
    } else if (next == 44) {
      return skip(skipped_.fragments);
    } else {
      return read_transport(next, at, left, out);
    }
    if (length > left) break;
    next = at[0];
    at += length;
    left -= length;
  }
  return skip(skipped_.truncated);
}

bool PacketDecoder::read_transport(uint8_t protocol, const uint8_t* data, size_t size,
                                   Transport& out) {
  if (protocol == kProtocolUdp) {
    if (size < 8) return skip(skipped_.truncated);
    size_t length = wire::load_be16(data + 4);
    if (length < 8) return skip(skipped_.malformed);
    if (length > size) return skip(skipped_.truncated);
    out.payload = data + 8;
    out.payload_size = length - 8;
  } else if (protocol == kProtocolTcp) {
    if (size < 20) return skip(skipped_.truncated);
    size_t header = (size_t{data[12]} >> 4) * 4;
    if (header < 20) return skip(skipped_.malformed);
    if (header > size) return skip(skipped_.truncated);
    out.is_tcp = true;
    out.sequence = wire::load_be32(data + 4);
    out.payload = data + header;
    out.payload_size = size - header;
  } else {
    return skip(skipped_.other);
  }
  out.source_port = wire::load_be16(data);
  out.destination_port = wire::load_be16(data + 2);
  return true;
}

// A packet to the DNS port is a query the server received, one from it a response the
// server sent; the DNS port's end is the server and must be local in live capture.
bool PacketDecoder::assign_roles(Transport& t) {
  if (t.destination_port == dns_port_ &&
      (local_check_ == nullptr || local_check_->is_local(t.destination))) {
    t.device = &t.source;
    t.server = &t.destination;
    return true;
  }
  if (t.source_port == dns_port_ &&
      (local_check_ == nullptr || local_check_->is_local(t.source))) {
    t.device = &t.destination;
    t.server = &t.source;
    return true;
  }
  return skip(skipped_.other);
}

void PacketDecoder::deliver_udp(const Transport& t, uint32_t time_seconds) {
  if (t.payload_size == 0) {
    ++skipped_.malformed;
    return;
  }
  deliver(t, time_seconds, t.payload, t.payload_size);
}

// DNS over TCP: each message follows its two-byte length, one or several per segment.
// A message that runs past the segment is counted once, and the rest of it, in the
// flow's later segments, is passed over rather than read as new messages.
void PacketDecoder::deliver_tcp(const Transport& t, uint32_t time_seconds) {
  const uint8_t* at = t.payload;
  size_t left = t.payload_size;
  uint32_t sequence = t.sequence;
  if (left == 0) return;
  PendingTcp* pending = pending_used_ > 0 ? find_pending(t) : nullptr;
  if (pending != nullptr) {
    if (pending->length_incomplete && sequence == pending->end_sequence) {
      size_t length = (size_t{pending->length_high} << 8) | at[0];
      pending->end_sequence = sequence + 1 + static_cast<uint32_t>(length);
      pending->length_incomplete = false;
    }
    if (!pending->length_incomplete && seq_before(sequence, pending->end_sequence)) {
      size_t ahead = pending->end_sequence - sequence;
      if (ahead >= left) return;
      at += ahead;
      left -= ahead;
      sequence += static_cast<uint32_t>(ahead);
    }
    pending->used = false;
    --pending_used_;
  }
  while (left > 0) {
    if (left < 2) {
      ++skipped_.split_tcp;
      remember_split(t, sequence + 1, true, at[0]);
      return;
    }
    size_t length = wire::load_be16(at);
    if (left - 2 < length) {
      ++skipped_.split_tcp;
      remember_split(t, sequence + 2 + static_cast<uint32_t>(length), false, 0);
      return;
    }
    if (length == 0) {
      ++skipped_.malformed;
    } else {
      deliver(t, time_seconds, at + 2, length);
    }
    at += 2 + length;
    left -= 2 + length;
    sequence += static_cast<uint32_t>(2 + length);
  }
}

void PacketDecoder::deliver(const Transport& t, uint32_t time_seconds, const uint8_t* dns,
                            size_t size) {
  char device[net::kMaxIpTextLength];
  char server[net::kMaxIpTextLength];
  std::string_view device_text(device, format_address(*t.device, device));
  std::string_view server_text(server, format_address(*t.server, server));
  size_t length = wire::write_dns_message(message_.get(), time_seconds, device_text, server_text,
                                          t.is_tcp ? 1 : 0, dns, size);
  try {
    send_message(sink_, message_.get(), static_cast<uint32_t>(length));
  } catch (const std::exception& e) {
    logging::log_message("ERROR - Process packet failed: %s", e.what());
  } catch (...) {
    // Nothing may unwind into the capture library's C code.
    logging::log_message("ERROR - Process packet failed: %s", "unknown exception");
  }
}

PacketDecoder::PendingTcp* PacketDecoder::find_pending(const Transport& t) {
  for (size_t i = 0; i < kPendingTcpSlots; ++i) {
    PendingTcp& p = pending_[i];
    if (p.used && p.source_port == t.source_port && p.destination_port == t.destination_port &&
        same_address(p.source, t.source) && same_address(p.destination, t.destination)) {
      return &p;
    }
  }
  return nullptr;
}

// The table is small and reused round-robin: a flow that never sends the rest of its
// message gives way to newer ones.
void PacketDecoder::remember_split(const Transport& t, uint32_t end_sequence,
                                   bool length_incomplete, uint8_t length_high) {
  PendingTcp* slot = nullptr;
  for (size_t i = 0; i < kPendingTcpSlots && slot == nullptr; ++i) {
    if (!pending_[i].used) slot = &pending_[i];
  }
  if (slot == nullptr) {
    slot = &pending_[pending_next_];
    pending_next_ = (pending_next_ + 1) % kPendingTcpSlots;
  } else {
    ++pending_used_;
  }
  slot->used = true;
  slot->source = t.source;
  slot->destination = t.destination;
  slot->source_port = t.source_port;
  slot->destination_port = t.destination_port;
  slot->end_sequence = end_sequence;
  slot->length_incomplete = length_incomplete;
  slot->length_high = length_high;
}

std::string PacketDecoder::skip_summary() const {
  char text[256];
  snprintf(text, sizeof text,
           "%llu truncated, %llu malformed, %llu fragments, %llu split TCP messages, "
           "%llu IPv6 clients, %llu other packets",
           static_cast<unsigned long long>(skipped_.truncated),
           static_cast<unsigned long long>(skipped_.malformed),
           static_cast<unsigned long long>(skipped_.fragments),
           static_cast<unsigned long long>(skipped_.split_tcp),
           static_cast<unsigned long long>(skipped_.ipv6_clients),
           static_cast<unsigned long long>(skipped_.other));
  return text;
}

}  // namespace kx::sensor
