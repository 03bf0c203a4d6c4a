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
using kx::net::TcpConnection;
using kx::test::WatchedSockets;
using Script = std::vector<std::pair<std::string, WatchedSockets::Answer>>;

// The platform's sockets on loopback, with the given calls answered by the script.
struct Sockets : WatchedSockets {
  explicit Sockets(const Script& answers) {
    for (const auto& [call, answer] : answers) script(call, answer);
  }
  kx::test::LoopbackListener collector;
};

TEST(TcpConnection, EveryStepRaisesTheMessageOfItsFailure) {
  const int32_t some_error = 5;  // only its system text matters
  const std::string some_text = kx::logging::system_error_text(some_error);
  const WatchedSockets::Answer failed{SocketStatus::failed, some_error};
  struct Case {
    const char* name;
    Script script;
    bool send;  // a send follows the connect
    std::string expected;
    const char* ip = "127.0.0.1";
  };
  const Case cases[] = {
      {"address", {}, false, "not a dotted IPv4 address", "localhost"},
      {"non-blocking", {{"non-blocking", failed}}, false, "ioctlsocket(FIONBIO) failed: " + some_text},
      {"connect wait", {{"wait", failed}}, false, "select() failed: " + some_text},
      {"connect time-out", {{"wait", {SocketStatus::timed_out}}}, false, "select() timed out"},
      {"send of nothing", {{"send", {SocketStatus::done, 0, 0}}}, true, "send() failed: socket closed"},
  };
  const uint8_t data[3] = {1, 2, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sockets sockets(c.script);
    TcpConnection connection(sockets);
    const auto steps = [&] {
      connection.connect(c.ip, sockets.collector.port(), 7);
      if (c.send) connection.send_all(data, sizeof data);
    };
    EXPECT_THAT(steps, testing::ThrowsMessage<kx::sensor::SensorError>(c.expected));
  }
}

// Text that is not dotted IPv4 would reach connect() as 255.255.255.255 and fail there
// with a text that names neither the cause nor the value.
TEST(TcpConnection, OnlyFourDecimalPartsOfAtMostThreeDigitsUpTo255AreDottedIpv4) {
  const std::pair<const char*, bool> cases[] = {
      {"255.255.255.255", true}, {"256.1.1.1", false}, {"0001.2.3.4", false}, {"1..2.3", false},
      {"1.2.3", false}, {"1.2.3.4.5", false},
  };
  for (const auto& [ip, valid] : cases) {
    EXPECT_EQ(kx::net::is_dotted_ipv4(ip), valid) << ip;
  }
}

// A send that found no room waits for it; the rest goes from the first unsent byte.
TEST(TcpConnection, PartialAndRefusedSendsResumeFromTheFirstUnsentByte) {
  Sockets sockets({{"send", {SocketStatus::done, 0, 3}}, {"send", {SocketStatus::in_progress}},
                   {"send", {SocketStatus::done, 0, 4}}});
  TcpConnection connection(sockets);
  connection.connect("127.0.0.1", sockets.collector.port(), 7);
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  connection.send_all(data, sizeof data);
  ASSERT_TRUE(sockets.collector.wait_for_bytes(0, sizeof data, std::chrono::seconds(10)));
  EXPECT_EQ(sockets.collector.received(0), std::string(data, data + sizeof data));
}

}  // namespace
