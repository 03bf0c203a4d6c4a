#include "net/tcp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "support/loopback.h"

namespace {

using kx::net::SocketApi;
using kx::net::SocketHandle;
using kx::net::SocketStatus;
using kx::net::TcpConnection;
using kx::test::LoopbackListener;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// An arbitrary code; only its system text matters.
constexpr int32_t kSomeError = 5;

std::string text_of(int32_t code) { return kx::logging::system_error_text(code); }

// Socket calls that follow a script: every call is recorded, and each answers with the
// scripted result or, once its script is used up, with success.
class ScriptedSockets : public SocketApi {
 public:
  struct Result {
    SocketStatus status;
    int32_t code = 0;
    uint32_t sent = 0;  // for send
  };
  struct SendCall {
    const uint8_t* data;
    uint32_t length;
  };

  struct PeerLook {
    kx::net::PeerState state;
    int32_t code = 0;
  };

  int32_t open_error = 0;
  std::deque<Result> non_blocking, connects, waits, pending_errors, sends;
  std::deque<PeerLook> peer_looks;
  std::vector<std::string> calls;
  std::vector<SendCall> send_calls;

  SocketHandle open_tcp(int32_t* error) override {
    calls.push_back("open");
    if (open_error != 0) {
      *error = open_error;
      return kx::net::kInvalidSocket;
    }
    return ++last_handle_;
  }
  SocketStatus set_non_blocking(SocketHandle, int32_t* error) override {
    calls.push_back("non-blocking");
    return next(non_blocking, SocketStatus::done, error).status;
  }
  SocketStatus start_connect(SocketHandle, const char* ip, uint16_t port,
                             int32_t* error) override {
    calls.push_back("connect " + std::string(ip) + ":" + std::to_string(port));
    return next(connects, SocketStatus::in_progress, error).status;
  }
  SocketStatus wait_writable(SocketHandle, uint32_t seconds, int32_t* error) override {
    calls.push_back("wait " + std::to_string(seconds));
    return next(waits, SocketStatus::done, error).status;
  }
  SocketStatus pending_error(SocketHandle, int32_t* pending, int32_t* error) override {
    calls.push_back("pending-error");
    Result result = next(pending_errors, SocketStatus::done, error);
    *pending = result.status == SocketStatus::done ? result.code : 0;
    return result.status;
  }
  SocketStatus send(SocketHandle, const uint8_t* data, uint32_t length, uint32_t* sent,
                    int32_t* error) override {
    calls.push_back("send " + std::to_string(length));
    send_calls.push_back({data, length});
    const bool scripted = !sends.empty();
    Result result = next(sends, SocketStatus::done, error);
    *sent = scripted ? result.sent : length;
    return result.status;
  }
  kx::net::PeerState peer_state(SocketHandle, int32_t* error) override {
    calls.push_back("peer-state");
    if (peer_looks.empty()) return kx::net::PeerState::open;
    PeerLook look = peer_looks.front();
    peer_looks.pop_front();
    *error = look.code;
    return look.state;
  }
  void shutdown_and_close(SocketHandle sock) override {
    calls.push_back("close " + std::to_string(sock));
  }

 private:
  // Pops the next scripted result; a failure's code goes to *error.
  Result next(std::deque<Result>& script, SocketStatus fallback, int32_t* error) {
    if (script.empty()) return Result{fallback};
    Result result = script.front();
    script.pop_front();
    if (result.status == SocketStatus::failed) *error = result.code;
    return result;
  }

  SocketHandle last_handle_ = 0;
};

std::string message_of(const std::function<void()>& step) {
  try {
    step();
  } catch (const kx::sensor::SensorError& error) {
    return error.what();
  }
  return "(no error)";
}

struct FailureCase {
  const char* name;
  std::function<void(ScriptedSockets&)> script;
  bool during_send;
  std::string expected;
};

TEST(TcpConnectionLogic, EveryFailureRaisesTheMessageOfItsStep) {
  using Result = ScriptedSockets::Result;
  const Result failure{SocketStatus::failed, kSomeError};
  const std::vector<FailureCase> cases = {
      {"socket", [](ScriptedSockets& s) { s.open_error = kSomeError; }, false,
       "socket() failed: " + text_of(kSomeError)},
      {"non-blocking", [&](ScriptedSockets& s) { s.non_blocking.push_back(failure); }, false,
       "ioctlsocket(FIONBIO) failed: " + text_of(kSomeError)},
      {"connect", [&](ScriptedSockets& s) { s.connects.push_back(failure); }, false,
       "connect(10.1.2.3) failed: " + text_of(kSomeError)},
      {"connect wait", [&](ScriptedSockets& s) { s.waits.push_back(failure); }, false,
       "select() failed: " + text_of(kSomeError)},
      {"connect time-out", [](ScriptedSockets& s) { s.waits.push_back({SocketStatus::timed_out}); },
       false, "select() timed out"},
      {"refused after the wait",
       [](ScriptedSockets& s) { s.pending_errors.push_back({SocketStatus::done, kSomeError}); },
       false, "connect(10.1.2.3) failed: " + text_of(kSomeError)},
      {"pending error unreadable", [&](ScriptedSockets& s) { s.pending_errors.push_back(failure); },
       false, "getsockopt(SO_ERROR) failed: " + text_of(kSomeError)},
      {"send", [&](ScriptedSockets& s) { s.sends.push_back(failure); }, true,
       "send() failed: " + text_of(kSomeError)},
      {"send of nothing", [](ScriptedSockets& s) { s.sends.push_back({SocketStatus::done, 0, 0}); },
       true, "send() failed: socket closed"},
      {"send time-out",
       [](ScriptedSockets& s) {
         s.waits.push_back({SocketStatus::done});
         s.waits.push_back({SocketStatus::timed_out});
         s.sends.push_back({SocketStatus::in_progress});
       },
       true, "select() timed out"},
      {"wait for room",
       [&](ScriptedSockets& s) {
         s.waits.push_back({SocketStatus::done});
         s.waits.push_back(failure);
         s.sends.push_back({SocketStatus::in_progress});
       },
       true, "select() failed: " + text_of(kSomeError)},
  };
  const uint8_t data[3] = {1, 2, 3};
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSockets sockets;
    c.script(sockets);
    TcpConnection connection(sockets);
    std::string message = message_of([&] {
      connection.connect("10.1.2.3", 9000, 7);
      if (c.during_send) connection.send_all(data, sizeof data);
    });
    EXPECT_EQ(message, c.expected);
  }
}

TEST(TcpConnectionLogic, ConnectWaitsForWritabilityEvenWhenItFinishedAtOnce) {
  ScriptedSockets sockets;
  sockets.connects.push_back({SocketStatus::done});
  TcpConnection connection(sockets);
  connection.connect("10.1.2.3", 9000, 7);
  EXPECT_EQ(sockets.calls, (std::vector<std::string>{"open", "non-blocking",
                                                     "connect 10.1.2.3:9000", "wait 7",
                                                     "pending-error"}));
}

TEST(TcpConnectionLogic, ConnectClosesTheOpenSocketBeforeOpeningTheNext) {
  ScriptedSockets sockets;
  {
    TcpConnection connection(sockets);
    connection.connect("10.1.2.3", 9000, 7);
    sockets.calls.clear();
    connection.connect("10.9.9.9", 9001, 3);
    ASSERT_GE(sockets.calls.size(), 2u);
    EXPECT_EQ(sockets.calls[0], "close 1");
    EXPECT_EQ(sockets.calls[1], "open");
    EXPECT_EQ(connection.ip(), "10.9.9.9");
    EXPECT_EQ(connection.port(), 9001);
    sockets.calls.clear();
  }
  // The destructor closes the second socket.
  EXPECT_EQ(sockets.calls, (std::vector<std::string>{"close 2"}));
}

TEST(TcpConnectionLogic, FailedConnectKeepsItsSocketUntilCloseWhichClosesItOnce) {
  ScriptedSockets sockets;
  sockets.waits.push_back({SocketStatus::timed_out});
  TcpConnection connection(sockets);
  EXPECT_THROW(connection.connect("10.1.2.3", 9000, 1), kx::sensor::SensorError);
  EXPECT_TRUE(connection.is_open());
  sockets.calls.clear();
  connection.close();
  connection.close();
  EXPECT_FALSE(connection.is_open());
  EXPECT_EQ(sockets.calls, (std::vector<std::string>{"close 1"}));
}

TEST(TcpConnectionLogic, PartialAndRefusedSendsResumeFromTheFirstUnsentByte) {
  ScriptedSockets sockets;
  TcpConnection connection(sockets);
  connection.connect("10.1.2.3", 9000, 7);
  sockets.calls.clear();
  sockets.sends = {{SocketStatus::done, 0, 3}, {SocketStatus::in_progress}, {SocketStatus::done, 0, 4},
                   {SocketStatus::done, 0, 3}};
  const uint8_t data[10] = {};
  connection.send_all(data, sizeof data);

  ASSERT_EQ(sockets.send_calls.size(), 4u);
  const size_t expected_offsets[] = {0, 3, 3, 7};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sockets.send_calls[i].data, data + expected_offsets[i]) << i;
    EXPECT_EQ(sockets.send_calls[i].length, 10 - expected_offsets[i]) << i;
  }
  // Only a send that found no room waits, bounded by the connect's time-out.
  EXPECT_EQ(sockets.calls,
            (std::vector<std::string>{"send 10", "send 7", "wait 7", "send 7", "send 3"}));
}

TEST(TcpConnectionLogic, CheckOpenRaisesWhatTheNextSendWouldMeetAndTakesNothing) {
  using kx::net::PeerState;
  struct Case {
    const char* name;
    PeerState state;
    std::string expected;
  };
  const Case cases[] = {
      {"open", PeerState::open, "(no error)"},
      {"closed", PeerState::closed, "send() failed: socket closed"},
      {"reset", PeerState::reset, "send() failed: " + text_of(kSomeError)},
      {"look failed", PeerState::check_failed, "select() failed: " + text_of(kSomeError)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSockets sockets;
    TcpConnection connection(sockets);
    connection.connect("10.1.2.3", 9000, 7);
    sockets.calls.clear();
    sockets.peer_looks.push_back({c.state, kSomeError});
    EXPECT_EQ(message_of([&] { connection.check_open(); }), c.expected);
    EXPECT_EQ(sockets.calls, std::vector<std::string>{"peer-state"});
  }
}

TEST(TcpConnectionLogic, SendingNothingCallsNothing) {
  ScriptedSockets sockets;
  TcpConnection connection(sockets);
  sockets.waits.push_back({SocketStatus::failed, kSomeError});
  connection.send_all(nullptr, 0);
  EXPECT_TRUE(sockets.calls.empty());
}

// --- the platform's sockets on loopback

class TcpConnectionLoopback : public ::testing::Test {
 protected:
  void SetUp() override { kx::net::init_sockets(); }
};

// Passes every call to the platform's sockets, with a small send buffer, and remembers
// how much each send took.
class RecordingSockets : public SocketApi {
 public:
  std::vector<std::pair<uint32_t, uint32_t>> sends;  // asked, taken

  SocketHandle open_tcp(int32_t* error) override {
    SocketHandle sock = real().open_tcp(error);
    if (sock != kx::net::kInvalidSocket) kx::test::set_send_buffer(sock, 8192);
    return sock;
  }
  SocketStatus set_non_blocking(SocketHandle s, int32_t* error) override {
    return real().set_non_blocking(s, error);
  }
  SocketStatus start_connect(SocketHandle s, const char* ip, uint16_t port,
                             int32_t* error) override {
    return real().start_connect(s, ip, port, error);
  }
  SocketStatus wait_writable(SocketHandle s, uint32_t seconds, int32_t* error) override {
    return real().wait_writable(s, seconds, error);
  }
  SocketStatus pending_error(SocketHandle s, int32_t* pending, int32_t* error) override {
    return real().pending_error(s, pending, error);
  }
  SocketStatus send(SocketHandle s, const uint8_t* data, uint32_t length, uint32_t* sent,
                    int32_t* error) override {
    SocketStatus status = real().send(s, data, length, sent, error);
    if (status == SocketStatus::done) sends.emplace_back(length, *sent);
    return status;
  }
  kx::net::PeerState peer_state(SocketHandle s, int32_t* error) override {
    return real().peer_state(s, error);
  }
  void shutdown_and_close(SocketHandle s) override { real().shutdown_and_close(s); }

 private:
  static SocketApi& real() { return kx::net::system_socket_api(); }
};

std::string patterned_bytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 131 + i / 65521) & 0xFF);
  return bytes;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(TcpConnectionLoopback, SlowReaderGetsEveryByteInOrderAcrossPartialSends) {
  LoopbackListener::Options slow;
  slow.receive_buffer = 4096;
  slow.read_chunk = 8192;
  slow.read_pause = milliseconds(1);
  LoopbackListener listener(slow);
  RecordingSockets sockets;
  TcpConnection connection(sockets);
  connection.connect("127.0.0.1", listener.port(), 5);

  const std::string data = patterned_bytes(2 * 1024 * 1024);
  connection.send_all(reinterpret_cast<const uint8_t*>(data.data()),
                      static_cast<uint32_t>(data.size()));
  ASSERT_TRUE(listener.wait_for_bytes(0, data.size(), milliseconds(60000)));
  EXPECT_TRUE(listener.received(0) == data) << "the received bytes differ";

  bool partial = false;
  for (const auto& [asked, taken] : sockets.sends) partial |= taken < asked;
  EXPECT_TRUE(partial) << "every send took the whole rest; the resume path was not exercised";
}

TEST_F(TcpConnectionLoopback, RefusedPortFailsFastWithTheConnectMessage) {
  kx::test::RefusingPort refusing;
  TcpConnection connection;
  const auto start = Clock::now();
  std::string message =
      message_of([&] { connection.connect("127.0.0.1", refusing.port(), 10); });
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(message.rfind("connect(127.0.0.1) failed: ", 0), 0u) << message;
  EXPECT_GT(message.size(), std::string("connect(127.0.0.1) failed: ").size()) << message;
}

TEST_F(TcpConnectionLoopback, ListenerThatNeverAnswersTimesOutAfterTheTimeout) {
  kx::test::FullBacklogListener silent;
  if (!silent.full()) GTEST_SKIP() << "this system answers every SYN; nothing to time out";
  TcpConnection connection;
  const auto start = Clock::now();
  std::string message = message_of([&] { connection.connect("127.0.0.1", silent.port(), 1); });
  double elapsed = seconds_since(start);
  EXPECT_EQ(message, "select() timed out");
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 5.0);
}

TEST_F(TcpConnectionLoopback, SendToAPeerThatClosedFailsAndTheProcessLivesOn) {
  LoopbackListener listener;
  TcpConnection connection;
  connection.connect("127.0.0.1", listener.port(), 5);
  ASSERT_TRUE(listener.wait_for_connections(1, milliseconds(5000)));
  listener.close_connection(0);

  // The first sends may still be taken; the peer's reset makes a later one fail.
  const std::string chunk(1024, 'x');
  std::string message;
  for (int attempt = 0; attempt < 200 && message.empty(); ++attempt) {
    try {
      connection.send_all(reinterpret_cast<const uint8_t*>(chunk.data()), 1024);
      std::this_thread::sleep_for(milliseconds(10));
    } catch (const kx::sensor::SensorError& error) {
      message = error.what();
    }
  }
  EXPECT_EQ(message.rfind("send() failed: ", 0), 0u) << message;
}

// Before the collector goes away, the look finds the connection usable; afterwards it
// raises the send failure without sending anything.
TEST_F(TcpConnectionLoopback, CheckOpenNoticesAPeerThatClosedOrResetWithoutSending) {
  struct Case {
    const char* name;
    bool reset;
    // A reset reads as the reset's text or, where the platform's peek reports it as the
    // end of the stream (wine), as a close.
    std::string expected_prefix;
  };
  const Case cases[] = {
      {"orderly close", false, "send() failed: socket closed"},
      {"reset", true, "send() failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackListener listener;
    RecordingSockets sockets;
    TcpConnection connection(sockets);
    connection.connect("127.0.0.1", listener.port(), 5);
    const uint8_t byte = 7;
    connection.send_all(&byte, 1);
    ASSERT_TRUE(listener.wait_for_bytes(0, 1, milliseconds(5000)));
    EXPECT_EQ(message_of([&] { connection.check_open(); }), "(no error)");

    if (c.reset) {
      listener.reset_after(0, 1);
      ASSERT_TRUE(listener.wait_for_close(0, milliseconds(5000)));
    } else {
      listener.close_connection(0);
    }
    // The close reaches this side asynchronously; look until it shows, within bounds.
    std::string message = "(no error)";
    for (int look = 0; look < 500 && message == "(no error)"; ++look) {
      message = message_of([&] { connection.check_open(); });
      if (message == "(no error)") std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(message.rfind(c.expected_prefix, 0), 0u) << message;
    EXPECT_EQ(sockets.sends.size(), 1u);
  }
}

TEST_F(TcpConnectionLoopback, ReconnectClosesTheOldConnectionFirst) {
  LoopbackListener first;
  LoopbackListener second;
  TcpConnection connection;
  connection.connect("127.0.0.1", first.port(), 5);
  ASSERT_TRUE(first.wait_for_connections(1, milliseconds(5000)));
  connection.connect("127.0.0.1", second.port(), 5);
  EXPECT_TRUE(first.wait_for_close(0, milliseconds(5000)));
  const uint8_t byte = 42;
  connection.send_all(&byte, 1);
  ASSERT_TRUE(second.wait_for_bytes(0, 1, milliseconds(5000)));
  EXPECT_EQ(second.received(0), "*");
}

TEST_F(TcpConnectionLoopback, AddressTextIsNeverLookedUp) {
  // inet_addr turns text that is not dotted IPv4 into the all-ones address, which no
  // TCP connect can reach.
  for (const char* ip : {"localhost", "not an address"}) {
    SCOPED_TRACE(ip);
    TcpConnection connection;
    std::string message = message_of([&] { connection.connect(ip, 8100, 2); });
    EXPECT_EQ(message.rfind("connect(" + std::string(ip) + ") failed: ", 0), 0u) << message;
  }
}

}  // namespace
