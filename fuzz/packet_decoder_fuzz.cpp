// Feeds arbitrary frames to the packet decoder. The input is a series of records, each
// a link-type byte, a two-byte big-endian frame length and the frame, all given to one
// decoder so that the state kept between TCP segments is exercised too. Every message
// the decoder frames must read back as a DNS packet message with IPv4 text addresses, or
// with ipv6-clients on also IPv6 text (never an IPv4-mapped one).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/ip_text.h"
#include "wire/wire_format.h"
#include "sensor/packet_decoder.h"

namespace {

// Half of the addresses count as this host's, so both outcomes of the check are taken.
class OddAddressesAreLocal : public kx::sensor::LocalAddressCheck {
 public:
  bool is_local(const kx::sensor::IpAddress& address) override {
    return (address.bytes[address.family == 4 ? 3 : 15] & 1) != 0;
  }
};

bool is_ipv4_text(std::string_view text) {
  if (text.size() < 7 || text.size() > 15) return false;
  for (char c : text) {
    if (c != '.' && (c < '0' || c > '9')) return false;
  }
  return true;
}

bool is_address_text(std::string_view text, bool ipv6_clients) {
  uint8_t address[16];
  return is_ipv4_text(text) || (ipv6_clients && kx::net::parse_ipv6(text, address) &&
                                !kx::net::is_ipv4_mapped(address));
}

// user: the decoder's ipv6-clients setting.
int32_t check_message(const uint8_t* data, uint32_t length, void* user) {
  bool ipv6_clients = *static_cast<bool*>(user);
  kx::wire::DnsMessageView view;
  if (kx::wire::parse_dns_message(data, length, &view) != kx::wire::ParseResult::ok) abort();
  if (!is_address_text(view.device, ipv6_clients) || !is_address_text(view.server, ipv6_clients)) {
    abort();
  }
  if (view.is_tcp > 1 || view.packet_size == 0) abort();
  if (length > kx::sensor::PacketDecoder::kMaxMessageSize) abort();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kx::sensor::LinkType kLinks[] = {
      kx::sensor::LinkType::ethernet, kx::sensor::LinkType::linux_sll,
      kx::sensor::LinkType::linux_sll2, kx::sensor::LinkType::loopback,
      kx::sensor::LinkType::raw_ip};
  if (size < 1) return 0;
  OddAddressesAreLocal local;
  // The first byte chooses between live capture (server end must be local) and replay,
  // and whether IPv6 clients are framed.
  bool ipv6_clients = (data[0] & 2) != 0;
  kx::sensor::PacketDecoder decoder(53, (data[0] & 1) ? &local : nullptr, ipv6_clients);
  decoder.set_message_handler(check_message, &ipv6_clients);
  size_t at = 1;
  while (size - at >= 3) {
    kx::sensor::LinkType link = kLinks[data[at] % 5];
    size_t length = (size_t{data[at + 1]} << 8) | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    // A copy of exactly the frame's size, so that a read past its end is caught.
    uint8_t* frame = static_cast<uint8_t*>(malloc(length == 0 ? 1 : length));
    for (size_t i = 0; i < length; ++i) frame[i] = data[at + i];
    decoder.process_frame(link, 1, frame, length);
    free(frame);
    at += length;
  }
  return 0;
}
