#include "pcap_frame.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <memory>
#include <string>
#include <utility>

#include "collector/builders.h"
#include "pcap_output.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

TEST(InternetChecksumTest, MatchesKnownSums) {
  // The example of RFC 1071, section 3 (sum ddf2, checksum its complement); an odd length
  // pads with a zero byte.
  const std::pair<Bytes, uint16_t> cases[] = {
      {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d}, {{0x01}, 0xfeff}, {{}, 0xffff}};
  for (const auto& [data, expected] : cases) {
    EXPECT_EQ(internet_checksum(data.data(), data.size()), expected);
  }
}

TEST(FrameBuilderTest, PacketTooLargeForOneDatagramIsCutToFit) {
  Bytes packet(70000, 0xab);
  FrameBuilder builder;
  for (uint8_t tcp : {0, 1}) {
    Bytes frame =
        builder.build({1700000000, "10.0.0.5", "10.0.0.1", tcp, packet.data(), packet.size()});
    EXPECT_EQ(frame.size(), 65535u);
    // The IP total length, then the UDP length or the DNS length prefix over TCP.
    EXPECT_EQ(wire::load_be16(&frame[2]), 65535);
    EXPECT_EQ(wire::load_be16(&frame[tcp ? 40 : 24]), tcp ? 65535 - 42 : 65535 - 20);
  }
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
