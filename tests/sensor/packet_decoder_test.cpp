#include "sensor/packet_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "logging/log.h"
#include "net/wire_format.h"
#include "support/test_util.h"

namespace kx::sensor {
namespace {

using Bytes = std::vector<uint8_t>;

// --- frame building

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

void put32(Bytes& b, size_t at, uint32_t v) { wire::store_be32(&b[at], v); }

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

Bytes ipv6_address(uint8_t last) {
  Bytes address(16, 0);
  address[0] = 0x20;
  address[1] = 0x01;
  address[15] = last;
  return address;
}

Bytes dns_payload(size_t size, uint8_t fill) {
  Bytes payload(size, fill);
  if (size >= 2) payload[0] = 0x12, payload[1] = 0x34;  // an ID, so copies are told apart
  return payload;
}

Bytes udp(uint16_t source_port, uint16_t destination_port, const Bytes& payload) {
  Bytes header(8, 0);
  put16(header, 0, source_port);
  put16(header, 2, destination_port);
  put16(header, 4, static_cast<uint16_t>(8 + payload.size()));
  return concat(header, payload);
}

Bytes tcp(uint16_t source_port, uint16_t destination_port, uint32_t sequence,
          const Bytes& payload) {
  Bytes header(20, 0);
  put16(header, 0, source_port);
  put16(header, 2, destination_port);
  put32(header, 4, sequence);
  header[12] = 5 << 4;
  header[13] = 0x18;  // PSH, ACK
  return concat(header, payload);
}

// Each message behind its two-byte length, as DNS over TCP sends it.
Bytes tcp_stream(const std::vector<Bytes>& messages) {
  Bytes out;
  for (const Bytes& m : messages) {
    out.push_back(static_cast<uint8_t>(m.size() >> 8));
    out.push_back(static_cast<uint8_t>(m.size()));
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
}

Bytes ipv4_packet(uint8_t protocol, const Bytes& source, const Bytes& destination,
                  const Bytes& transport, uint16_t flags_and_offset = 0) {
  Bytes header(20, 0);
  header[0] = 0x45;
  put16(header, 2, static_cast<uint16_t>(20 + transport.size()));
  put16(header, 6, flags_and_offset);
  header[8] = 64;
  header[9] = protocol;
  memcpy(&header[12], source.data(), 4);
  memcpy(&header[16], destination.data(), 4);
  return concat(header, transport);
}

Bytes ipv6_packet(uint8_t next_header, const Bytes& source, const Bytes& destination,
                  const Bytes& payload) {
  Bytes header(40, 0);
  header[0] = 0x60;
  put16(header, 4, static_cast<uint16_t>(payload.size()));
  header[6] = next_header;
  header[7] = 64;
  memcpy(&header[8], source.data(), 16);
  memcpy(&header[24], destination.data(), 16);
  return concat(header, payload);
}

constexpr uint16_t kPacketHost = 0;
constexpr uint16_t kPacketOutgoing = 4;
constexpr uint16_t kArphrdEther = 1;
constexpr uint16_t kArphrdLoopback = 772;

struct LinkOptions {
  bool vlan = false;
  uint16_t packet_type = kPacketHost;
  uint16_t hardware_type = kArphrdEther;
  bool big_endian_family = false;
};

Bytes with_link(LinkType link, const Bytes& ip, LinkOptions options = {}) {
  bool v6 = (ip[0] >> 4) == 6;
  uint16_t ether_type = v6 ? 0x86DD : 0x0800;
  Bytes header;
  switch (link) {
    case LinkType::ethernet:
      header.assign(options.vlan ? 18 : 14, 0xAA);
      if (options.vlan) {
        put16(header, 12, 0x8100);
        put16(header, 14, 42);
        put16(header, 16, ether_type);
      } else {
        put16(header, 12, ether_type);
      }
      break;
    case LinkType::linux_sll:
      header.assign(16, 0);
      put16(header, 0, options.packet_type);
      put16(header, 2, options.hardware_type);
      put16(header, 4, 6);
      put16(header, 14, ether_type);
      break;
    case LinkType::linux_sll2:
      header.assign(20, 0);
      put16(header, 0, ether_type);
      put32(header, 4, 1);
      put16(header, 8, options.hardware_type);
      header[10] = static_cast<uint8_t>(options.packet_type);
      header[11] = 6;
      break;
    case LinkType::loopback: {
      uint32_t family = v6 ? 10 : 2;
      header.assign(4, 0);
      if (options.big_endian_family) {
        put32(header, 0, family);
      } else {
        header[0] = static_cast<uint8_t>(family);
      }
      break;
    }
    case LinkType::raw_ip:
      break;
  }
  return concat(header, ip);
}

// --- a handler that keeps what it is given

struct Delivered {
  uint32_t time = 0;
  std::string device;
  std::string server;
  uint8_t is_tcp = 0;
  Bytes packet;
  Bytes raw;
};

int32_t keep_message(const uint8_t* data, uint32_t length, void* user) {
  auto* out = static_cast<std::vector<Delivered>*>(user);
  wire::DnsMessageView view;
  EXPECT_EQ(wire::parse_dns_message(data, length, &view), wire::ParseResult::ok);
  Delivered d;
  d.time = view.time_seconds;
  d.device = std::string(view.device);
  d.server = std::string(view.server);
  d.is_tcp = view.is_tcp;
  d.packet.assign(view.packet, view.packet + view.packet_size);
  d.raw.assign(data, data + length);
  out->push_back(d);
  return 0;
}

class Decoding : public ::testing::Test {
 protected:
  void SetUp() override { decoder.set_message_handler(keep_message, &delivered); }
  void feed(LinkType link, const Bytes& frame, uint32_t time = 1000) {
    decoder.process_frame(link, time, frame.data(), frame.size());
  }
  uint64_t total_skipped() const {
    const SkipCounts& s = decoder.skipped();
    return s.truncated + s.malformed + s.fragments + s.split_tcp + s.ipv6_clients + s.other;
  }

  PacketDecoder decoder{53};
  std::vector<Delivered> delivered;
};

const Bytes kClient = ipv4(192, 0, 2, 7);
const Bytes kServer = ipv4(10, 0, 0, 1);

const LinkType kAllLinks[] = {LinkType::ethernet, LinkType::linux_sll, LinkType::linux_sll2,
                              LinkType::loopback, LinkType::raw_ip};

TEST_F(Decoding, FramesBothDirectionsOfUdpAndTcpOnEveryLinkType) {
  struct Case {
    const char* name;
    bool is_tcp;
    bool query;  // to the DNS port, else from it
  };
  const Case cases[] = {{"udp query", false, true},
                        {"udp response", false, false},
                        {"tcp query", true, true},
                        {"tcp response", true, false}};
  for (LinkType link : kAllLinks) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " link " + std::to_string(static_cast<int>(link)));
      delivered.clear();
      Bytes dns = dns_payload(33, 0x5A);
      uint16_t source_port = c.query ? 40001 : 53;
      uint16_t destination_port = c.query ? 53 : 40001;
      const Bytes& source = c.query ? kClient : kServer;
      const Bytes& destination = c.query ? kServer : kClient;
      Bytes transport = c.is_tcp ? tcp(source_port, destination_port, 7, tcp_stream({dns}))
                                 : udp(source_port, destination_port, dns);
      feed(link, with_link(link, ipv4_packet(c.is_tcp ? 6 : 17, source, destination, transport)),
           1700000000);
      ASSERT_EQ(delivered.size(), 1u);
      EXPECT_EQ(delivered[0].time, 1700000000u);
      EXPECT_EQ(delivered[0].device, "192.0.2.7");
      EXPECT_EQ(delivered[0].server, "10.0.0.1");
      EXPECT_EQ(delivered[0].is_tcp, c.is_tcp ? 1 : 0);
      EXPECT_EQ(delivered[0].packet, dns);
    }
  }
  EXPECT_EQ(total_skipped(), 0u);
}

// The Windows decoder frames this event (device 10.0.0.5, server 10.0.0.1, UDP, 40 bytes,
// 258 s after 1970) as these 64 bytes; a captured packet must give the same bytes.
TEST_F(Decoding, FramesTheSameBytesAsTheWindowsDecoder) {
  Bytes dns(40);
  for (size_t i = 0; i < dns.size(); ++i) dns[i] = static_cast<uint8_t>(i);
  feed(LinkType::ethernet,
       with_link(LinkType::ethernet,
                 ipv4_packet(17, ipv4(10, 0, 0, 5), ipv4(10, 0, 0, 1), udp(5353, 53, dns))),
       258);
  ASSERT_EQ(delivered.size(), 1u);
  Bytes expected = {0x02, 0x00, 0x00, 0x01, 0x02, 0x08, '1', '0', '.', '0', '.', '0', '.', '5',
                    0x08, '1',  '0',  '.',  '0',  '.',  '0', '.', '1', 0x00};
  expected.insert(expected.end(), dns.begin(), dns.end());
  EXPECT_EQ(delivered[0].raw, expected);
  EXPECT_EQ(delivered[0].raw.size(), 64u);
}

TEST_F(Decoding, WritesAddressesAsDottedText) {
  const struct {
    Bytes address;
    const char* text;
  } cases[] = {{ipv4(0, 0, 0, 0), "0.0.0.0"},
               {ipv4(255, 255, 255, 255), "255.255.255.255"},
               {ipv4(1, 20, 100, 9), "1.20.100.9"},
               {ipv4(10, 200, 3, 45), "10.200.3.45"}};
  for (const auto& c : cases) {
    delivered.clear();
    Bytes dns = dns_payload(12, 1);
    feed(LinkType::raw_ip, ipv4_packet(17, c.address, c.address, udp(1024, 53, dns)));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].device, c.text);
    EXPECT_EQ(delivered[0].server, c.text);
  }
}

TEST_F(Decoding, ReadsEthernetWithOneVlanTagAndLoopbackInBothByteOrders) {
  Bytes ip = ipv4_packet(17, kClient, kServer, udp(1111, 53, dns_payload(20, 3)));
  LinkOptions vlan;
  vlan.vlan = true;
  LinkOptions big_endian;
  big_endian.big_endian_family = true;
  feed(LinkType::ethernet, with_link(LinkType::ethernet, ip, vlan));
  feed(LinkType::loopback, with_link(LinkType::loopback, ip, big_endian));
  EXPECT_EQ(delivered.size(), 2u);
  EXPECT_EQ(total_skipped(), 0u);
}

TEST_F(Decoding, IgnoresEthernetPaddingBehindAShortDatagram) {
  Bytes dns = dns_payload(4, 9);
  Bytes frame = with_link(LinkType::ethernet, ipv4_packet(17, kClient, kServer, udp(999, 53, dns)));
  frame.resize(60, 0xEE);  // the minimum Ethernet frame
  feed(LinkType::ethernet, frame);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].packet, dns);
}

TEST_F(Decoding, KeepsOneCopyOfLoopbackPacketsOnTheAnyDevice) {
  Bytes loopback = ipv4(127, 0, 0, 1);
  Bytes ip = ipv4_packet(17, loopback, loopback, udp(5000, 53, dns_payload(12, 1)));
  for (LinkType link : {LinkType::linux_sll, LinkType::linux_sll2}) {
    delivered.clear();
    LinkOptions outgoing_loopback{false, kPacketOutgoing, kArphrdLoopback, false};
    LinkOptions incoming_loopback{false, kPacketHost, kArphrdLoopback, false};
    LinkOptions outgoing_ethernet{false, kPacketOutgoing, kArphrdEther, false};
    feed(link, with_link(link, ip, outgoing_loopback));
    feed(link, with_link(link, ip, incoming_loopback));
    // A response leaving by a real interface is seen only as outgoing: it must stay.
    feed(link, with_link(link, ip, outgoing_ethernet));
    EXPECT_EQ(delivered.size(), 2u);
  }
  EXPECT_EQ(total_skipped(), 0u);
}

TEST_F(Decoding, FramesEveryMessageOfASegmentInOrder) {
  Bytes first = dns_payload(30, 1);
  Bytes second = dns_payload(12, 2);
  Bytes third = dns_payload(200, 3);
  feed(LinkType::raw_ip,
       ipv4_packet(6, kClient, kServer, tcp(4000, 53, 1, tcp_stream({first, second, third}))));
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[0].packet, first);
  EXPECT_EQ(delivered[1].packet, second);
  EXPECT_EQ(delivered[2].packet, third);
  for (const Delivered& d : delivered) EXPECT_EQ(d.is_tcp, 1);
}

TEST_F(Decoding, SegmentsWithoutDataYieldNothingAndCountNothing) {
  feed(LinkType::raw_ip, ipv4_packet(6, kClient, kServer, tcp(4000, 53, 1, {})));
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(total_skipped(), 0u);
}

// A message split across segments is counted once; its remaining bytes in the flow's
// next segments must not be read as messages, and what follows it is framed again.
TEST_F(Decoding, PassesOverTheRestOfASplitMessage) {
  struct Case {
    const char* name;
    size_t first_cut;   // bytes of the stream in the first segment
    size_t second_cut;  // bytes in the second segment (the rest goes in a third)
  };
  Bytes split_message = dns_payload(300, 0x77);
  Bytes after = dns_payload(25, 0x88);
  Bytes stream = tcp_stream({split_message, after});
  const Case cases[] = {
      {"cut inside the message, rest and next message together", 100, stream.size() - 100},
      {"cut after the first length byte", 1, stream.size() - 1},
      {"rest spread over two segments", 50, 200},
      {"cut right after the length", 2, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketDecoder fresh(53);
    std::vector<Delivered> got;
    fresh.set_message_handler(keep_message, &got);
    uint32_t sequence = 1000;
    size_t at = 0;
    size_t cuts[] = {c.first_cut, c.second_cut, stream.size()};
    for (size_t cut : cuts) {
      size_t end = std::min(stream.size(), at + cut);
      if (end <= at) continue;
      Bytes part(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(end));
      Bytes frame = ipv4_packet(6, kClient, kServer, tcp(4000, 53, sequence, part));
      fresh.process_frame(LinkType::raw_ip, 1, frame.data(), frame.size());
      sequence += static_cast<uint32_t>(part.size());
      at = end;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].packet, after);
    EXPECT_EQ(fresh.skipped().split_tcp, 1u);
  }
}

TEST_F(Decoding, ASplitMessageInOneFlowLeavesOtherFlowsAlone) {
  Bytes big = tcp_stream({dns_payload(500, 1)});
  Bytes head(big.begin(), big.begin() + 100);
  feed(LinkType::raw_ip, ipv4_packet(6, kClient, kServer, tcp(4000, 53, 1, head)));
  Bytes other = dns_payload(40, 2);
  feed(LinkType::raw_ip, ipv4_packet(6, kClient, kServer, tcp(4001, 53, 101, tcp_stream({other}))));
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].packet, other);
}

TEST_F(Decoding, CountsFragmentsWithoutFramingThem) {
  Bytes transport = udp(1000, 53, dns_payload(20, 1));
  const uint16_t flags[] = {0x2000 /* more fragments */, 0x0010 /* offset */, 0x2010};
  for (uint16_t f : flags) feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, transport, f));
  // "Don't fragment" alone is no fragment.
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, transport, 0x4000));
  Bytes fragment_header = {17, 0, 0, 1, 0, 0, 0, 9};
  feed(LinkType::raw_ip,
       ipv6_packet(44, ipv6_address(1), ipv6_address(2), concat(fragment_header, transport)));
  EXPECT_EQ(decoder.skipped().fragments, 4u);
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(Decoding, DropsIpv6ClientsInBothDirections) {
  Bytes hop_by_hop = {17, 0, 0, 0, 0, 0, 0, 0};
  Bytes query = udp(1000, 53, dns_payload(20, 1));
  Bytes response = tcp(53, 1000, 5, tcp_stream({dns_payload(20, 2)}));
  feed(LinkType::ethernet,
       with_link(LinkType::ethernet, ipv6_packet(17, ipv6_address(1), ipv6_address(2), query)));
  feed(LinkType::linux_sll,
       with_link(LinkType::linux_sll, ipv6_packet(6, ipv6_address(2), ipv6_address(1), response)));
  feed(LinkType::raw_ip,
       ipv6_packet(0, ipv6_address(1), ipv6_address(2), concat(hop_by_hop, query)));
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(decoder.skipped().ipv6_clients, 3u);
  EXPECT_EQ(total_skipped(), 3u);
}

// Every cut of a valid frame short of its end leaves headers or lengths running past the
// captured bytes.
TEST_F(Decoding, CountsEveryTruncationOfAFrameAsTruncated) {
  struct Case {
    const char* name;
    LinkType link;
    Bytes ip;
  };
  const Case cases[] = {
      {"ethernet udp", LinkType::ethernet,
       ipv4_packet(17, kClient, kServer, udp(1000, 53, dns_payload(20, 1)))},
      {"sll tcp", LinkType::linux_sll,
       ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, tcp_stream({dns_payload(20, 1)})))},
      {"sll2 ipv6", LinkType::linux_sll2,
       ipv6_packet(17, ipv6_address(1), ipv6_address(2), udp(1000, 53, dns_payload(20, 1)))},
      {"loopback udp", LinkType::loopback,
       ipv4_packet(17, kClient, kServer, udp(1000, 53, dns_payload(20, 1)))},
      {"raw tcp", LinkType::raw_ip,
       ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, tcp_stream({dns_payload(20, 1)})))},
  };
  for (const Case& c : cases) {
    Bytes frame = with_link(c.link, c.ip);
    for (size_t size = 0; size < frame.size(); ++size) {
      SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(size));
      PacketDecoder fresh(53);
      std::vector<Delivered> got;
      fresh.set_message_handler(keep_message, &got);
      fresh.process_frame(c.link, 1, frame.data(), size);
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(fresh.skipped().truncated, 1u);
    }
  }
}

TEST_F(Decoding, CountsMalformedHeadersAndForeignTraffic) {
  struct Case {
    const char* name;
    LinkType link;
    Bytes frame;
    uint64_t SkipCounts::*counter;
  };
  Bytes good = ipv4_packet(17, kClient, kServer, udp(1000, 53, dns_payload(20, 1)));
  Bytes short_ihl = good;
  short_ihl[0] = 0x44;
  Bytes total_below_header = good;
  put16(total_below_header, 2, 10);
  Bytes v6_in_v4_frame = good;
  v6_in_v4_frame[0] = 0x65;
  Bytes udp_length_below_header = good;
  put16(udp_length_below_header, 24, 4);
  Bytes tcp_offset_below_header = ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, {}));
  tcp_offset_below_header[32] = 4 << 4;
  Bytes arp = with_link(LinkType::ethernet, good);
  put16(arp, 12, 0x0806);
  Bytes jumbo = ipv6_packet(17, ipv6_address(1), ipv6_address(2), udp(1000, 53, dns_payload(8, 1)));
  put16(jumbo, 4, 0);
  Bytes tcp_zero_length = ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, {0, 0}));
  const Case cases[] = {
      {"header length below 20", LinkType::raw_ip, short_ihl, &SkipCounts::malformed},
      {"total length below header", LinkType::raw_ip, total_below_header, &SkipCounts::malformed},
      {"IPv4 frame holding another version", LinkType::ethernet,
       with_link(LinkType::ethernet, v6_in_v4_frame), &SkipCounts::malformed},
      {"UDP length below its header", LinkType::raw_ip, udp_length_below_header,
       &SkipCounts::malformed},
      {"TCP data offset below 5", LinkType::raw_ip, tcp_offset_below_header,
       &SkipCounts::malformed},
      {"IPv6 jumbogram", LinkType::raw_ip, jumbo, &SkipCounts::malformed},
      {"empty UDP payload", LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1000, 53, {})),
       &SkipCounts::malformed},
      {"TCP message of length 0", LinkType::raw_ip, tcp_zero_length, &SkipCounts::malformed},
      {"ARP", LinkType::ethernet, arp, &SkipCounts::other},
      {"ICMP", LinkType::raw_ip, ipv4_packet(1, kClient, kServer, Bytes(16, 0)),
       &SkipCounts::other},
      {"neither port is the DNS port", LinkType::raw_ip,
       ipv4_packet(17, kClient, kServer, udp(1000, 5353, dns_payload(20, 1))), &SkipCounts::other},
      {"raw frame of version 5", LinkType::raw_ip, Bytes{0x50, 0, 0, 0}, &SkipCounts::other},
      {"unknown loopback family", LinkType::loopback, concat(Bytes{99, 0, 0, 0}, good),
       &SkipCounts::other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketDecoder fresh(53);
    std::vector<Delivered> got;
    fresh.set_message_handler(keep_message, &got);
    fresh.process_frame(c.link, 1, c.frame.data(), c.frame.size());
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(fresh.skipped().*c.counter, 1u);
  }
}

class OnlyServerIsLocal : public LocalAddressCheck {
 public:
  bool is_local(const IpAddress& address) override {
    return address.family == 4 && memcmp(address.bytes, kServer.data(), 4) == 0;
  }
};

// This host's own resolver asking another server uses a high port towards port 53: that
// is not traffic of the local DNS server, so live capture leaves it out.
TEST_F(Decoding, InLiveCaptureTheServerEndMustBeLocal) {
  OnlyServerIsLocal local;
  PacketDecoder live(53, &local);
  std::vector<Delivered> got;
  live.set_message_handler(keep_message, &got);
  Bytes remote = ipv4(198, 51, 100, 1);
  const Bytes frames[] = {
      ipv4_packet(17, kClient, kServer, udp(4000, 53, dns_payload(20, 1))),   // kept
      ipv4_packet(17, kServer, kClient, udp(53, 4000, dns_payload(20, 2))),   // kept
      ipv4_packet(17, kServer, remote, udp(33000, 53, dns_payload(20, 3))),   // own query
      ipv4_packet(17, remote, kServer, udp(53, 33000, dns_payload(20, 4))),   // its answer
  };
  for (const Bytes& f : frames) live.process_frame(LinkType::raw_ip, 1, f.data(), f.size());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].device, "192.0.2.7");
  EXPECT_EQ(got[1].device, "192.0.2.7");
  EXPECT_EQ(live.skipped().other, 2u);
}

TEST_F(Decoding, ReusesItsBufferWithoutLeakingALongerMessageIntoAShorterOne) {
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1, 53, dns_payload(1400, 1))));
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1, 53, dns_payload(12, 2))));
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[1].raw.size(), wire::dns_message_size(9, 8, 12));
  EXPECT_EQ(delivered[1].packet, dns_payload(12, 2));
}

TEST_F(Decoding, FramesTheLargestDatagram) {
  Bytes largest = dns_payload(65535 - 20 - 8, 4);
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1, 53, largest)));
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].packet, largest);
}

int32_t throw_on_first(const uint8_t* data, uint32_t length, void* user) {
  auto* calls = static_cast<std::vector<uint32_t>*>(user);
  calls->push_back(length);
  (void)data;
  if (calls->size() == 1) throw std::runtime_error("push(70000) failed: record too large");
  return 0;
}

TEST_F(Decoding, AHandlerThatRaisesCostsOnlyItsMessage) {
  test::TempDir dir;
  logging::open_log(dir.file("agent.log").c_str());
  PacketDecoder raising(53);
  std::vector<uint32_t> calls;
  raising.set_message_handler(throw_on_first, &calls);
  Bytes frame = ipv4_packet(6, kClient, kServer,
                            tcp(1, 53, 1, tcp_stream({dns_payload(20, 1), dns_payload(30, 2)})));
  raising.process_frame(LinkType::raw_ip, 1, frame.data(), frame.size());
  logging::close_log();
  EXPECT_EQ(calls.size(), 2u);
  std::vector<std::string> lines = test::split_lines(test::read_file(dir.file("agent.log")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("]: ERROR - Process packet failed: push(70000) failed: record too large"),
            std::string::npos)
      << lines[0];
}

TEST_F(Decoding, SummarisesTheSkipCountsInOneLine) {
  feed(LinkType::raw_ip, Bytes{0x45});
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1, 53, dns_payload(8, 1)), 0x2000));
  feed(LinkType::raw_ip, ipv4_packet(17, kClient, kServer, udp(1, 53, dns_payload(8, 1)), 0x2000));
  EXPECT_EQ(decoder.skip_summary(),
            "1 truncated, 0 malformed, 2 fragments, 0 split TCP messages, 0 IPv6 clients, "
            "0 other packets");
}

}  // namespace
}  // namespace kx::sensor
