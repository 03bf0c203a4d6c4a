#include "dns_decoder.h"

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <string>
#include <vector>

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes query_for(const Bytes& wire_name) {
  const uint8_t header[] = {0xab, 0xcd, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  const uint8_t type_and_class[] = {0x00, 0x1c, 0x00, 0x01};
  Bytes packet(std::begin(header), std::end(header));
  for (uint8_t byte : wire_name) packet.push_back(byte);
  for (uint8_t byte : type_and_class) packet.push_back(byte);
  return packet;
}

// ldns's own text for a name, the reference for the collector's.
std::string ldns_text(const Bytes& wire_name) {
  ldns_rdf* name = ldns_rdf_new_frm_data(LDNS_RDF_TYPE_DNAME, wire_name.size(), wire_name.data());
  char* text = ldns_rdf2str(name);
  std::string result = text;
  free(text);
  ldns_rdf_deep_free(name);
  return result;
}

TEST(DnsDecoderTest, NamesReadTheSameAsLdnsWritesThem) {
  const Bytes names[] = {
      {0},
      {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0},
      {4, '_', 's', 'i', 'p', 4, '_', 'u', 'd', 'p', 2, 'X', '-', 0},
      {3, 'a', '.', 'b', 0},
      {2, '"', ';', 1, '\\', 0},
      {3, 0x00, 0x7f, 0xe9, 0},
      {4, 'w', 'w', ' ', 'w', 1, '(', 1, ')', 0},
      {63, 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a',
       'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a',
       'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a',
       'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 0},
  };
  DnsDecoder decoder;
  for (const Bytes& name : names) {
    Bytes packet = query_for(name);
    const DnsSummary& summary = decoder.decode(packet.data(), packet.size());
    ASSERT_TRUE(summary.has_question);
    EXPECT_EQ(summary.qname, ldns_text(name));
    EXPECT_EQ(summary.qtype, "AAAA");
    EXPECT_EQ(summary.qclass, "IN");
    EXPECT_TRUE(summary.error.empty()) << summary.error;
  }
}

TEST(DnsDecoderTest, PlainNameTextRefusesWhatNeedsEscaping) {
  const struct {
    Bytes wire;
    bool plain;
    std::string text;
  } cases[] = {
      {{0}, true, "."},
      {{1, 'a', 2, 'b', '-', 0}, true, "a.b-."},
      {{1, '.', 0}, false, ""},
      {{1, 0xc3, 0}, false, ""},
      {{5, 'a', 0}, false, ""},  // label runs past the end
  };
  for (const auto& c : cases) {
    std::vector<char> out(c.wire.size() + 1);
    size_t length = 0;
    ASSERT_EQ(plain_name_text(c.wire.data(), c.wire.size(), out.data(), &length), c.plain);
    if (c.plain) {
      EXPECT_EQ(std::string(out.data(), length), c.text);
    }
  }
}

TEST(DnsDecoderTest, ViewsOfOneDecodeDoNotLeakIntoTheNext) {
  DnsDecoder decoder;
  Bytes long_name = query_for({10, 'l', 'o', 'n', 'g', 'l', 'a', 'b', 'e', 'l', 's', 0});
  Bytes root = query_for({0});
  EXPECT_EQ(decoder.decode(long_name.data(), long_name.size()).qname, "longlabels.");
  EXPECT_EQ(decoder.decode(root.data(), root.size()).qname, ".");
  Bytes header_only(root.begin(), root.begin() + 12);
  header_only[5] = 0;  // no question
  const DnsSummary& summary = decoder.decode(header_only.data(), header_only.size());
  EXPECT_FALSE(summary.has_question);
  EXPECT_TRUE(summary.qname.empty());
  EXPECT_EQ(summary.id, 0xabcd);
}

}  // namespace
}  // namespace kx::collector
