#include "dns_decoder.h"

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <string>
#include <string_view>
#include <vector>

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

// A query for the name of these length-prefixed labels, type AAAA, class IN.
Bytes query_for(const std::string& labels) {
  std::string packet = std::string("\xab\xcd\x01\x00\x00\x01\0\0\0\0\0\0", 12) + labels +
                       std::string("\0\x00\x1c\x00\x01", 5);
  return Bytes(packet.begin(), packet.end());
}

// ldns's own text for that name, the reference for the collector's. The string's
// terminating zero is the root label.
std::string ldns_text(const std::string& labels) {
  ldns_rdf* rdf = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_DNAME, labels.size() + 1, labels.c_str());
  char* text = ldns_rdf2str(rdf);
  std::string result = text;
  free(text);
  ldns_rdf_deep_free(rdf);
  return result;
}

TEST(DnsDecoderTest, NamesReadTheSameAsLdnsWritesThemAndNothingOfOneDecodeLeaksIntoTheNext) {
  // One decoder for all: a shorter name after a longer one shows text left behind.
  const std::string names[] = {"\77" + std::string(63, 'a'), "", "\7example\3com",
                               "\4_sip\4_udp\2X-", "\3a.b", "\2\";\1\\",
                               std::string("\3\0\177\351", 4), "\4ww w\1(\1)"};
  DnsDecoder decoder;
  for (const std::string& labels : names) {
    Bytes packet = query_for(labels);
    const DnsSummary& s = decoder.decode(packet.data(), packet.size());
    ASSERT_TRUE(s.has_question);
    std::string name = ldns_text(labels);
    EXPECT_EQ((std::vector<std::string_view>{s.qname, s.qtype, s.qclass, s.error}),
              (std::vector<std::string_view>{name, "AAAA", "IN", ""}));
  }
  Bytes header_only = query_for("");
  header_only.resize(12);
  header_only[5] = 0;  // no question
  const DnsSummary& summary = decoder.decode(header_only.data(), header_only.size());
  EXPECT_FALSE(summary.has_question);
  EXPECT_TRUE(summary.qname.empty());
  EXPECT_EQ(summary.id, 0xabcd);
}

// Every other case of the plain form is the test above's; a packet's names are whole, so
// only a direct call shows a label that runs past the end.
TEST(DnsDecoderTest, PlainNameTextRefusesALabelPastTheEnd) {
  const uint8_t wire[] = {5, 'a', 0};
  char out[sizeof wire + 1];
  size_t length = 0;
  EXPECT_FALSE(plain_name_text(wire, sizeof wire, out, &length));
}

}  // namespace
}  // namespace kx::collector
