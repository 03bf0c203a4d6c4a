#include "sensor/packet_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/wire_format.h"
#include "support/frames.h"
#include "support/log_capture.h"

namespace kx::sensor {
namespace {

using Bytes = std::vector<uint8_t>;

using namespace test::frames;

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
  wire::DnsMessageView view;
  EXPECT_EQ(wire::parse_dns_message(data, length, &view), wire::ParseResult::ok);
  static_cast<std::vector<Delivered>*>(user)->push_back(
      Delivered{view.time_seconds, std::string(view.device), std::string(view.server),
                view.is_tcp, Bytes(view.packet, view.packet + view.packet_size),
                Bytes(data, data + length)});
  return 0;
}

class Decoding : public ::testing::Test {
 protected:
  Decoding() { reset(); }
  // A fresh decoder for the DNS port 53, with nothing delivered yet.
  void reset(LocalAddressCheck* local = nullptr, bool ipv6_clients = false) {
    decoder = std::make_unique<PacketDecoder>(53, local, ipv6_clients);
    decoder->set_message_handler(keep_message, &delivered);
    delivered.clear();
  }
  void feed(LinkType link, const Bytes& frame, uint32_t time = 1000) {
    decoder->process_frame(link, time, frame.data(), frame.size());
  }
  void feed_raw(const Bytes& ip) { feed(LinkType::raw_ip, ip); }
  uint64_t total_skipped() const {
    const SkipCounts& s = decoder->skipped();
    return s.truncated + s.malformed + s.fragments + s.split_tcp + s.ipv6_clients + s.other;
  }

  std::unique_ptr<PacketDecoder> decoder;
  std::vector<Delivered> delivered;
};

// A client of the longest address text, a server with zero and one-digit parts.
const Bytes kClient = {192, 168, 255, 254};
const Bytes kServer = {10, 0, 0, 1};

Bytes query(size_t size = 20, uint8_t fill = 1) {
  return ipv4_packet(17, kClient, kServer, udp(1000, 53, dns_payload(size, fill)));
}

TEST_F(Decoding, FramesBothDirectionsOfUdpAndTcpOnEveryLinkTypeWithoutTrailingBytes) {
  struct Link {
    const char* name;
    LinkType type;
    LinkOptions options;
  };
  const Link links[] = {
      {"ethernet", LinkType::ethernet, {}},
      {"ethernet with a VLAN tag", LinkType::ethernet, {true}},
      {"sll", LinkType::linux_sll, {}},
      {"sll2", LinkType::linux_sll2, {}},
      {"loopback", LinkType::loopback, {}},
      {"loopback, big-endian family", LinkType::loopback, {false, kPacketHost, kArphrdEther, true}},
      {"raw", LinkType::raw_ip, {}},
  };
  for (const Link& link : links) {
    for (bool is_tcp : {false, true}) {
      for (bool to_server : {true, false}) {
        SCOPED_TRACE(std::string(link.name) + (is_tcp ? " tcp" : " udp") +
                     (to_server ? " query" : " response"));
        reset();
        Bytes dns = dns_payload(12, 0x5A);
        uint16_t source_port = to_server ? 40001 : 53;
        uint16_t destination_port = to_server ? 53 : 40001;
        Bytes transport = is_tcp ? tcp(source_port, destination_port, 7, tcp_stream({dns}))
                                 : udp(source_port, destination_port, dns);
        Bytes ip = ipv4_packet(is_tcp ? 6 : 17, to_server ? kClient : kServer,
                               to_server ? kServer : kClient, transport);
        // Bytes behind the IP datagram, like Ethernet padding, are not part of it.
        feed(link.type, join({with_link(link.type, ip, link.options), Bytes(6, 0xEE)}), 1700000000);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(delivered[0].time, 1700000000u);
        EXPECT_EQ(delivered[0].device, "192.168.255.254");
        EXPECT_EQ(delivered[0].server, "10.0.0.1");
        EXPECT_EQ(delivered[0].is_tcp, is_tcp ? 1 : 0);
        EXPECT_EQ(delivered[0].packet, dns);
        EXPECT_EQ(total_skipped(), 0u);
      }
    }
  }
}

TEST_F(Decoding, KeepsOneCopyOfLoopbackPacketsOnTheAnyDevice) {
  Bytes loopback = {127, 0, 0, 1};
  Bytes ip = ipv4_packet(17, loopback, loopback, udp(5000, 53, dns_payload(12, 1)));
  for (LinkType link : {LinkType::linux_sll, LinkType::linux_sll2}) {
    reset();
    feed(link, with_link(link, ip, {false, kPacketOutgoing, kArphrdLoopback, false}));
    feed(link, with_link(link, ip, {false, kPacketHost, kArphrdLoopback, false}));
    // A response leaving by a real interface is seen only as outgoing: it must stay.
    feed(link, with_link(link, ip, {false, kPacketOutgoing, kArphrdEther, false}));
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_EQ(total_skipped(), 0u);
  }
}

TEST_F(Decoding, FramesEveryMessageOfASegmentInOrderAndNoneOfAnEmptyOne) {
  feed_raw(ipv4_packet(6, kClient, kServer, tcp(4000, 53, 1, {})));
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(total_skipped(), 0u) << "a segment without data is no loss";

  const std::vector<Bytes> messages = {dns_payload(30, 1), dns_payload(12, 2), dns_payload(200, 3)};
  feed_raw(ipv4_packet(6, kClient, kServer, tcp(4000, 53, 1, tcp_stream(messages))));
  ASSERT_EQ(delivered.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(delivered[i].packet, messages[i]);
    EXPECT_EQ(delivered[i].is_tcp, 1);
  }
}

// A message split across segments is counted once; its remaining bytes in the flow's
// next segments must not be read as messages, and what follows it is framed again. A
// message of another flow between the parts is framed as usual.
TEST_F(Decoding, PassesOverTheRestOfASplitMessageAndLeavesOtherFlowsAlone) {
  Bytes after = dns_payload(25, 0x88);
  Bytes other = dns_payload(40, 2);
  Bytes stream = tcp_stream({dns_payload(300, 0x77), after});
  Bytes other_stream = tcp_stream({other});
  // Bytes of the stream in the first and the second segment; the rest goes in a third.
  const size_t cuts[][2] = {
      {100, stream.size() - 100},  // cut inside the message, rest and next message together
      {1, stream.size() - 1},      // cut after the first length byte
      {50, 200},                   // rest spread over two segments
      {2, 300},                    // cut right after the length
  };
  for (const auto& cut : cuts) {
    SCOPED_TRACE("first cut " + std::to_string(cut[0]) + ", second " + std::to_string(cut[1]));
    reset();
    uint32_t sequence = 1000;
    size_t at = 0;
    for (size_t length : {cut[0], cut[1], stream.size()}) {
      size_t end = std::min(stream.size(), at + length);
      if (end <= at) continue;
      Bytes part(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(end));
      feed_raw(ipv4_packet(6, kClient, kServer, tcp(4000, 53, sequence, part)));
      if (at == 0) feed_raw(ipv4_packet(6, kClient, kServer, tcp(4001, 53, 1, other_stream)));
      sequence += static_cast<uint32_t>(part.size());
      at = end;
    }
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].packet, other);
    EXPECT_EQ(delivered[1].packet, after);
    EXPECT_EQ(decoder->skipped().split_tcp, 1u);
  }
}

// Every cut of a valid frame short of its end leaves headers or lengths running past the
// captured bytes.
TEST_F(Decoding, CountsEveryTruncationOfAFrameAsTruncated) {
  Bytes tcp_query =
      ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, tcp_stream({dns_payload(20, 1)})));
  const std::pair<LinkType, Bytes> frames[] = {
      {LinkType::ethernet, query()},
      {LinkType::linux_sll, tcp_query},
      {LinkType::linux_sll2, ipv6_packet(17, udp(1000, 53, dns_payload(20, 1)))},
      {LinkType::loopback, query()},
      {LinkType::raw_ip, tcp_query},
  };
  for (const auto& [link, ip] : frames) {
    Bytes frame = with_link(link, ip);
    for (size_t size = 0; size < frame.size(); ++size) {
      SCOPED_TRACE("link " + std::to_string(static_cast<int>(link)) + " cut at " +
                   std::to_string(size));
      reset();
      decoder->process_frame(link, 1, frame.data(), size);
      EXPECT_TRUE(delivered.empty());
      EXPECT_EQ(decoder->skipped().truncated, 1u);
    }
  }
}

// Each frame yields no message and counts once under its reason; the summary line
// reports the counts in order.
TEST_F(Decoding, CountsEachFrameItCannotFrameUnderItsReason) {
  struct Case {
    const char* name;
    LinkType link;
    Bytes frame;
    uint64_t SkipCounts::*counter;
  };
  Bytes udp_query = udp(1000, 53, dns_payload(20, 1));
  auto raw = LinkType::raw_ip;
  auto ethernet = [](const Bytes& ip) { return with_link(LinkType::ethernet, ip); };
  auto sll = [](const Bytes& ip) { return with_link(LinkType::linux_sll, ip); };
  const auto fragments = &SkipCounts::fragments;
  const auto ipv6_clients = &SkipCounts::ipv6_clients;
  const auto malformed = &SkipCounts::malformed;
  const auto other = &SkipCounts::other;
  const Case cases[] = {
      {"no room for the IPv4 header", raw, Bytes{0x45}, &SkipCounts::truncated},
      {"more fragments", raw, ipv4_packet(17, kClient, kServer, udp_query, 0x2000), fragments},
      {"fragment offset", raw, ipv4_packet(17, kClient, kServer, udp_query, 0x0010), fragments},
      {"IPv6 fragment", raw, ipv6_packet(44, join({{17, 0, 0, 1, 0, 0, 0, 9}, udp_query})),
       fragments},
      {"IPv6 query", LinkType::ethernet, ethernet(ipv6_packet(17, udp_query)), ipv6_clients},
      {"IPv6 response over TCP", LinkType::linux_sll,
       sll(ipv6_packet(6, tcp(53, 1000, 5, tcp_stream({dns_payload(20, 2)})))), ipv6_clients},
      {"IPv6 behind hop-by-hop options", raw,
       ipv6_packet(0, join({{17, 0, 0, 0, 0, 0, 0, 0}, udp_query})), ipv6_clients},
      {"header length below 20", raw, with16(query(), 0, 0x4400), malformed},
      {"total length below header", raw, with16(query(), 2, 10), malformed},
      {"IPv4 frame holding another version", LinkType::ethernet,
       ethernet(with16(query(), 0, 0x6500)), malformed},
      {"UDP length below its header", raw, with16(query(), 24, 4), malformed},
      {"TCP data offset below 5", raw,
       with16(ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, {})), 32, 0x4018), malformed},
      {"IPv6 jumbogram", raw, with16(ipv6_packet(17, udp_query), 4, 0), malformed},
      {"empty UDP payload", raw, ipv4_packet(17, kClient, kServer, udp(1000, 53, {})), malformed},
      {"TCP message of length 0", raw, ipv4_packet(6, kClient, kServer, tcp(1000, 53, 1, {0, 0})),
       malformed},
      {"ARP", LinkType::ethernet, with16(ethernet(query()), 12, 0x0806), other},
      {"ICMP", raw, ipv4_packet(1, kClient, kServer, Bytes(16, 0)), other},
      {"neither port is the DNS port", raw,
       ipv4_packet(17, kClient, kServer, udp(1000, 5353, dns_payload(20, 1))), other},
      {"raw frame of version 5", raw, Bytes{0x50, 0, 0, 0}, other},
      {"unknown loopback family", LinkType::loopback, join({{99, 0, 0, 0}, query()}), other},
  };
  uint64_t counted = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t before = decoder->skipped().*c.counter;
    feed(c.link, c.frame);
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(decoder->skipped().*c.counter, before + 1);
    EXPECT_EQ(total_skipped(), ++counted);
  }
  EXPECT_EQ(decoder->skip_summary(),
            "1 truncated, 8 malformed, 3 fragments, 0 split TCP messages, 3 IPv6 clients, "
            "5 other packets");
}

class OnlyServersAreLocal : public LocalAddressCheck {
 public:
  bool is_local(const IpAddress& address) override {
    if (address.family == 4) return memcmp(address.bytes, kServer.data(), 4) == 0;
    return memcmp(address.bytes, ipv6_address(2).data(), 16) == 0;
  }
};

// With ipv6-clients on, an IPv6 packet is framed whatever extension headers come before
// UDP or TCP, with the address texts inet_ntop writes; a mapped address reads as the IPv4
// client it stands for, also when the host's addresses are checked. In live capture the
// server end must be local: this host's own resolver asking another server (a high port
// towards 53) is not traffic of the local DNS server.
TEST_F(Decoding, WithIpv6ClientsFramesIpv6PacketsUnmapsAddressesAndKeepsOnlyTheLocalServer) {
  const Bytes longest = join({Bytes(14, 0xFF), {0xFF, 0xFE}});
  const Bytes server = ipv6_address(2);
  const Bytes mapped_client = join({Bytes(10, 0), {0xFF, 0xFF}, kClient});
  const Bytes mapped_server = join({Bytes(10, 0), {0xFF, 0xFF}, kServer});
  const Bytes dns = dns_payload(20, 7);
  const Bytes query_udp = udp(1000, 53, dns);
  const Bytes options = {17, 0, 1, 4, 0, 0, 0, 0};  // next header UDP, a PadN option
  const Bytes remote = {198, 51, 100, 1};
  struct Case {
    const char* name;
    Bytes ip;
    const char* device;  // nullptr: skipped, and counted under counter
    const char* server;
    uint64_t SkipCounts::*counter = nullptr;
  };
  const char* kLongest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe";
  const Case cases[] = {
      {"UDP query", ipv6_packet(17, query_udp, longest, server), kLongest, "2001::2"},
      {"UDP response", ipv6_packet(17, udp(53, 1000, dns), server, longest), kLongest, "2001::2"},
      {"TCP query", ipv6_packet(6, tcp(1000, 53, 9, tcp_stream({dns})), longest, server), kLongest,
       "2001::2"},
      {"behind hop-by-hop options", ipv6_packet(0, join({options, query_udp})), "2001::1",
       "2001::2"},
      {"behind routing and destination options",
       ipv6_packet(43, join({{60, 0, 0, 0, 0, 0, 0, 0}, options, query_udp})), "2001::1",
       "2001::2"},
      {"mapped addresses", ipv6_packet(17, query_udp, mapped_client, mapped_server),
       "192.168.255.254", "10.0.0.1"},
      {"fragment", ipv6_packet(44, join({{17, 0, 0, 1, 0, 0, 0, 9}, query_udp})), nullptr, nullptr,
       &SkipCounts::fragments},
      {"this host asking another server", ipv6_packet(17, udp(33000, 53, dns), server, longest),
       nullptr, nullptr, &SkipCounts::other},
      {"IPv4 query", ipv4_packet(17, kClient, kServer, query_udp), "192.168.255.254", "10.0.0.1"},
      {"IPv4 response", ipv4_packet(17, kServer, kClient, udp(53, 1000, dns)), "192.168.255.254",
       "10.0.0.1"},
      {"this host asking over IPv4", ipv4_packet(17, kServer, remote, udp(33000, 53, dns)),
       nullptr, nullptr, &SkipCounts::other},
      {"the answer it gets", ipv4_packet(17, remote, kServer, udp(53, 33000, dns)), nullptr,
       nullptr, &SkipCounts::other},
  };
  OnlyServersAreLocal local;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset(&local, true);
    feed(LinkType::ethernet, with_link(LinkType::ethernet, c.ip));
    if (c.device == nullptr) {
      EXPECT_TRUE(delivered.empty());
      EXPECT_EQ(decoder->skipped().*c.counter, 1u);
      continue;
    }
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].device, c.device);
    EXPECT_EQ(delivered[0].server, c.server);
    EXPECT_EQ(delivered[0].is_tcp, c.ip[c.ip[0] >> 4 == 6 ? 6 : 9] == 6 ? 1 : 0);
    EXPECT_EQ(delivered[0].packet, dns);
    EXPECT_EQ(total_skipped(), 0u);
  }
}

TEST_F(Decoding, FramesTheLargestDatagramAndReusesItsBufferForAShorterOne) {
  Bytes largest = dns_payload(65535 - 20 - 8, 4);
  feed_raw(ipv4_packet(17, kClient, kServer, udp(1, 53, largest)));
  feed_raw(query(12, 2));
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0].packet, largest);
  EXPECT_EQ(delivered[1].raw.size(), wire::dns_message_size(15, 8, 12));
  EXPECT_EQ(delivered[1].packet, dns_payload(12, 2));
}

int32_t throw_on_first(const uint8_t*, uint32_t length, void* user) {
  auto* calls = static_cast<std::vector<uint32_t>*>(user);
  calls->push_back(length);
  if (calls->size() == 1) throw std::runtime_error("push(70000) failed: record too large");
  return 0;
}

TEST_F(Decoding, AHandlerThatRaisesCostsOnlyItsMessage) {
  test::LogCapture log;
  std::vector<uint32_t> calls;
  decoder->set_message_handler(throw_on_first, &calls);
  feed_raw(ipv4_packet(6, kClient, kServer,
                       tcp(1, 53, 1, tcp_stream({dns_payload(20, 1), dns_payload(30, 2)}))));
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"ERROR - Process packet failed: "
                                                     "push(70000) failed: record too large"});
}

}  // namespace
}  // namespace kx::sensor
