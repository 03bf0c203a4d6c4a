#include "pcap_frame.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "collector/builders.h"
#include "pcap_output.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

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
  Bytes all(frame.begin() + address_at, frame.begin() + address_at + 2 * address_size);
  for (size_t byte : {size_t{0}, size_t{protocol}, length >> 8, length & 0xff}) {
    all.push_back(static_cast<uint8_t>(byte));
  }
  all.insert(all.end(), frame.begin() + ip_header, frame.end());
  if (all.size() % 2 != 0) all.push_back(0);
  return internet_checksum(all.data(), all.size()) == 0;
}

TEST(InternetChecksumTest, MatchesKnownSums) {
  const struct {
    Bytes data;
    uint16_t expected;
  } cases[] = {
      // The example of RFC 1071, section 3: sum ddf2, checksum its complement.
      {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d},
      {{0x01}, 0xfeff},  // an odd length pads with a zero byte
      {{}, 0xffff},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(internet_checksum(c.data.data(), c.data.size()), c.expected);
  }
}

TEST(FrameBuilderTest, Ipv4FramesRunBetweenTheDeviceAndPort53OfTheServerAsTheQrBitSays) {
  Bytes odd_response = example_packet(true);
  odd_response.push_back(0);  // for the checksum's padding
  const uint16_t client = 49152 + 0x1234;
  const struct {
    const char* name;
    Bytes packet;
    const char* device;
    const char* device_ip;
    uint8_t tcp;
    bool response;
    uint16_t client_port;
  } cases[] = {
      {"udp query", example_packet(false), "10.0.0.5", "10.0.0.5", 0, false, client},
      {"udp response", example_packet(true), "10.0.0.5", "10.0.0.5", 0, true, client},
      {"tcp query", example_packet(false), "10.0.0.5", "10.0.0.5", 1, false, client},
      {"tcp response of odd length", odd_response, "10.0.0.5", "10.0.0.5", 1, true, client},
      {"packet too short for an ID", {0x7f}, "10.0.0.5", "10.0.0.5", 0, false, 49152},
      {"device that is not IP text", example_packet(false), "host.example", "0.0.0.0", 0, false,
       client},
  };
  FrameBuilder builder;
  uint32_t next_sequence = 0;  // 0 until the first TCP frame
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes frame = builder.build(
        {1700000000, c.device, "10.0.0.1", c.tcp, c.packet.data(), c.packet.size()});
    size_t dns_at = c.tcp ? 20 + 20 + 2 : 20 + 8;
    ASSERT_EQ(frame.size(), dns_at + c.packet.size());
    EXPECT_EQ(frame[0], 0x45);
    EXPECT_EQ(get16(frame, 2), frame.size());
    EXPECT_EQ(frame[9], c.tcp ? 6 : 17);
    EXPECT_EQ(internet_checksum(frame.data(), 20), 0) << "IPv4 header checksum";
    EXPECT_EQ(ipv4_at(frame, c.response ? 16 : 12), c.device_ip);
    EXPECT_EQ(ipv4_at(frame, c.response ? 12 : 16), "10.0.0.1");
    EXPECT_EQ(get16(frame, c.response ? 22 : 20), c.client_port);
    EXPECT_EQ(get16(frame, c.response ? 20 : 22), 53);
    EXPECT_TRUE(transport_checksum_ok(frame, 20, 4, 12, c.tcp ? 6 : 17));
    EXPECT_TRUE(std::equal(c.packet.begin(), c.packet.end(), frame.begin() + dns_at));
    if (c.tcp) {
      EXPECT_EQ(frame[32], 0x50) << "five-word header";
      EXPECT_EQ(frame[33], 0x18) << "PSH and ACK";
      EXPECT_EQ(get16(frame, 40), c.packet.size()) << "length prefix";
      uint32_t sequence = kx::wire::load_be32(frame.data() + 24);
      if (next_sequence != 0) {
        EXPECT_EQ(sequence, next_sequence);
      }
      next_sequence = sequence + 2 + static_cast<uint32_t>(c.packet.size());
    } else {
      EXPECT_EQ(get16(frame, 24), 8 + c.packet.size()) << "UDP length";
    }
  }
}

TEST(FrameBuilderTest, Ipv6AddressesGiveAnIpv6Packet) {
  Bytes packet = example_packet(false);
  FrameBuilder builder;
  Bytes frame = builder.build({1700000000, "10.0.0.5", "2001:db8::53", 0, packet.data(),
                               packet.size()});
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

TEST(FrameBuilderTest, PacketTooLargeForOneDatagramIsCutToFit) {
  Bytes packet(70000, 0xab);
  FrameBuilder builder;
  for (uint8_t tcp : {0, 1}) {
    Bytes frame =
        builder.build({1700000000, "10.0.0.5", "10.0.0.1", tcp, packet.data(), packet.size()});
    EXPECT_EQ(frame.size(), 65535u);
    EXPECT_EQ(get16(frame, 2), 65535);
    EXPECT_EQ(get16(frame, tcp ? 40 : 24), tcp ? 65535 - 42 : 65535 - 20);
  }
}

TEST(PcapOutputTest, FileReadsBackAsRawIpWithTheEventTime) {
  kx::test::TempDir dir;
  std::string path = dir.file("out.pcap");
  Bytes query = example_packet(false);
  Bytes response = example_packet(true);
  // A reopen and a restart go on with the same file, under its one file header.
  {
    PcapOutput output(path);
    output.write(collected(query));
    output.reopen();
  }
  {
    PcapOutput restarted(path);
    CollectedMessage message = collected(response, "10.0.0.5", "10.0.0.1", 1);
    message.dns.time_seconds = 1700000007;
    restarted.write(message);
    restarted.flush();
  }
  char error[PCAP_ERRBUF_SIZE];
  std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap(pcap_open_offline(path.c_str(), error),
                                                        pcap_close);
  ASSERT_NE(pcap, nullptr) << error;
  EXPECT_EQ(pcap_datalink(pcap.get()), DLT_RAW);
  struct pcap_pkthdr* header;
  const u_char* data;
  // The UDP query, then the TCP response seven seconds later.
  for (auto [time, size, protocol] :
       {std::tuple{1700000000, 20 + 8 + 29, 17}, {1700000007, 20 + 20 + 2 + 29, 6}}) {
    ASSERT_EQ(pcap_next_ex(pcap.get(), &header, &data), 1);
    EXPECT_EQ(header->ts.tv_sec, time);
    EXPECT_EQ(header->caplen, size);
    EXPECT_EQ(header->len, header->caplen);
    EXPECT_EQ(data[9], protocol);
  }
  EXPECT_EQ(pcap_next_ex(pcap.get(), &header, &data), PCAP_ERROR_BREAK);
}

TEST(PcapOutputTest, UnopenableFileOrOneOfAnotherLinkTypeNamesTheCall) {
  kx::test::TempDir dir;
  std::string ethernet = dir.file("ethernet.pcap");
  {
    std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap(pcap_open_dead(DLT_EN10MB, 65535),
                                                          pcap_close);
    pcap_dump_close(pcap_dump_open(pcap.get(), ethernet.c_str()));
  }
  for (const std::string& path : {std::string("/nonexistent-folder/out.pcap"), ethernet}) {
    std::string error = error_of([&] { PcapOutput output(path); });
    EXPECT_EQ(error.rfind("pcap_dump_open_append(" + path + ") failed: ", 0), 0u) << error;
  }
  EXPECT_EQ(kx::test::read_file(ethernet).size(), 24u);
}

}  // namespace
}  // namespace kx::collector
