#include "net/tcp_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "support/loopback.h"

namespace {

using kx::net::SocketStatus;
using kx::test::WatchedSockets;

// Text that is not dotted IPv4 (four parts of up to three digits, none over 255) would reach
// connect() as 255.255.255.255 and fail there with a text that names neither cause nor value.
TEST(TcpConnection, EveryStepOfAConnectRaisesTheMessageOfItsFailure) {
  const WatchedSockets::Answer failed{SocketStatus::failed, 5};  // only its system text matters
  const std::string some_text = kx::logging::system_error_text(failed.code);
  const std::string not_dotted = "not a dotted IPv4 address";
  struct Case {
    const char* ip;
    std::vector<std::pair<std::string, WatchedSockets::Answer>> script;
    std::string expected;
  };
  const Case cases[] = {
      {"127.0.0.1", {{"non-blocking", failed}}, "ioctlsocket(FIONBIO) failed: " + some_text},
      {"127.0.0.1", {{"wait", failed}}, "select() failed: " + some_text},
      {"127.0.0.1", {{"wait", {SocketStatus::timed_out}}}, "select() timed out"},
      {"255.255.255.255", {{"connect", failed}}, "connect(255.255.255.255) failed: " + some_text},
      {"256.1.1.1", {}, not_dotted},
      {"0001.2.3.4", {}, not_dotted},
      {"localhost", {}, not_dotted},
      {"1.2.3", {}, not_dotted},
      {"1.2.3.4.5", {}, not_dotted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ip + (c.script.empty() ? "" : " " + c.script[0].first));
    kx::test::LoopbackListener collector;
    WatchedSockets sockets;
    for (const auto& [call, answer] : c.script) sockets.script(call, answer);
    kx::net::TcpConnection connection(sockets);
    EXPECT_THAT([&] { connection.connect(c.ip, collector.port(), 7); },
                testing::ThrowsMessage<kx::sensor::SensorError>(c.expected));
  }
}

// A send that found no room waits for it, as the connect does, up to the time-out given;
// the rest goes from the first unsent byte.
TEST(TcpConnection, PartialAndRefusedSendsResumeFromTheFirstUnsentByte) {
  kx::test::LoopbackListener collector;
  WatchedSockets sockets;
  sockets.script("send", {SocketStatus::done, 0, 3});
  sockets.script("send", {SocketStatus::in_progress});
  sockets.script("send", {SocketStatus::done, 0, 4});
  kx::net::TcpConnection connection(sockets);
  connection.connect("127.0.0.1", collector.port(), 7);
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  connection.send_all(data, sizeof data);
  EXPECT_EQ(sockets.take_calls(), (std::vector<std::string>{"open", "non-blocking", "connect", "wait 7",
                                     "send 10@0", "send 7@3", "wait 7", "send 7@3", "send 3@7"}));
  ASSERT_TRUE(collector.wait_for_bytes(0, sizeof data, std::chrono::seconds(10)));
  EXPECT_EQ(collector.received(0), std::string(data, data + sizeof data));
}

}  // namespace
