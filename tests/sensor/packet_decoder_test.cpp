#include "sensor/packet_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/frames.h"
#include "support/log_capture.h"
#include "wire/wire_format.h"

namespace kx::sensor {
namespace {

using namespace test::frames;
using Lines = std::vector<std::string>;

// A client of the longest address text, a server with zero and one-digit parts.
const Bytes kClient = {192, 168, 255, 254};
const Bytes kServer = {10, 0, 0, 1};
const Bytes kV6Client = join({{0x20, 0x01}, Bytes(13, 0), {1}});
const Bytes kV6Server = join({{0x20, 0x01}, Bytes(13, 0), {2}});
const std::string kUdpHead = "1700000000 192.168.255.254 10.0.0.1 0";
const std::string kTcpHead = "1700000000 192.168.255.254 10.0.0.1 1";
const std::string kNoSkips = "0 truncated, 0 malformed, 0 fragments, 0 split TCP messages, "
                             "0 IPv6 clients, 0 other packets";
constexpr uint8_t kRefused = 0xF0;  // the handler raises for DNS data of this fill

// DNS data beginning with an ID, so that copies are told apart.
Bytes dns_payload(size_t size, uint8_t fill) { return join({{0x12, 0x34}, Bytes(size - 2, fill)}); }

Bytes query(const Bytes& dns = dns_payload(20, 1)) {
  return ipv4_packet(17, kClient, kServer, udp(1000, 53, dns));
}

Bytes tcp_query(uint16_t port, uint32_t sequence, const Bytes& data) {
  return ipv4_packet(6, kClient, kServer, tcp(port, 53, sequence, data));
}

// A delivered message as "time device server is_tcp" and its DNS bytes.
std::string message(const std::string& head, const Bytes& dns) {
  return head + " " + std::string(dns.begin(), dns.end());
}

// The skip summary with one count under reason.
std::string one_skipped(const std::string& reason) {
  return std::string(kNoSkips).replace(kNoSkips.find("0 " + reason), 1, "1");
}

int32_t keep_message(const uint8_t* data, uint32_t length, void* user) {
  wire::DnsMessageView v;
  EXPECT_EQ(wire::parse_dns_message(data, length, &v), wire::ParseResult::ok);
  std::string head = std::to_string(v.time_seconds) + " " + std::string(v.device) + " " +
                     std::string(v.server) + " " + std::to_string(v.is_tcp);
  static_cast<Lines*>(user)->push_back(message(head, Bytes(v.packet, v.packet + v.packet_size)));
  if (v.packet_size > 2 && v.packet[2] == kRefused) {
    throw std::runtime_error("push(70000) failed: record too large");
  }
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
  void feed(const Bytes& frame, LinkType link = LinkType::raw_ip) {
    decoder->process_frame(link, 1700000000, frame.data(), frame.size());
  }

  std::unique_ptr<PacketDecoder> decoder;
  Lines delivered;
};

class OnlyServersAreLocal : public LocalAddressCheck {
 public:
  bool is_local(const IpAddress& a) override {
    return a.family == 4 ? Bytes(a.bytes, a.bytes + 4) == kServer
                         : Bytes(a.bytes, a.bytes + 16) == kV6Server;
  }
};

// The frame with two bytes at an offset replaced.
Bytes with16(Bytes frame, size_t at, uint16_t v) {
  frame[at] = static_cast<uint8_t>(v >> 8);
  frame[at + 1] = static_cast<uint8_t>(v);
  return frame;
}

// Each frame yields its message, or none and one count under its reason, or, for the
// outgoing copy of a loopback packet that the "any" device also shows coming in, nothing
// at all. With ipv6-clients on, an IPv6 packet is framed whatever extension headers come
// before UDP or TCP, with the address texts inet_ntop writes; a mapped address reads as
// the IPv4 address it stands for, also when the host's addresses are checked. The server
// end must be local: this host's own resolver asking another server is not traffic of
// the local DNS server.
TEST_F(Decoding, FramesEachFrameOrCountsItUnderItsReason) {
  const Bytes dns = dns_payload(20, 1);
  const Bytes udp_query = udp(1000, 53, dns);
  const Bytes longest = join({Bytes(14, 0xFF), {0xFF, 0xFE}});
  const Bytes mapped_client = join({Bytes(10, 0), {0xFF, 0xFF}, kClient});
  const Bytes mapped_server = join({Bytes(10, 0), {0xFF, 0xFF}, kServer});
  const Bytes remote = {198, 51, 100, 1};
  const Bytes extensions = {43, 0, 0, 0, 0, 0, 0, 0, 60, 0, 0, 0, 0, 0, 0, 0,
                            17, 0, 1, 4, 0, 0, 0, 0};  // routing, PadN destination option
  const Bytes stream = tcp_stream({dns});
  const Bytes padding(6, 0xEE);  // behind the datagram, like Ethernet's: not part of it
  // A TCP header of 8 words: 12 bytes of options, as timestamps take.
  const Bytes tcp_options = join({with16(tcp(1000, 53, 1, {}), 12, 0x8018), Bytes(12, 1), stream});
  const std::string longest_head = "1700000000 ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe 2001::2 ";
  auto v6 = [](uint8_t next, const Bytes& payload, const Bytes& from = kV6Client,
               const Bytes& to = kV6Server) { return ipv6_packet(next, payload, from, to); };
  const auto raw = LinkType::raw_ip;
  const auto eth = LinkType::ethernet;
  const auto sll = LinkType::linux_sll;
  const auto sll2 = LinkType::linux_sll2;
  const auto loop = LinkType::loopback;
  const struct {
    const char* name;
    LinkType link;
    Bytes frame;
    std::string head = "";    // of the message framed, if any
    std::string reason = "";  // that the frame counts under, if any
    bool ipv6_clients = true;
  } cases[] = {
      {"ethernet, padded", eth, join({with_link(eth, tcp_query(1000, 1, stream)), padding}), kTcpHead},
      {"ethernet with a VLAN tag", eth, join({Bytes(12, 0xAA), {0x81, 0, 0, 42, 8, 0}, query()}),
       kUdpHead},
      {"sll, lo going out", sll, with_link(sll, query(), kPacketOutgoing, kArphrdLoopback), ""},
      {"sll, lo coming in", sll, with_link(sll, query(), 0, kArphrdLoopback), kUdpHead},
      {"sll, going out", sll, with_link(sll, query(), kPacketOutgoing), kUdpHead},
      {"sll2, lo going out", sll2, with_link(sll2, query(), kPacketOutgoing, kArphrdLoopback), ""},
      {"sll2, lo coming in", sll2, with_link(sll2, query(), 0, kArphrdLoopback), kUdpHead},
      {"sll2, going out", sll2, with_link(sll2, query(), kPacketOutgoing), kUdpHead},
      {"loopback", loop, with_link(loop, query()), kUdpHead},
      {"loopback, big-endian family", loop, join({{0, 0, 0, 2}, query()}), kUdpHead},
      {"TCP with options", raw, ipv4_packet(6, kClient, kServer, tcp_options), kTcpHead},
      {"IPv6 UDP query", eth, with_link(eth, v6(17, udp_query, longest)), longest_head + "0"},
      {"IPv6 UDP response", raw, v6(17, udp(53, 1000, dns), kV6Server, longest), longest_head + "0"},
      {"IPv6 TCP query, padded", raw, join({v6(6, tcp(1000, 53, 9, stream), longest), padding}),
       longest_head + "1"},
      {"behind hop-by-hop, routing and destination options", raw,
       v6(0, join({extensions, udp_query})), "1700000000 2001::1 2001::2 0"},
      {"mapped query", raw, v6(17, udp_query, mapped_client, mapped_server), kUdpHead},
      {"mapped response", raw, v6(17, udp(53, 1000, dns), mapped_server, mapped_client), kUdpHead},
      {"IPv6 with ipv6-clients off", raw, v6(6, tcp(53, 1000, 5, stream), kV6Server), "",
       "IPv6 clients", false},
      {"more fragments", raw, ipv4_packet(17, kClient, kServer, udp_query, 0x2000), "", "fragments"},
      {"fragment offset", raw, ipv4_packet(17, kClient, kServer, udp_query, 0x0010), "", "fragments"},
      {"IPv6 fragment", raw, v6(44, join({{17, 0, 0, 1, 0, 0, 0, 9}, udp_query})), "", "fragments"},
      {"header length below 20", raw, with16(query(), 0, 0x4400), "", "malformed"},
      {"total length below header", raw, with16(query(), 2, 10), "", "malformed"},
      {"IPv4 frame holding another version", eth, with16(with_link(eth, query()), 14, 0x6500), "",
       "malformed"},
      {"UDP length below its header", raw, with16(query(), 24, 4), "", "malformed"},
      {"TCP data offset below 5", raw, with16(tcp_query(1000, 1, {}), 32, 0x4018), "", "malformed"},
      {"IPv6 jumbogram", raw, with16(v6(17, udp_query), 4, 0), "", "malformed"},
      {"empty UDP payload", raw, query({}), "", "malformed"},
      {"TCP message of length 0", raw, tcp_query(1000, 1, {0, 0}), "", "malformed"},
      {"ARP", eth, with16(with_link(eth, query()), 12, 0x0806), "", "other"},
      {"ICMP", raw, ipv4_packet(1, kClient, kServer, Bytes(16, 0)), "", "other"},
      {"neither port is the DNS port", raw, ipv4_packet(17, kClient, kServer, udp(1000, 5353, dns)), "",
       "other"},
      {"raw frame of version 5", raw, Bytes{0x50, 0, 0, 0}, "", "other"},
      {"unknown loopback family", loop, join({{99, 0, 0, 0}, query()}), "", "other"},
      {"this host asking another server", raw, v6(17, udp(33000, 53, dns), kV6Server, longest), "",
       "other"},
      {"the answer it gets", raw, ipv4_packet(17, remote, kServer, udp(53, 33000, dns)), "", "other"},
  };
  OnlyServersAreLocal local;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset(&local, c.ipv6_clients);
    feed(c.frame, c.link);
    EXPECT_EQ(delivered, c.head.empty() ? Lines{} : Lines{message(c.head, dns)});
    EXPECT_EQ(decoder->skip_summary(), c.reason.empty() ? kNoSkips : one_skipped(c.reason));
  }
}

// A segment without data is no loss. A handler that raises costs only its message: one
// error line, and the segment's next message is still framed.
TEST_F(Decoding, FramesEveryMessageOfASegmentInOrderAndNoneOfAnEmptyOne) {
  test::LogCapture log;
  feed(tcp_query(4000, 1, {}));
  const Bytes dns[] = {dns_payload(30, kRefused), dns_payload(12, 2), dns_payload(200, 3)};
  feed(tcp_query(4000, 1, tcp_stream({dns[0], dns[1], dns[2]})));
  EXPECT_EQ(delivered,
            (Lines{message(kTcpHead, dns[0]), message(kTcpHead, dns[1]), message(kTcpHead, dns[2])}));
  EXPECT_EQ(decoder->skip_summary(), kNoSkips);
  EXPECT_EQ(log.messages(),
            Lines{"ERROR - Process packet failed: push(70000) failed: record too large"});
}

// A message split across segments is counted once; its remaining bytes in the flow's
// next segments must not be read as messages, and what follows it is framed again. A
// message of another flow between the parts is framed as usual.
TEST_F(Decoding, PassesOverTheRestOfASplitMessageAndLeavesOtherFlowsAlone) {
  const Bytes after = dns_payload(25, 0x88);
  const Bytes other = dns_payload(40, 2);
  const Bytes stream = tcp_stream({dns_payload(300, 0x77), after});
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
    size_t at = 0;
    for (size_t length : {cut[0], cut[1], stream.size()}) {
      size_t end = std::min(stream.size(), at + length);
      feed(tcp_query(4000, 1000 + at, Bytes(stream.begin() + at, stream.begin() + end)));
      if (at == 0) feed(tcp_query(4001, 1, tcp_stream({other})));
      at = end;
    }
    EXPECT_EQ(delivered, (Lines{message(kTcpHead, other), message(kTcpHead, after)}));
    EXPECT_EQ(decoder->skip_summary(), one_skipped("split TCP messages"));
  }
}

// Every cut of a valid frame short of its end leaves headers or lengths running past the
// captured bytes.
TEST_F(Decoding, CountsEveryTruncationOfAFrameAsTruncated) {
  const Bytes tcp = tcp_query(1000, 1, tcp_stream({dns_payload(20, 1)}));
  const std::pair<LinkType, Bytes> frames[] = {
      {LinkType::ethernet, query()},
      {LinkType::linux_sll, tcp},
      {LinkType::linux_sll2, ipv6_packet(17, udp(1000, 53, dns_payload(20, 1)), kV6Client, kV6Server)},
      {LinkType::loopback, query()},
      {LinkType::raw_ip, tcp},
  };
  for (const auto& [link, ip] : frames) {
    Bytes frame = with_link(link, ip);
    for (size_t size = 0; size < frame.size(); ++size) {
      SCOPED_TRACE("link " + std::to_string(static_cast<int>(link)) + ", " + std::to_string(size));
      reset();
      decoder->process_frame(link, 1, frame.data(), size);
      EXPECT_TRUE(delivered.empty());
      EXPECT_EQ(decoder->skip_summary(), one_skipped("truncated"));
    }
  }
}

TEST_F(Decoding, FramesTheLargestDatagramAndReusesItsBufferForAShorterOne) {
  const Bytes largest = dns_payload(65535 - 20 - 8, 4);
  feed(query(largest));
  feed(query(dns_payload(12, 2)));
  EXPECT_EQ(delivered, (Lines{message(kUdpHead, largest), message(kUdpHead, dns_payload(12, 2))}));
}

}  // namespace
}  // namespace kx::sensor
