// The header and first question of a DNS packet, decoded with ldns, for the JSON
// lines. A packet that ldns refuses still gives what could be read, and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

struct ldns_struct_buffer;

namespace kx::collector {

struct DnsSummary {
  bool has_header = false;  // the 12 header bytes were there
  uint16_t id = 0;
  bool qr = false, aa = false, tc = false, rd = false, ra = false, ad = false, cd = false;
  std::string_view opcode;  // mnemonic, e.g. "QUERY"
  std::string_view rcode;   // mnemonic of the header's 4-bit code, e.g. "NXDOMAIN"
  uint16_t qdcount = 0, ancount = 0, nscount = 0, arcount = 0;
  bool has_question = false;
  std::string_view qname;   // presentation form: unusual bytes come as \DDD
  std::string_view qtype;   // e.g. "AAAA", or "TYPE65280"
  std::string_view qclass;  // e.g. "IN"
  std::string_view error;   // empty when ldns parsed the whole packet
};

// Keeps its text buffers between packets, so decoding allocates only inside ldns.
// The views of a summary are valid until the next decode.
class DnsDecoder {
 public:
  DnsDecoder();
  ~DnsDecoder();
  DnsDecoder(const DnsDecoder&) = delete;
  DnsDecoder& operator=(const DnsDecoder&) = delete;

  const DnsSummary& decode(const uint8_t* packet, size_t size);

 private:
  void read_header(const uint8_t* packet);
  void read_question_from_wire(const uint8_t* packet, size_t size);
  void set_question(const void* owner, uint16_t type, uint16_t klass);
  void set_qname(const void* owner);
  void set_qtype(uint16_t type);
  void set_qclass(uint16_t klass);

  struct BufferFree {
    void operator()(ldns_struct_buffer* buffer) const;
  };
  using Buffer = std::unique_ptr<ldns_struct_buffer, BufferFree>;

  DnsSummary summary_;
  Buffer qname_text_;
  Buffer qtype_text_;
  Buffer qclass_text_;
  char opcode_text_[16] = {};
  char rcode_text_[16] = {};
  // Consecutive packets mostly ask for the same type and class.
  int32_t qtype_cached_ = -1;
  int32_t qclass_cached_ = -1;
};

// The presentation form of a name in wire form (a sequence of labels, as ldns holds
// it) when every label byte is a letter, digit, '-' or '_': those need no escaping, so
// the text is the labels joined by dots. Returns false for any other name, which is
// left to ldns. out must hold size + 1 bytes.
bool plain_name_text(const uint8_t* wire, size_t size, char* out, size_t* length);

}  // namespace kx::collector
