#include "sensor/packet_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/frames.h"
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

// DNS data beginning with an ID, so that copies are told apart.
Bytes dns_payload(size_t size, uint8_t fill) { return join({{0x12, 0x34}, Bytes(size - 2, fill)}); }
const Bytes kDns = dns_payload(20, 1);

Bytes query(const Bytes& dns = kDns) { return ipv4_packet(17, kClient, kServer, udp(1000, 53, dns)); }

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
  return 0;
}

class OnlyServersAreLocal : public LocalAddressCheck {
 public:
  bool is_local(const IpAddress& a) override {
    return Bytes(a.bytes, a.bytes + (a.family == 4 ? 4 : 16)) == (a.family == 4 ? kServer : kV6Server);
  }
};

// The messages of frames fed in order to a fresh decoder for port 53, then its skip summary.
Lines decode(LinkType link, const std::vector<Bytes>& frames) {
  OnlyServersAreLocal local;
  PacketDecoder decoder(53, &local, true);  // IPv6 clients too
  Lines out;
  decoder.set_message_handler(keep_message, &out);
  for (const Bytes& f : frames) decoder.process_frame(link, 1700000000, f.data(), f.size());
  out.push_back(decoder.skip_summary());
  return out;
}

Bytes with16(Bytes frame, size_t at, uint16_t v) {
  frame[at] = static_cast<uint8_t>(v >> 8);
  frame[at + 1] = static_cast<uint8_t>(v);
  return frame;
}

// Each frame yields its message, or none and one count under its reason, or nothing for
// the outgoing copy of a loopback packet, which the "any" device also shows coming in.
// IPv6 addresses read as inet_ntop writes them, a mapped one as the IPv4 address it stands
// for, also to the host's address check. The server end must be local: this host's own
// resolver asking another server is not the local DNS server's traffic.
TEST(Decoding, FramesEachFrameOrCountsItUnderItsReason) {
  const Bytes udp_query = udp(1000, 53, kDns);
  const Bytes longest = join({Bytes(14, 0xFF), {0xFF, 0xFE}});
  const Bytes mapped_client = join({Bytes(10, 0), {0xFF, 0xFF}, kClient});
  const Bytes mapped_server = join({Bytes(10, 0), {0xFF, 0xFF}, kServer});
  const Bytes stream = tcp_stream({kDns});
  const Bytes padding(6, 0xEE);  // behind the datagram, like Ethernet's: not part of it
  // A TCP header of 8 words: 12 bytes of options, as timestamps take.
  const Bytes tcp_options = join({with16(tcp(1000, 53, 1, {}), 12, 0x8018), Bytes(12, 1), stream});
  const std::string v6_head = "1700000000 ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe 2001::2 ";
  auto v6 = [](uint8_t next, const Bytes& payload, const Bytes& from = kV6Client,
               const Bytes& to = kV6Server) { return ipv6_packet(next, payload, from, to); };
  const auto raw = LinkType::raw_ip;
  const auto eth = LinkType::ethernet;
  const auto sll = LinkType::linux_sll;
  const auto sll2 = LinkType::linux_sll2;
  const struct {
    const char* name;
    LinkType link;
    Bytes frame;
    std::string head = "";    // of the message framed, if any
    std::string reason = "";  // that the frame counts under, if any
  } cases[] = {
      {"ethernet, padded", eth, join({with_link(eth, tcp_query(1000, 1, stream)), padding}), kTcpHead},
      {"ethernet, VLAN tag", eth, join({Bytes(12, 0xAA), {0x81, 0, 0, 42, 8, 0}, query()}), kUdpHead},
      {"sll, lo going out", sll, with_link(sll, query(), kPacketOutgoing, kArphrdLoopback), ""},
      {"sll, lo coming in", sll, with_link(sll, query(), 0, kArphrdLoopback), kUdpHead},
      {"sll, going out", sll, with_link(sll, query(), kPacketOutgoing), kUdpHead},
      {"sll2, lo going out", sll2, with_link(sll2, query(), kPacketOutgoing, kArphrdLoopback), ""},
      {"sll2, lo coming in", sll2, with_link(sll2, query(), 0, kArphrdLoopback), kUdpHead},
      {"sll2, going out", sll2, with_link(sll2, query(), kPacketOutgoing), kUdpHead},
      {"loopback", LinkType::loopback, with_link(LinkType::loopback, query()), kUdpHead},
      {"TCP with options", raw, ipv4_packet(6, kClient, kServer, tcp_options), kTcpHead},
      {"IPv6 UDP query", eth, with_link(eth, v6(17, udp_query, longest)), v6_head + "0"},
      {"IPv6 TCP, padded", raw, join({v6(6, tcp(1000, 53, 9, stream), longest), padding}), v6_head + "1"},
      {"mapped response", raw, v6(17, udp(53, 1000, kDns), mapped_server, mapped_client), kUdpHead},
      {"more fragments", raw, ipv4_packet(17, kClient, kServer, udp_query, 0x2000), "", "fragments"},
      {"IPv6 fragment", raw, v6(44, join({{17, 0, 0, 1, 0, 0, 0, 9}, udp_query})), "", "fragments"},
      {"IPv4 total length past the frame", raw, with16(query(), 2, 100), "", "truncated"},
      {"IPv6 payload length past the frame", raw, with16(v6(17, udp_query), 4, 100), "", "truncated"},
      {"UDP length past the datagram", raw, with16(query(), 24, 100), "", "truncated"},
      {"TCP header past the segment", raw, with16(tcp_query(1000, 1, {}), 32, 0xF018), "", "truncated"},
      {"header length below 20", raw, with16(query(), 0, 0x4400), "", "malformed"},
      {"total length below header", raw, with16(query(), 2, 10), "", "malformed"},
      {"IPv4 type, other version", eth, with16(with_link(eth, query()), 14, 0x6500), "", "malformed"},
      {"UDP length below its header", raw, with16(query(), 24, 4), "", "malformed"},
      {"TCP data offset below 5", raw, with16(tcp_query(1000, 1, {}), 32, 0x4018), "", "malformed"},
      {"IPv6 jumbogram", raw, with16(v6(17, udp_query), 4, 0), "", "malformed"},
      {"empty UDP payload", raw, query({}), "", "malformed"},
      {"TCP message of length 0", raw, tcp_query(1000, 1, {0, 0}), "", "malformed"},
      {"ARP", eth, with16(with_link(eth, query()), 12, 0x0806), "", "other"},
      {"ICMP", raw, ipv4_packet(1, kClient, kServer, Bytes(16, 0)), "", "other"},
      {"no DNS port", raw, ipv4_packet(17, kClient, kServer, udp(1000, 5353, kDns)), "", "other"},
      {"unknown loopback family", LinkType::loopback, join({{99, 0, 0, 0}, query()}), "", "other"},
      {"this host asking", raw, v6(17, udp(33000, 53, kDns), kV6Server, longest), "", "other"},
      {"its answer", raw, ipv4_packet(17, {198, 51, 100, 1}, kServer, udp(53, 33000, kDns)), "", "other"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines expected = {c.reason.empty() ? kNoSkips : one_skipped(c.reason)};
    if (!c.head.empty()) expected.insert(expected.begin(), message(c.head, kDns));
    EXPECT_EQ(decode(c.link, {c.frame}), expected);
  }
}

// Every message of a segment is framed, in order; the largest datagram fits, and the
// buffer it took serves the shorter message after it.
TEST(Decoding, FramesEveryMessageOfASegmentInOrderAndTheLargestDatagram) {
  const Bytes dns[] = {dns_payload(30, 1), dns_payload(12, 2), dns_payload(65535 - 20 - 8, 4)};
  EXPECT_EQ(decode(LinkType::raw_ip,
                   {tcp_query(4000, 1, tcp_stream({dns[0], dns[1]})), query(dns[2]), query(dns[1])}),
            (Lines{message(kTcpHead, dns[0]), message(kTcpHead, dns[1]), message(kUdpHead, dns[2]),
                   message(kUdpHead, dns[1]), kNoSkips}));
}

// A message split across segments is counted once; its remaining bytes in the flow's
// next segments must not be read as messages, and what follows it is framed again. A
// message of another flow between the parts is framed as usual.
TEST(Decoding, PassesOverTheRestOfASplitMessageAndLeavesOtherFlowsAlone) {
  const Bytes after = dns_payload(25, 0x88);
  const Bytes other = dns_payload(40, 2);
  const Bytes stream = tcp_stream({dns_payload(300, 0x77), after});
  auto part = [&](size_t from, size_t to) {
    return tcp_query(4000, 1000 + from, Bytes(stream.begin() + from, stream.begin() + to));
  };
  // Where the stream is cut into three segments.
  const size_t cuts[][2] = {
      {100, stream.size()},  // inside the message: its rest and the next message together
      {1, 151},              // after the first length byte: the rest over two segments
  };
  for (const auto& [first, second] : cuts) {
    SCOPED_TRACE("first cut " + std::to_string(first));
    EXPECT_EQ(decode(LinkType::raw_ip, {part(0, first), tcp_query(4001, 1, tcp_stream({other})),
                                        part(first, second), part(second, stream.size())}),
              (Lines{message(kTcpHead, other), message(kTcpHead, after),
                     one_skipped("split TCP messages")}));
  }
}

}  // namespace
}  // namespace kx::sensor
