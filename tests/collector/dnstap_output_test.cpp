#include "dnstap_output.h"

#include <arpa/inet.h>
#include <fstrm.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "collector/builders.h"
#include "dnstap.pb-c.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

std::string text(const ProtobufCBinaryData& data) {
  return std::string(reinterpret_cast<const char*>(data.data), data.len);
}

// The bytes of an IPv4 or IPv6 address text as the C library reads it; empty for other text.
std::string address_bytes(const char* address) {
  char bytes[16];
  if (inet_pton(AF_INET, address, bytes) == 1) return std::string(bytes, 4);
  if (inet_pton(AF_INET6, address, bytes) == 1) return std::string(bytes, 16);
  return "";
}

TEST(DnstapEncodeTest, EachMessageIsAClientQueryOrResponseFromTheDeviceToTheServer) {
  // Response or query, device, server, TCP, and the family given (0: none).
  const std::tuple<bool, const char*, const char*, uint8_t, int> cases[] = {
      {true, "10.0.0.5", "10.0.0.1", 1, DNSTAP__SOCKET_FAMILY__INET},
      {false, "2001:db8::5", "10.0.0.1", 0, DNSTAP__SOCKET_FAMILY__INET6},
      {false, "not-an-address", "", 0, 0}};
  for (const auto& [response, device, server, tcp, family] : cases) {
    SCOPED_TRACE(device);
    Bytes packet = example_packet(response);
    Bytes encoded;
    encode_dnstap(collected(packet, device, server, tcp), encoded);
    std::unique_ptr<Dnstap__Dnstap, void (*)(Dnstap__Dnstap*)> frame(
        dnstap__dnstap__unpack(nullptr, encoded.size(), encoded.data()),
        [](Dnstap__Dnstap* unpacked) { dnstap__dnstap__free_unpacked(unpacked, nullptr); });
    ASSERT_TRUE(frame && frame->message);
    const Dnstap__Message& m = *frame->message;
    EXPECT_EQ(m.type, response ? DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE
                               : DNSTAP__MESSAGE__TYPE__CLIENT_QUERY);
    EXPECT_EQ(m.socket_protocol, tcp ? DNSTAP__SOCKET_PROTOCOL__TCP : DNSTAP__SOCKET_PROTOCOL__UDP);
    EXPECT_EQ(m.has_socket_family ? static_cast<int>(m.socket_family) : 0, family);
    EXPECT_EQ(m.has_query_address ? text(m.query_address) : "", address_bytes(device));
    EXPECT_EQ(m.has_response_address ? text(m.response_address) : "", address_bytes(server));
    EXPECT_EQ(m.response_port, 53u);
    // The packet and the event time go in the fields of its direction only.
    EXPECT_EQ(m.has_query_message, !response);
    EXPECT_EQ(m.has_response_message, response);
    EXPECT_EQ(text(response ? m.response_message : m.query_message), kx::test::text(packet));
    EXPECT_EQ(m.has_query_time_sec, !response);
    EXPECT_EQ(m.has_response_time_sec, response);
    EXPECT_EQ(response ? m.response_time_sec : m.query_time_sec, 1700000000u);
  }
}

// The number of data frames in a Frame Streams file, as fstrm reads it.
size_t frame_count(const std::string& path) {
  fstrm_file_options* file = fstrm_file_options_init();
  fstrm_file_options_set_file_path(file, path.c_str());
  fstrm_reader* reader = fstrm_file_reader_init(file, nullptr);
  fstrm_file_options_destroy(&file);
  size_t count = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (reader != nullptr && fstrm_reader_open(reader) == fstrm_res_success) {
    while (fstrm_reader_read(reader, &data, &size) == fstrm_res_success) ++count;
  }
  fstrm_reader_destroy(&reader);
  return count;
}

// A reopen without a rename goes on with the file. Frame Streams cannot be continued: a
// second output starts a file beside it, and after a rename a reopen starts a new file.
TEST(DnstapOutputTest, ReopenGoesOnWithTheFileOrStartsANewOneAtItsPath) {
  kx::test::TempDir dir;
  std::string path = dir.file("out.dnstap");
  Bytes query = example_packet(false);
  {
    DnstapOutput output({DnstapTarget::Kind::file, path, {}, {}});
    output.write(collected(query));
    output.reopen();
    output.write(collected(query));
  }
  {
    DnstapOutput beside({DnstapTarget::Kind::file, path, {}, {}});
    EXPECT_EQ(beside.file_path(), path + ".1");
    beside.write(collected(query));
    ASSERT_EQ(rename((path + ".1").c_str(), (path + ".old").c_str()), 0);
    beside.reopen();
    EXPECT_EQ(beside.file_path(), path + ".1");
    beside.write(collected(query));
  }
  EXPECT_EQ(frame_count(path), 2u);
  EXPECT_EQ(frame_count(path + ".old"), 1u);
  EXPECT_EQ(frame_count(path + ".1"), 1u);
}

// A receiver that accepts and never answers the handshake costs the start at most the
// handshake limit; the collector runs on, counting the frames it cannot deliver, and
// goes on trying. (A missing receiver is shown end to end.)
TEST(DnstapOutputTest, SilentReceiverAtStartIsRetriedAndItsFramesCounted) {
  kx::test::TempDir dir;
  kx::test::HungListener receiver;  // the backlog completes connects; nobody answers
  std::string port = std::to_string(receiver.port());
  FILE* diagnostics = fopen(dir.file("stderr").c_str(), "w+");
  ReceiverLimits limits;
  limits.handshake_milliseconds = 200;
  limits.retry_milliseconds = 50;
  auto start = std::chrono::steady_clock::now();
  {
    DnstapOutput output({DnstapTarget::Kind::tcp_socket, {}, "127.0.0.1", port}, -1, limits,
                        diagnostics);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(output.connected());
    Bytes query = example_packet(false);
    output.write(collected(query));
    output.write(collected(query));
    output.flush();
    EXPECT_EQ(output.dropped(), 2u);
    // Later attempts run on their own thread while the loop's timer ticks.
    pollfd tick = {output.event_descriptor(), POLLIN, 0};
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(poll(&tick, 1, 5000), 1);
      output.serve_events();
    }
    EXPECT_GE(output.errors(), 1u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  fclose(diagnostics);
  EXPECT_EQ(kx::test::split_lines(kx::test::read_file(dir.file("stderr"))),
            (std::vector<std::string>{
                "collector: dnstap receiver 127.0.0.1:" + port +
                    " unavailable (timed out waiting to complete the handshake); retrying",
                "collector: dnstap receiver 127.0.0.1:" + port + ": 2 frames dropped"}));
}

}  // namespace
}  // namespace kx::collector
