#include "dns_decoder.h"

#include <ldns/ldns.h>

#include <cstdio>
#include <new>

namespace kx::collector {
namespace {

std::string_view buffer_text(ldns_buffer* buffer) {
  return std::string_view(reinterpret_cast<const char*>(ldns_buffer_begin(buffer)),
                          ldns_buffer_position(buffer));
}

// The mnemonic ldns knows for a code, or prefix and number for one it does not.
std::string_view code_name(ldns_lookup_table* table, int code, const char* prefix,
                           char (&fallback)[16]) {
  ldns_lookup_table* entry = ldns_lookup_by_id(table, code);
  if (entry != nullptr && entry->name != nullptr) return entry->name;
  int n = snprintf(fallback, sizeof fallback, "%s%d", prefix, code);
  return std::string_view(fallback, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

void DnsDecoder::BufferFree::operator()(ldns_buffer* buffer) const { ldns_buffer_free(buffer); }

DnsDecoder::DnsDecoder()
    : qname_text_(ldns_buffer_new(256)),
      qtype_text_(ldns_buffer_new(32)),
      qclass_text_(ldns_buffer_new(32)) {
  if (!qname_text_ || !qtype_text_ || !qclass_text_) throw std::bad_alloc();
}

DnsDecoder::~DnsDecoder() = default;

void DnsDecoder::read_header(const uint8_t* packet) {
  summary_.has_header = true;
  summary_.id = LDNS_ID_WIRE(packet);
  summary_.qr = LDNS_QR_WIRE(packet) != 0;
  summary_.aa = LDNS_AA_WIRE(packet) != 0;
  summary_.tc = LDNS_TC_WIRE(packet) != 0;
  summary_.rd = LDNS_RD_WIRE(packet) != 0;
  summary_.ra = LDNS_RA_WIRE(packet) != 0;
  summary_.ad = LDNS_AD_WIRE(packet) != 0;
  summary_.cd = LDNS_CD_WIRE(packet) != 0;
  summary_.opcode = code_name(ldns_opcodes, LDNS_OPCODE_WIRE(packet), "OPCODE", opcode_text_);
  summary_.rcode = code_name(ldns_rcodes, LDNS_RCODE_WIRE(packet), "RCODE", rcode_text_);
  summary_.qdcount = LDNS_QDCOUNT(packet);
  summary_.ancount = LDNS_ANCOUNT(packet);
  summary_.nscount = LDNS_NSCOUNT(packet);
  summary_.arcount = LDNS_ARCOUNT(packet);
}

bool plain_name_text(const uint8_t* wire, size_t size, char* out, size_t* length) {
  size_t at = 0, written = 0;
  while (at < size) {
    size_t label = wire[at++];
    if (label == 0) break;
    if (label > size - at) return false;
    for (size_t i = 0; i < label; ++i) {
      uint8_t c = wire[at + i];
      bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_';
      if (!plain) return false;
      out[written++] = static_cast<char>(c);
    }
    out[written++] = '.';
    at += label;
  }
  if (written == 0) out[written++] = '.';
  *length = written;
  return true;
}

// ldns writes a name one character at a time through its printf; plain names, by far
// the most common, are written directly instead, to the same text.
void DnsDecoder::set_qname(const void* owner) {
  const auto* name = static_cast<const ldns_rdf*>(owner);
  ldns_buffer* text = qname_text_.get();
  ldns_buffer_clear(text);
  size_t size = ldns_rdf_size(name);
  if (ldns_buffer_reserve(text, size + 1)) {
    size_t length = 0;
    if (plain_name_text(ldns_rdf_data(name), size,
                        reinterpret_cast<char*>(ldns_buffer_begin(text)), &length)) {
      ldns_buffer_set_position(text, length);
      return;
    }
  }
  if (ldns_rdf2buffer_str_dname(text, name) != LDNS_STATUS_OK) ldns_buffer_clear(text);
}

void DnsDecoder::set_qtype(uint16_t type) {
  if (qtype_cached_ == type) return;
  ldns_buffer_clear(qtype_text_.get());
  qtype_cached_ = ldns_rr_type2buffer_str(qtype_text_.get(), static_cast<ldns_rr_type>(type)) ==
                          LDNS_STATUS_OK
                      ? type
                      : -1;
}

void DnsDecoder::set_qclass(uint16_t klass) {
  if (qclass_cached_ == klass) return;
  ldns_buffer_clear(qclass_text_.get());
  qclass_cached_ = ldns_rr_class2buffer_str(qclass_text_.get(),
                                            static_cast<ldns_rr_class>(klass)) == LDNS_STATUS_OK
                       ? klass
                       : -1;
}

void DnsDecoder::set_question(const void* owner, uint16_t type, uint16_t klass) {
  set_qname(owner);
  set_qtype(type);
  set_qclass(klass);
  if (ldns_buffer_position(qname_text_.get()) == 0 || qtype_cached_ < 0 || qclass_cached_ < 0) {
    return;
  }
  summary_.has_question = true;
  summary_.qname = buffer_text(qname_text_.get());
  summary_.qtype = buffer_text(qtype_text_.get());
  summary_.qclass = buffer_text(qclass_text_.get());
}

// For a packet ldns refused as a whole: the first question may still be readable.
void DnsDecoder::read_question_from_wire(const uint8_t* packet, size_t size) {
  if (summary_.qdcount == 0) return;
  size_t pos = LDNS_HEADER_SIZE;
  ldns_rdf* owner = nullptr;
  if (ldns_wire2dname(&owner, packet, size, &pos) != LDNS_STATUS_OK) return;
  if (size - pos >= 4) {
    set_question(owner, ldns_read_uint16(packet + pos), ldns_read_uint16(packet + pos + 2));
  }
  ldns_rdf_deep_free(owner);
}

const DnsSummary& DnsDecoder::decode(const uint8_t* packet, size_t size) {
  summary_ = DnsSummary();
  if (size >= LDNS_HEADER_SIZE) read_header(packet);
  ldns_pkt* parsed = nullptr;
  ldns_status status = ldns_wire2pkt(&parsed, packet, size);
  if (status != LDNS_STATUS_OK) {
    const char* reason = ldns_get_errorstr_by_id(status);
    summary_.error = reason != nullptr && *reason != '\0' ? reason : "unknown ldns error";
    if (summary_.has_header) read_question_from_wire(packet, size);
    return summary_;
  }
  ldns_rr_list* questions = ldns_pkt_question(parsed);
  if (questions != nullptr && ldns_rr_list_rr_count(questions) > 0) {
    ldns_rr* question = ldns_rr_list_rr(questions, 0);
    set_question(ldns_rr_owner(question), ldns_rr_get_type(question),
                 ldns_rr_get_class(question));
  }
  ldns_pkt_free(parsed);
  return summary_;
}

}  // namespace kx::collector
