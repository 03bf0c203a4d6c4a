#include "net/tcp_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "support/loopback.h"

namespace {

using kx::net::PeerState;
using kx::net::SocketStatus;
using kx::net::TcpConnection;
using kx::test::WatchedSockets;
using Answer = WatchedSockets::Answer;
using Calls = std::vector<std::string>;
using Script = std::vector<std::pair<std::string, Answer>>;

constexpr int32_t kSomeError = 5;  // only its system text matters
const std::string kSomeText = kx::logging::system_error_text(kSomeError);
const Answer kOk{};
const Answer kFailed{SocketStatus::failed, kSomeError};
const Answer kBusy{SocketStatus::in_progress};
const Answer kTimedOut{SocketStatus::timed_out};
Answer peer(PeerState state) { return {SocketStatus::done, kSomeError, UINT32_MAX, state}; }

// The platform's sockets on loopback, with the given calls answered by the script.
struct Sockets : WatchedSockets {
  explicit Sockets(const Script& answers) {
    for (const auto& [call, answer] : answers) script(call, answer);
  }
  kx::test::LoopbackListener collector;
};

std::string message_of(const std::function<void()>& step) {
  try {
    step();
    return "(no error)";
  } catch (const kx::sensor::SensorError& error) {
    return error.what();
  }
}

TEST(TcpConnection, EveryStepRaisesTheMessageOfItsFailure) {
  struct Case {
    const char* name;
    Script script;
    char then;  // after the connect: 'c' nothing, 's' a send, 'z' a send of 0 bytes, 'o' check_open
    std::string expected;
    Calls last_calls = {};  // when given: the calls the case ends with
  };
  const Calls connected = {"connect", "wait 7", "pending-error"};
  const std::string connect_failed = "connect(127.0.0.1) failed: " + kSomeText;
  const Case cases[] = {
      {"socket", {{"open", kFailed}}, 'c', "socket() failed: " + kSomeText},
      {"non-blocking", {{"non-blocking", kFailed}}, 'c', "ioctlsocket(FIONBIO) failed: " + kSomeText},
      {"connect", {{"connect", kFailed}}, 'c', connect_failed},
      // Writability is what counts as established, also after a connect done at once.
      {"connect done at once", {{"connect", kOk}, {"wait", kOk}}, 'c', "(no error)", connected},
      {"connect wait", {{"wait", kFailed}}, 'c', "select() failed: " + kSomeText},
      {"connect time-out", {{"wait", kTimedOut}}, 'c', "select() timed out"},
      {"refused after the wait", {{"pending-error", {SocketStatus::done, kSomeError}}}, 'c', connect_failed},
      {"pending error unreadable", {{"pending-error", kFailed}}, 'c',
       "getsockopt(SO_ERROR) failed: " + kSomeText},
      {"send", {{"send", kFailed}}, 's', "send() failed: " + kSomeText},
      {"send of nothing", {{"send", {SocketStatus::done, 0, 0}}}, 's', "send() failed: socket closed"},
      {"send time-out", {{"send", kBusy}, {"wait", kOk}, {"wait", kTimedOut}}, 's', "select() timed out"},
      {"wait for room", {{"send", kBusy}, {"wait", kOk}, {"wait", kFailed}}, 's',
       "select() failed: " + kSomeText},
      {"zero bytes call nothing", {{"send", kFailed}}, 'z', "(no error)", {"pending-error"}},
      // A look at the peer waits for nothing and takes nothing.
      {"peer open", {{"peer-state", peer(PeerState::open)}}, 'o', "(no error)",
       {"pending-error", "peer-state"}},
      {"peer closed", {{"peer-state", peer(PeerState::closed)}}, 'o', "send() failed: socket closed",
       {"pending-error", "peer-state"}},
      {"peer reset", {{"peer-state", peer(PeerState::reset)}}, 'o', "send() failed: " + kSomeText},
      {"peer look failed", {{"peer-state", peer(PeerState::check_failed)}}, 'o',
       "select() failed: " + kSomeText},
  };
  const uint8_t data[3] = {1, 2, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sockets sockets(c.script);
    TcpConnection connection(sockets);
    EXPECT_EQ(message_of([&] {
                connection.connect("127.0.0.1", sockets.collector.port(), 7);
                if (c.then == 's') connection.send_all(data, sizeof data);
                if (c.then == 'z') connection.send_all(data, 0);
                if (c.then == 'o') connection.check_open();
              }),
              c.expected);
    const Calls calls = sockets.take_calls();
    ASSERT_GE(calls.size(), c.last_calls.size());
    EXPECT_EQ(Calls(calls.end() - c.last_calls.size(), calls.end()), c.last_calls);
  }
}

TEST(TcpConnection, EachSocketIsClosedOnceByTheNextConnectOrCloseOrTheDestructor) {
  Sockets sockets({});
  {
    TcpConnection connection(sockets);
    connection.connect("127.0.0.1", sockets.collector.port(), 7);
    sockets.script("connect", kFailed);
    sockets.take_calls();
    EXPECT_THROW(connection.connect("127.0.0.2", 9001, 3), kx::sensor::SensorError);
    EXPECT_EQ(sockets.take_calls(), (Calls{"close 0", "open", "non-blocking", "connect"}));
    EXPECT_EQ(connection.ip(), "127.0.0.2");
    EXPECT_EQ(connection.port(), 9001);
    // The failed connect's socket stays open until the close, which closes it once.
    EXPECT_TRUE(connection.is_open());
    connection.close();
    connection.close();
    EXPECT_FALSE(connection.is_open());
    EXPECT_EQ(sockets.take_calls(), Calls{"close 1"});
    connection.connect("127.0.0.1", sockets.collector.port(), 7);
    sockets.take_calls();
  }
  EXPECT_EQ(sockets.take_calls(), Calls{"close 2"});
}

TEST(TcpConnection, PartialAndRefusedSendsResumeFromTheFirstUnsentByte) {
  Sockets sockets(
      {{"send", {SocketStatus::done, 0, 3}}, {"send", kBusy}, {"send", {SocketStatus::done, 0, 4}}});
  TcpConnection connection(sockets);
  connection.connect("127.0.0.1", sockets.collector.port(), 7);
  sockets.take_calls();
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  connection.send_all(data, sizeof data);
  // Only a send that found no room waits, bounded by the connect's time-out.
  EXPECT_EQ(sockets.take_calls(),
            (Calls{"send 10@0", "send 7@3", "wait 7", "send 7@3", "send 3@7"}));
  ASSERT_TRUE(sockets.collector.wait_for_bytes(0, sizeof data, std::chrono::seconds(10)));
  EXPECT_EQ(sockets.collector.received(0), std::string(data, data + sizeof data));
}

// Text that is not dotted IPv4 would reach connect() as 255.255.255.255 and fail there
// with a text that names neither the cause nor the value.
TEST(TcpConnection, AddressThatIsNotDottedIpv4FailsBeforeAnySocketIsOpened) {
  const std::pair<const char*, bool> cases[] = {
      {"10.1.2.3", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"999.1.1.1", false},
      {"localhost", false}, {"", false}, {"[", false}, {"1.2.3", false}, {"1.2.3.4.5", false},
      {"1.2.3.", false}, {"1..2.3", false}, {"0x7f.0.0.1", false}, {"1.2.3.4 ", false},
      {"1000.2.3.4", false}, {"+1.2.3.4", false},
  };
  for (const auto& [ip, valid] : cases) {
    EXPECT_EQ(kx::net::is_dotted_ipv4(ip), valid) << ip;
  }
  Sockets sockets({});
  TcpConnection connection(sockets);
  EXPECT_EQ(message_of([&] { connection.connect("localhost", 8100, 7); }), "not a dotted IPv4 address");
  EXPECT_EQ(sockets.take_calls(), Calls{});
}

// With a stop flag a wait takes steps of a second, so a stop ends it within about one.
TEST(TcpConnection, WaitsWatchingAStopFlagTakeOneSecondStepsAndEndOnTheFlag) {
  Sockets sockets({{"wait", kTimedOut}, {"wait", kTimedOut}, {"wait", kOk}, {"send", kBusy},
                   {"wait", kTimedOut}, {"wait", kTimedOut}, {"wait", kTimedOut}, {"send", kBusy}});
  std::atomic<bool> stop{false};
  TcpConnection connection(sockets);
  connection.set_stop_flag(&stop);
  connection.connect("127.0.0.1", sockets.collector.port(), 3);
  EXPECT_FALSE(connection.timed_out());
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(message_of([&] { connection.send_all(data, sizeof data); }), "select() timed out");
  EXPECT_TRUE(connection.timed_out());
  EXPECT_EQ(sockets.take_calls(), (Calls{"open", "non-blocking", "connect", "wait 1", "wait 1",
                                         "wait 1", "pending-error", "send 3@1", "wait 1", "wait 1",
                                         "wait 1"}));
  stop = true;
  EXPECT_EQ(message_of([&] { connection.send_all(data, sizeof data); }), "stop requested");
  EXPECT_EQ(sockets.take_calls(), Calls{"send 3@1"});
}

}  // namespace
