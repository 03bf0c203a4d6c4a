#include "net/tcp_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"

namespace {

using namespace kx::net;
using Calls = std::vector<std::string>;

constexpr int32_t kSomeError = 5;  // only its system text matters
const std::string kSomeText = kx::logging::system_error_text(kSomeError);

struct Result {
  SocketStatus status = SocketStatus::done;
  int32_t code = 0;           // the failure's code; for pending-error, the pending error
  uint32_t sent = UINT32_MAX;  // send takes at most this much
  PeerState peer = PeerState::open;
};
const Result kOk{};
const Result kFailed{SocketStatus::failed, kSomeError};
const Result kBusy{SocketStatus::in_progress};
const Result kTimedOut{SocketStatus::timed_out};
Result peer(PeerState state) { return {SocketStatus::done, kSomeError, UINT32_MAX, state}; }

// Socket calls that follow a script: each call is recorded and answers with the next
// result scripted for its name, or succeeds once that script is used up.
class ScriptedSockets : public SocketApi {
 public:
  std::map<std::string, std::deque<Result>> script;
  Calls calls;

  SocketHandle open_tcp(int32_t* error) override {
    return next("open", "", error).status == SocketStatus::failed ? kInvalidSocket : ++last_handle_;
  }
  SocketStatus set_non_blocking(SocketHandle, int32_t* error) override { return next("non-blocking", "", error).status; }
  // A connect under way is the usual answer of a non-blocking socket.
  SocketStatus start_connect(SocketHandle, const char* ip, uint16_t port, int32_t* error) override {
    return next("connect", " " + std::string(ip) + ":" + std::to_string(port), error, kBusy).status;
  }
  SocketStatus wait_writable(SocketHandle, uint32_t seconds, int32_t* error) override {
    return next("wait", " " + std::to_string(seconds), error).status;
  }
  SocketStatus pending_error(SocketHandle, int32_t* pending, int32_t* error) override {
    Result result = next("pending-error", "", error);
    *pending = result.status == SocketStatus::done ? result.code : 0;
    return result.status;
  }
  // The first byte's value tells where in the caller's data the send starts.
  SocketStatus send(SocketHandle, const uint8_t* data, uint32_t length, uint32_t* sent, int32_t* error) override {
    Result result = next("send", " " + std::to_string(length) + "@" + std::to_string(*data), error);
    *sent = std::min(result.sent, length);
    return result.status;
  }
  PeerState peer_state(SocketHandle, int32_t* error) override {
    Result result = next("peer-state", "", error);
    *error = result.code;
    return result.peer;
  }
  void shutdown_and_close(SocketHandle sock) override { calls.push_back("close " + std::to_string(sock)); }

 private:
  Result next(const std::string& call, const std::string& detail, int32_t* error, Result fallback = kOk) {
    calls.push_back(call + detail);
    std::deque<Result>& results = script[call];
    Result result = results.empty() ? fallback : results.front();
    if (!results.empty()) results.pop_front();
    if (result.status == SocketStatus::failed) *error = result.code;
    return result;
  }
  SocketHandle last_handle_ = 0;
};

std::string message_of(const std::function<void()>& step) {
  try {
    step();
    return "(no error)";
  } catch (const kx::sensor::SensorError& error) {
    return error.what();
  }
}

TEST(TcpConnectionLogic, EveryStepRaisesTheMessageOfItsFailure) {
  // then, after the connect: 'c' nothing, 's' a send, 'z' a send of 0 bytes, 'o' check_open;
  // last_calls, when given: the calls the case ends with.
  struct Case { const char* name; std::vector<std::pair<std::string, Result>> script; char then; std::string expected; Calls last_calls = {}; };
  const Calls connected = {"connect 10.1.2.3:9000", "wait 7", "pending-error"};
  const Case cases[] = {
      {"socket", {{"open", kFailed}}, 'c', "socket() failed: " + kSomeText},
      {"non-blocking", {{"non-blocking", kFailed}}, 'c', "ioctlsocket(FIONBIO) failed: " + kSomeText},
      {"connect", {{"connect", kFailed}}, 'c', "connect(10.1.2.3) failed: " + kSomeText},
      // Writability is what counts as established, also after a connect done at once.
      {"connect done at once", {{"connect", kOk}}, 'c', "(no error)", connected},
      {"connect wait", {{"wait", kFailed}}, 'c', "select() failed: " + kSomeText},
      {"connect time-out", {{"wait", kTimedOut}}, 'c', "select() timed out"},
      {"refused after the wait", {{"pending-error", {SocketStatus::done, kSomeError}}}, 'c', "connect(10.1.2.3) failed: " + kSomeText},
      {"pending error unreadable", {{"pending-error", kFailed}}, 'c', "getsockopt(SO_ERROR) failed: " + kSomeText},
      {"send", {{"send", kFailed}}, 's', "send() failed: " + kSomeText},
      {"send of nothing", {{"send", {SocketStatus::done, 0, 0}}}, 's', "send() failed: socket closed"},
      {"send time-out", {{"send", kBusy}, {"wait", kOk}, {"wait", kTimedOut}}, 's', "select() timed out"},
      {"wait for room", {{"send", kBusy}, {"wait", kOk}, {"wait", kFailed}}, 's', "select() failed: " + kSomeText},
      {"zero bytes call nothing", {{"send", kFailed}, {"wait", kOk}, {"wait", kFailed}}, 'z',
       "(no error)", {"pending-error"}},
      // A look at the peer waits for nothing and takes nothing.
      {"peer open", {{"peer-state", peer(PeerState::open)}}, 'o', "(no error)",
       {"pending-error", "peer-state"}},
      {"peer closed", {{"peer-state", peer(PeerState::closed)}}, 'o',
       "send() failed: socket closed", {"pending-error", "peer-state"}},
      {"peer reset", {{"peer-state", peer(PeerState::reset)}}, 'o', "send() failed: " + kSomeText},
      {"peer look failed", {{"peer-state", peer(PeerState::check_failed)}}, 'o', "select() failed: " + kSomeText},
  };
  const uint8_t data[3] = {1, 2, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSockets sockets;
    for (const auto& [call, result] : c.script) sockets.script[call].push_back(result);
    TcpConnection connection(sockets);
    EXPECT_EQ(message_of([&] {
                connection.connect("10.1.2.3", 9000, 7);
                if (c.then == 's') connection.send_all(data, sizeof data);
                if (c.then == 'z') connection.send_all(data, 0);
                if (c.then == 'o') connection.check_open();
              }),
              c.expected);
    ASSERT_GE(sockets.calls.size(), c.last_calls.size());
    EXPECT_EQ(Calls(sockets.calls.end() - c.last_calls.size(), sockets.calls.end()), c.last_calls);
  }
}

TEST(TcpConnectionLogic, EachSocketIsClosedOnceByTheNextConnectOrCloseOrTheDestructor) {
  ScriptedSockets sockets;
  sockets.script["wait"] = {kOk, kTimedOut};
  {
    TcpConnection connection(sockets);
    connection.connect("10.1.2.3", 9000, 7);
    sockets.calls.clear();
    EXPECT_THROW(connection.connect("10.9.9.9", 9001, 3), kx::sensor::SensorError);
    ASSERT_GE(sockets.calls.size(), 2u);
    EXPECT_EQ(Calls(sockets.calls.begin(), sockets.calls.begin() + 2), (Calls{"close 1", "open"}));
    EXPECT_EQ(connection.ip(), "10.9.9.9");
    EXPECT_EQ(connection.port(), 9001);
    // The failed connect's socket stays open until the close, which closes it once.
    EXPECT_TRUE(connection.is_open());
    sockets.calls.clear();
    connection.close();
    connection.close();
    EXPECT_FALSE(connection.is_open());
    EXPECT_EQ(sockets.calls, Calls{"close 2"});
    connection.connect("10.1.2.3", 9000, 7);
    sockets.calls.clear();
  }
  EXPECT_EQ(sockets.calls, Calls{"close 3"});
}

TEST(TcpConnectionLogic, PartialAndRefusedSendsResumeFromTheFirstUnsentByte) {
  ScriptedSockets sockets;
  TcpConnection connection(sockets);
  connection.connect("10.1.2.3", 9000, 7);
  sockets.calls.clear();
  sockets.script["send"] = {{SocketStatus::done, 0, 3}, kBusy, {SocketStatus::done, 0, 4}};
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  connection.send_all(data, sizeof data);
  // Only a send that found no room waits, bounded by the connect's time-out.
  EXPECT_EQ(sockets.calls, (Calls{"send 10@0", "send 7@3", "wait 7", "send 7@3", "send 3@7"}));
}

// Text that is not dotted IPv4 would reach connect() as 255.255.255.255 and fail there
// with a text that names neither the cause nor the value.
TEST(TcpConnectionLogic, AddressThatIsNotDottedIpv4FailsBeforeAnySocketIsOpened) {
  const std::pair<const char*, bool> cases[] = {
      {"10.1.2.3", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"999.1.1.1", false},
      {"localhost", false}, {"", false}, {"[", false}, {"1.2.3", false}, {"1.2.3.4.5", false}, {"1.2.3.", false},
      {"1..2.3", false}, {"0x7f.0.0.1", false}, {"1.2.3.4 ", false}, {"1000.2.3.4", false}, {"+1.2.3.4", false},
  };
  for (const auto& [ip, valid] : cases) {
    SCOPED_TRACE(ip);
    ScriptedSockets sockets;
    TcpConnection connection(sockets);
    EXPECT_EQ(message_of([&, ip = ip] { connection.connect(ip, 8100, 7); }),
              valid ? "(no error)" : "not a dotted IPv4 address");
    EXPECT_EQ(sockets.calls.empty(), !valid);
  }
}

// With a stop flag a wait takes steps of a second, so a stop ends it within about one.
TEST(TcpConnectionLogic, WaitsWatchingAStopFlagTakeOneSecondStepsAndEndOnTheFlag) {
  ScriptedSockets sockets;
  std::atomic<bool> stop{false};
  TcpConnection connection(sockets);
  connection.set_stop_flag(&stop);
  sockets.script["wait"] = {kTimedOut, kTimedOut, kOk, kTimedOut, kTimedOut, kTimedOut};
  connection.connect("10.1.2.3", 9000, 3);
  EXPECT_FALSE(connection.timed_out());
  sockets.script["send"] = {kBusy};
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(message_of([&] { connection.send_all(data, sizeof data); }), "select() timed out");
  EXPECT_TRUE(connection.timed_out());
  EXPECT_EQ(sockets.calls, (Calls{"open", "non-blocking", "connect 10.1.2.3:9000", "wait 1",
                                  "wait 1", "wait 1", "pending-error", "send 3@1", "wait 1",
                                  "wait 1", "wait 1"}));
  sockets.calls.clear();
  stop = true;
  sockets.script["send"] = {kBusy};
  EXPECT_EQ(message_of([&] { connection.send_all(data, sizeof data); }), "stop requested");
  EXPECT_EQ(sockets.calls, Calls{"send 3@1"});
}

}  // namespace
