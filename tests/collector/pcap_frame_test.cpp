#include "pcap_frame.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>
#include <vector>

#include "pcap_output.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

// id 0x1234 (client port 49152 + 0x1234), query or response for example.com A.
Bytes dns_packet(bool response) {
  return {0x12, 0x34, static_cast<uint8_t>(response ? 0x81 : 0x01), 0x00, 0x00, 0x01, 0x00,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0x03, 'c', 'o',
          'm', 0x00, 0x00, 0x01, 0x00, 0x01};
}

kx::wire::DnsMessageView view(const Bytes& packet, std::string_view device,
                              std::string_view server, uint8_t tcp) {
  kx::wire::DnsMessageView message;
  message.time_seconds = 1700000000;
  message.device = device;
  message.server = server;
  message.is_tcp = tcp;
  message.packet = packet.data();
  message.packet_size = packet.size();
  return message;
}

uint16_t get16(const Bytes& frame, size_t at) {
  return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

std::string ipv4_at(const Bytes& frame, size_t at) {
  return std::to_string(frame[at]) + "." + std::to_string(frame[at + 1]) + "." +
         std::to_string(frame[at + 2]) + "." + std::to_string(frame[at + 3]);
}

// The transport checksum checks out when the sum over pseudo header and segment is
// all ones.
bool transport_checksum_ok(const Bytes& frame, size_t ip_header, size_t address_size,
                           size_t address_at, uint8_t protocol) {
  size_t length = frame.size() - ip_header;
  Bytes pseudo(frame.begin() + address_at, frame.begin() + address_at + 2 * address_size);
  pseudo.push_back(0);
  pseudo.push_back(protocol);
  pseudo.push_back(static_cast<uint8_t>(length >> 8));
  pseudo.push_back(static_cast<uint8_t>(length));
  Bytes all = pseudo;
  all.insert(all.end(), frame.begin() + ip_header, frame.end());
  if (all.size() % 2 != 0) all.push_back(0);
  return internet_checksum(all.data(), all.size()) == 0;
}

TEST(InternetChecksumTest, MatchesKnownHeaders) {
  const struct {
    Bytes data;
    uint16_t expected;
  } cases[] = {
      // The example of RFC 1071, section 3: sum ddf2, checksum its complement.
      {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},
      // An IPv4 header with its checksum field zero.
      {{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00, 0xc0, 0xa8,
        0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7},
       0xb861},
      // An odd length pads with a zero byte.
      {{0x01}, 0xfeff},
      {{}, 0xffff},
  };
  for (const auto& c : cases) EXPECT_EQ(internet_checksum(c.data.data(), c.data.size()), c.expected);
}

TEST(FrameBuilderTest, UdpQueryGoesFromTheDeviceToPort53OfTheServer) {
  Bytes packet = dns_packet(false);
  FrameBuilder builder;
  Bytes frame = builder.build(view(packet, "10.0.0.5", "10.0.0.1", 0));
  ASSERT_EQ(frame.size(), 20 + 8 + packet.size());
  EXPECT_EQ(frame[0], 0x45);
  EXPECT_EQ(get16(frame, 2), frame.size());
  EXPECT_EQ(frame[9], 17);
  EXPECT_EQ(internet_checksum(frame.data(), 20), 0) << "IPv4 header checksum";
  EXPECT_EQ(ipv4_at(frame, 12), "10.0.0.5");
  EXPECT_EQ(ipv4_at(frame, 16), "10.0.0.1");
  EXPECT_EQ(get16(frame, 20), 49152 + 0x1234);
  EXPECT_EQ(get16(frame, 22), 53);
  EXPECT_EQ(get16(frame, 24), 8 + packet.size());
  EXPECT_TRUE(transport_checksum_ok(frame, 20, 4, 12, 17));
  EXPECT_TRUE(std::equal(packet.begin(), packet.end(), frame.begin() + 28));
}

TEST(FrameBuilderTest, UdpResponseComesFromPort53OfTheServer) {
  Bytes packet = dns_packet(true);
  FrameBuilder builder;
  Bytes frame = builder.build(view(packet, "10.0.0.5", "10.0.0.1", 0));
  EXPECT_EQ(ipv4_at(frame, 12), "10.0.0.1");
  EXPECT_EQ(ipv4_at(frame, 16), "10.0.0.5");
  EXPECT_EQ(get16(frame, 20), 53);
  EXPECT_EQ(get16(frame, 22), 49152 + 0x1234);
  EXPECT_EQ(internet_checksum(frame.data(), 20), 0);
  EXPECT_TRUE(transport_checksum_ok(frame, 20, 4, 12, 17));
}

TEST(FrameBuilderTest, TcpSegmentsCarryTheLengthPrefixAndGrowingSequenceNumbers) {
  Bytes query = dns_packet(false);
  Bytes response = dns_packet(true);
  response.push_back(0);  // odd length, for the checksum's padding
  FrameBuilder builder;
  Bytes first = builder.build(view(query, "10.0.0.5", "10.0.0.1", 1));
  Bytes second = builder.build(view(response, "10.0.0.5", "10.0.0.1", 1));
  for (const Bytes* frame : {&first, &second}) {
    EXPECT_EQ((*frame)[9], 6);
    EXPECT_EQ(internet_checksum(frame->data(), 20), 0);
    EXPECT_EQ((*frame)[32], 0x50) << "five-word header";
    EXPECT_EQ((*frame)[33], 0x18) << "PSH and ACK";
    EXPECT_TRUE(transport_checksum_ok(*frame, 20, 4, 12, 6));
  }
  EXPECT_EQ(first.size(), 20 + 20 + 2 + query.size());
  EXPECT_EQ(get16(first, 40), query.size());
  EXPECT_EQ(get16(second, 40), response.size());
  EXPECT_EQ(get16(first, 22), 53);
  EXPECT_EQ(get16(second, 20), 53);
  uint32_t first_seq = kx::wire::load_be32(first.data() + 24);
  uint32_t second_seq = kx::wire::load_be32(second.data() + 24);
  EXPECT_EQ(second_seq, first_seq + 2 + query.size());
}

TEST(FrameBuilderTest, Ipv6AddressesGiveAnIpv6Packet) {
  Bytes packet = dns_packet(false);
  FrameBuilder builder;
  Bytes frame = builder.build(view(packet, "10.0.0.5", "2001:db8::53", 0));
  ASSERT_EQ(frame.size(), 40 + 8 + packet.size());
  EXPECT_EQ(frame[0] >> 4, 6);
  EXPECT_EQ(get16(frame, 4), 8 + packet.size());
  EXPECT_EQ(frame[6], 17);
  // The IPv4 device is mapped into IPv6.
  const Bytes mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 5};
  EXPECT_TRUE(std::equal(mapped.begin(), mapped.end(), frame.begin() + 8));
  EXPECT_EQ(frame[24], 0x20);
  EXPECT_EQ(frame[39], 0x53);
  EXPECT_TRUE(transport_checksum_ok(frame, 40, 16, 8, 17));
}

TEST(FrameBuilderTest, AddressThatIsNotIpTextBecomesZero) {
  Bytes packet = dns_packet(false);
  FrameBuilder builder;
  Bytes frame = builder.build(view(packet, "host.example", "10.0.0.1", 0));
  EXPECT_EQ(ipv4_at(frame, 12), "0.0.0.0");
  EXPECT_EQ(ipv4_at(frame, 16), "10.0.0.1");
  EXPECT_EQ(internet_checksum(frame.data(), 20), 0);
}

TEST(FrameBuilderTest, PacketTooLargeForOneDatagramIsCutToFit) {
  Bytes packet(70000, 0xab);
  FrameBuilder builder;
  Bytes udp = builder.build(view(packet, "10.0.0.5", "10.0.0.1", 0));
  EXPECT_EQ(udp.size(), 65535u);
  EXPECT_EQ(get16(udp, 2), 65535);
  EXPECT_EQ(get16(udp, 24), 65535 - 20);
  Bytes tcp = builder.build(view(packet, "10.0.0.5", "10.0.0.1", 1));
  EXPECT_EQ(tcp.size(), 65535u);
  EXPECT_EQ(get16(tcp, 40), 65535 - 42);
}

TEST(FrameBuilderTest, TinyPacketIsAQueryOnTheBaseClientPort) {
  Bytes packet = {0x7f};
  FrameBuilder builder;
  Bytes frame = builder.build(view(packet, "10.0.0.5", "10.0.0.1", 0));
  EXPECT_EQ(ipv4_at(frame, 12), "10.0.0.5");
  EXPECT_EQ(get16(frame, 20), 49152);
  EXPECT_EQ(get16(frame, 22), 53);
}

TEST(PcapOutputTest, FileReadsBackAsRawIpWithTheEventTime) {
  kx::test::TempDir dir;
  std::string path = dir.file("out.pcap");
  Bytes query = dns_packet(false);
  Bytes response = dns_packet(true);
  {
    PcapOutput output(path);
    CollectedMessage message;
    message.dns = view(query, "10.0.0.5", "10.0.0.1", 0);
    output.write(message);
    message.dns = view(response, "10.0.0.5", "10.0.0.1", 1);
    message.dns.time_seconds = 1700000007;
    output.write(message);
    output.flush();
  }
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* pcap = pcap_open_offline(path.c_str(), error);
  ASSERT_NE(pcap, nullptr) << error;
  EXPECT_EQ(pcap_datalink(pcap), DLT_RAW);
  struct pcap_pkthdr* header;
  const u_char* data;
  ASSERT_EQ(pcap_next_ex(pcap, &header, &data), 1);
  EXPECT_EQ(header->ts.tv_sec, 1700000000);
  EXPECT_EQ(header->caplen, 20 + 8 + query.size());
  EXPECT_EQ(header->len, header->caplen);
  ASSERT_EQ(pcap_next_ex(pcap, &header, &data), 1);
  EXPECT_EQ(header->ts.tv_sec, 1700000007);
  EXPECT_EQ(data[9], 6);
  EXPECT_EQ(pcap_next_ex(pcap, &header, &data), PCAP_ERROR_BREAK);
  pcap_close(pcap);
}

TEST(PcapOutputTest, UnopenableFileNamesTheCall) {
  try {
    PcapOutput output("/nonexistent-folder/out.pcap");
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("pcap_dump_open(/nonexistent-folder/out.pcap) failed: ", 0), 0u)
        << e.what();
  }
}

}  // namespace
}  // namespace kx::collector
