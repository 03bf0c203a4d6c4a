// Loopback TCP peers for network tests, and the platform's socket calls watched from the
// test. Everything binds 127.0.0.1 on a port the system picks; every wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/socket_api.h"

namespace kx::test {

using std::chrono::milliseconds;
using RawSocket = uintptr_t;  // SOCKET or a descriptor, widened

// Collects the bytes of the connections it accepts, numbered from 0, on a thread of its own,
// one connection at a time: the agent opens its next only after closing the last.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();

  uint16_t port() const { return port_; }
  std::string received(size_t connection) const;
  // Each says whether in time the connection received count bytes, or was closed by either side.
  bool wait_for_bytes(size_t connection, size_t count, milliseconds timeout) const;
  bool wait_for_close(size_t connection, milliseconds timeout) const;
  // Closes the connection once it has received at least bytes, with a reset (RST) or in
  // order (FIN). Call it before the connection comes.
  void close_after(size_t connection, size_t bytes, bool reset);

 private:
  void serve();
  void serve_connection(RawSocket sock, size_t index);

  uint16_t port_ = 0;
  RawSocket listen_sock_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> received_;
  size_t closed_ = 0;  // connections closed so far
  std::map<size_t, std::pair<size_t, bool>> close_requests_;  // connection: bytes, reset
  std::thread thread_;
};

// A port on 127.0.0.1 that nobody serves while the object lives. Bound only, it refuses
// every connection; listening, it takes connections into the system's queue but never
// accepts or reads them, so sends stall once the socket buffers are full.
class IdlePort {
 public:
  explicit IdlePort(bool listening);
  ~IdlePort();
  IdlePort(const IdlePort&) = delete;
  IdlePort& operator=(const IdlePort&) = delete;
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  RawSocket sock_;
};
struct DeadPort : IdlePort {
  DeadPort() : IdlePort(false) {}
};
struct HungListener : IdlePort {
  HungListener() : IdlePort(true) {}
};

// The platform's socket calls, watched, and answered by a script where a test has one:
// each call is noted, and the next answer scripted for its name takes the call's place.
class WatchedSockets : public net::SocketApi {
 public:
  using Handle = net::SocketHandle;
  using Status = net::SocketStatus;
  // A failure stores code as the call's error; a send that is done goes to the platform
  // with at most sent bytes.
  struct Answer {
    Status status = Status::done;
    int32_t code = 0;
    uint32_t sent = UINT32_MAX;
  };
  // call: open (any answer fails it), non-blocking, connect, wait or send.
  void script(const std::string& call, const Answer& answer);
  // The calls since the last take, as "open", "wait 7" (seconds), "send 10@0" (length,
  // first byte), "close".
  std::vector<std::string> take_calls();
  // The socket opened last and the bytes the system has taken on it so far.
  Handle newest() const { return newest_; }
  uint64_t bytes_on_newest() const { return newest_bytes_.load(std::memory_order_acquire); }
  // Waits until the newest socket has its peer's close or reset to report. Only looks:
  // taking the reset would hide it from the code under test.
  bool wait_until_peer_gone(milliseconds timeout) const;

  Handle open_tcp(int32_t* error) override;
  Status set_non_blocking(Handle s, int32_t* error) override;
  Status start_connect(Handle s, const char* ip, uint16_t port, int32_t* error) override;
  Status wait_writable(Handle s, uint32_t seconds, int32_t* error) override;
  Status send(Handle s, const uint8_t* data, uint32_t length, uint32_t* sent,
              int32_t* error) override;
  void shutdown_and_close(Handle s) override;
  // Neither noted nor scripted: how often the peer is looked at depends on timing.
  Status pending_error(Handle s, int32_t* pending, int32_t* error) override {
    return net::system_socket_api().pending_error(s, pending, error);
  }
  net::PeerState peer_state(Handle s, int32_t* error) override {
    return net::system_socket_api().peer_state(s, error);
  }

 private:
  // Notes the call and takes its next answer, if any, storing a failure's code.
  std::optional<Answer> next(const std::string& call, const std::string& detail, int32_t* error);

  std::mutex mutex_;
  std::map<std::string, std::deque<Answer>> script_;
  std::vector<std::string> calls_;
  std::atomic<Handle> newest_{net::kInvalidSocket};
  std::atomic<uint64_t> newest_bytes_{0};
};

}  // namespace kx::test
