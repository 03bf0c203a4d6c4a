#include "dnstap_output.h"

#include <fstrm.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dnstap.pb-c.h"
#include "support/test_util.h"

namespace kx::collector {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes dns_packet(bool response) {
  return {0x12, 0x34, static_cast<uint8_t>(response ? 0x81 : 0x01), 0x00, 0x00, 0x01, 0x00,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 'a',  0x00, 0x00, 0x01, 0x00, 0x01};
}

CollectedMessage message_with(const Bytes& packet, std::string_view device,
                              std::string_view server, uint8_t tcp) {
  CollectedMessage message;
  message.agent = "127.0.0.1:40000";
  message.version = "3.7.3";
  message.dns.time_seconds = 1700000000;
  message.dns.device = device;
  message.dns.server = server;
  message.dns.is_tcp = tcp;
  message.dns.packet = packet.data();
  message.dns.packet_size = packet.size();
  return message;
}

struct Unpacked {
  Dnstap__Dnstap* frame;
  explicit Unpacked(const Bytes& bytes)
      : frame(dnstap__dnstap__unpack(nullptr, bytes.size(), bytes.data())) {}
  ~Unpacked() {
    if (frame != nullptr) dnstap__dnstap__free_unpacked(frame, nullptr);
  }
};

Bytes as_bytes(const ProtobufCBinaryData& data) { return Bytes(data.data, data.data + data.len); }

TEST(DnstapEncodeTest, QueryIsAClientQueryFromTheDeviceToTheServer) {
  Bytes packet = dns_packet(false);
  Bytes encoded;
  encode_dnstap(message_with(packet, "10.0.0.5", "10.0.0.1", 0), encoded);
  Unpacked unpacked(encoded);
  ASSERT_NE(unpacked.frame, nullptr);
  const Dnstap__Dnstap& frame = *unpacked.frame;
  EXPECT_EQ(frame.type, DNSTAP__DNSTAP__TYPE__MESSAGE);
  EXPECT_EQ(as_bytes(frame.identity), Bytes(std::begin("127.0.0.1:40000"), std::end("127.0.0.1:40000") - 1));
  EXPECT_EQ(as_bytes(frame.version), (Bytes{'3', '.', '7', '.', '3'}));
  ASSERT_NE(frame.message, nullptr);
  const Dnstap__Message& m = *frame.message;
  EXPECT_EQ(m.type, DNSTAP__MESSAGE__TYPE__CLIENT_QUERY);
  EXPECT_EQ(m.socket_family, DNSTAP__SOCKET_FAMILY__INET);
  EXPECT_EQ(m.socket_protocol, DNSTAP__SOCKET_PROTOCOL__UDP);
  EXPECT_EQ(as_bytes(m.query_address), (Bytes{10, 0, 0, 5}));
  EXPECT_EQ(as_bytes(m.response_address), (Bytes{10, 0, 0, 1}));
  EXPECT_EQ(m.response_port, 53u);
  EXPECT_TRUE(m.has_query_time_sec);
  EXPECT_EQ(m.query_time_sec, 1700000000u);
  EXPECT_EQ(as_bytes(m.query_message), packet);
  EXPECT_FALSE(m.has_response_message);
  EXPECT_FALSE(m.has_response_time_sec);
}

TEST(DnstapEncodeTest, ResponseOverTcpIsAClientResponse) {
  Bytes packet = dns_packet(true);
  Bytes encoded;
  encode_dnstap(message_with(packet, "10.0.0.5", "10.0.0.1", 1), encoded);
  Unpacked unpacked(encoded);
  ASSERT_NE(unpacked.frame, nullptr);
  const Dnstap__Message& m = *unpacked.frame->message;
  EXPECT_EQ(m.type, DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE);
  EXPECT_EQ(m.socket_protocol, DNSTAP__SOCKET_PROTOCOL__TCP);
  EXPECT_EQ(m.response_time_sec, 1700000000u);
  EXPECT_EQ(as_bytes(m.response_message), packet);
  EXPECT_FALSE(m.has_query_message);
}

TEST(DnstapEncodeTest, AddressesThatAreNotIpv4) {
  Bytes packet = dns_packet(false);
  Bytes v6, unknown;
  encode_dnstap(message_with(packet, "2001:db8::5", "2001:db8::1", 0), v6);
  encode_dnstap(message_with(packet, "not-an-address", "", 0), unknown);
  Unpacked a(v6);
  Unpacked b(unknown);
  ASSERT_NE(a.frame, nullptr);
  ASSERT_NE(b.frame, nullptr);
  EXPECT_EQ(a.frame->message->socket_family, DNSTAP__SOCKET_FAMILY__INET6);
  EXPECT_EQ(a.frame->message->query_address.len, 16u);
  EXPECT_FALSE(b.frame->message->has_query_address);
  EXPECT_FALSE(b.frame->message->has_response_address);
  EXPECT_FALSE(b.frame->message->has_socket_family);
}

// Reads every data frame of a Frame Streams file.
std::vector<Bytes> read_frames(const std::string& path, std::string* content_type) {
  fstrm_file_options* file = fstrm_file_options_init();
  fstrm_file_options_set_file_path(file, path.c_str());
  fstrm_reader* reader = fstrm_file_reader_init(file, nullptr);
  fstrm_file_options_destroy(&file);
  std::vector<Bytes> frames;
  if (reader == nullptr || fstrm_reader_open(reader) != fstrm_res_success) return frames;
  const fstrm_control* start = nullptr;
  if (fstrm_reader_get_control(reader, FSTRM_CONTROL_START, &start) == fstrm_res_success) {
    const uint8_t* type = nullptr;
    size_t type_size = 0;
    if (fstrm_control_get_field_content_type(start, 0, &type, &type_size) == fstrm_res_success) {
      content_type->assign(reinterpret_cast<const char*>(type), type_size);
    }
  }
  const uint8_t* data;
  size_t size;
  while (fstrm_reader_read(reader, &data, &size) == fstrm_res_success) {
    frames.emplace_back(data, data + size);
  }
  fstrm_reader_destroy(&reader);
  return frames;
}

TEST(DnstapOutputTest, FileHoldsOneFramePerMessageInOrder) {
  kx::test::TempDir dir;
  std::string path = dir.file("out.dnstap");
  Bytes query = dns_packet(false);
  Bytes response = dns_packet(true);
  {
    DnstapOutput output({DnstapTarget::Kind::file, path, {}, {}});
    // More frames than one vectored write takes.
    for (int i = 0; i < 600; ++i) output.write(message_with(query, "10.0.0.5", "10.0.0.1", 0));
    output.flush();
    output.write(message_with(response, "10.0.0.5", "10.0.0.1", 0));
  }
  std::string content_type;
  std::vector<Bytes> frames = read_frames(path, &content_type);
  EXPECT_EQ(content_type, "protobuf:dnstap.Dnstap");
  ASSERT_EQ(frames.size(), 601u);
  Unpacked first(frames.front());
  Unpacked last(frames.back());
  ASSERT_NE(first.frame, nullptr);
  ASSERT_NE(last.frame, nullptr);
  EXPECT_EQ(first.frame->message->type, DNSTAP__MESSAGE__TYPE__CLIENT_QUERY);
  EXPECT_EQ(last.frame->message->type, DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE);
}

TEST(DnstapOutputTest, UnreachableReceiverFailsAtStart) {
  kx::test::TempDir dir;
  EXPECT_THROW(DnstapOutput({DnstapTarget::Kind::unix_socket, dir.file("none.sock"), {}, {}}),
               std::exception);
}

}  // namespace
}  // namespace kx::collector
