#include "dns_decoder.h"

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <string>
#include <vector>

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

// A name in wire form: its length-prefixed labels, then the root's zero byte.
Bytes wire_name(const std::string& labels) {
  Bytes name(labels.begin(), labels.end());
  name.push_back(0);
  return name;
}

// A query for the name, type AAAA, class IN.
Bytes query_for(const Bytes& name) {
  Bytes packet = {0xab, 0xcd, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  for (uint8_t byte : name) packet.push_back(byte);
  for (uint8_t byte : {0x00, 0x1c, 0x00, 0x01}) packet.push_back(byte);
  return packet;
}

// ldns's own text for a name, the reference for the collector's.
std::string ldns_text(const Bytes& name) {
  ldns_rdf* rdf = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_DNAME, name.size(), name.data());
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
    Bytes packet = query_for(wire_name(labels));
    const DnsSummary& summary = decoder.decode(packet.data(), packet.size());
    ASSERT_TRUE(summary.has_question);
    EXPECT_EQ(summary.qname, ldns_text(wire_name(labels)));
    EXPECT_EQ(summary.qtype, "AAAA");
    EXPECT_EQ(summary.qclass, "IN");
    EXPECT_TRUE(summary.error.empty()) << summary.error;
  }
  Bytes header_only = query_for(wire_name(""));
  header_only.resize(12);
  header_only[5] = 0;  // no question
  const DnsSummary& summary = decoder.decode(header_only.data(), header_only.size());
  EXPECT_FALSE(summary.has_question);
  EXPECT_TRUE(summary.qname.empty());
  EXPECT_EQ(summary.id, 0xabcd);
}

TEST(DnsDecoderTest, PlainNameTextRefusesWhatNeedsEscaping) {
  const struct {
    std::string labels;
    const char* text;
  } cases[] = {
      {"", "."},          {"\1a\2b-", "a.b-."}, {"\1.", "refused"}, {"\1\303", "refused"},
      {"\5a", "refused"},  // the label runs past the end
  };
  for (const auto& c : cases) {
    Bytes wire = wire_name(c.labels);
    std::vector<char> out(wire.size() + 1);
    size_t length = 0;
    bool plain = plain_name_text(wire.data(), wire.size(), out.data(), &length);
    EXPECT_EQ(plain ? std::string(out.data(), length) : "refused", c.text);
  }
}

}  // namespace
}  // namespace kx::collector
