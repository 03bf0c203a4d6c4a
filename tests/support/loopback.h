// Loopback TCP peers for network tests, and the platform's socket calls watched from the
// test. Everything binds 127.0.0.1 on a port the system picks; every wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/socket_api.h"

namespace kx::test {

using std::chrono::milliseconds;
using RawSocket = uintptr_t;  // SOCKET or a descriptor, widened

// Accepts connections and collects their bytes on a thread of its own, one connection at
// a time (the agent opens its next only after closing the last). Connections are
// numbered from 0 in the order they were accepted.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  std::string received(size_t connection) const;
  // Both return whether the condition held in time. A connection counts as closed once
  // the peer closed or reset it, or this side dropped it.
  bool wait_for_bytes(size_t connection, size_t count, milliseconds timeout) const;
  bool wait_for_close(size_t connection, milliseconds timeout) const;
  // Closes the connection once it has received at least bytes, with a reset (RST) or in
  // order (FIN). Call it before the connection comes.
  void close_after(size_t connection, size_t bytes, bool reset);

 private:
  struct Connection {
    std::string bytes;
    bool closed = false;
  };
  void serve();
  void serve_connection(RawSocket sock, size_t index);
  template <class Predicate>
  bool wait(milliseconds timeout, Predicate done) const;

  uint16_t port_ = 0;
  RawSocket listen_sock_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Connection> connections_;
  std::map<size_t, std::pair<size_t, bool>> close_requests_;  // connection: bytes, reset
  std::thread thread_;
};

// A port on 127.0.0.1 that nobody serves while the object lives. Bound only, it refuses
// every connection; listening, it takes connections into the system's queue but never
// accepts or reads them, so sends stall once the socket buffers are full.
template <bool kListening>
class IdlePort {
 public:
  IdlePort();
  ~IdlePort();
  IdlePort(const IdlePort&) = delete;
  IdlePort& operator=(const IdlePort&) = delete;
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  RawSocket sock_;
};
using DeadPort = IdlePort<false>;
using HungListener = IdlePort<true>;

// The platform's socket calls, watched: the sends on each socket, numbered in the order
// opened.
class WatchedSockets : public net::SocketApi {
 public:
  using Handle = net::SocketHandle;
  using Status = net::SocketStatus;

  size_t sends_on(size_t socket) const;
  // The socket's sends take bytes in all and then fail, as a reset would.
  void cut_after(size_t socket, size_t bytes);
  // The socket opened last and the bytes the system has taken on it so far.
  Handle newest() const { return newest_; }
  uint64_t bytes_on_newest() const { return newest_bytes_.load(std::memory_order_acquire); }
  // Waits until the socket has its peer's close or reset to report. Only looks: taking
  // the reset would hide it from the code under test.
  bool wait_until_peer_gone(size_t socket, milliseconds timeout) const;

  Handle open_tcp(int32_t* error) override;
  Status send(Handle s, const uint8_t* data, uint32_t length, uint32_t* sent,
              int32_t* error) override;
  void shutdown_and_close(Handle s) override;
  // The other calls as the platform has them.
  net::PeerState peer_state(Handle s, int32_t* error) override {
    return real().peer_state(s, error);
  }
  Status set_non_blocking(Handle s, int32_t* error) override {
    return real().set_non_blocking(s, error);
  }
  Status start_connect(Handle s, const char* ip, uint16_t port, int32_t* error) override {
    return real().start_connect(s, ip, port, error);
  }
  Status wait_writable(Handle s, uint32_t seconds, int32_t* error) override {
    return real().wait_writable(s, seconds, error);
  }
  Status pending_error(Handle s, int32_t* pending, int32_t* error) override {
    return real().pending_error(s, pending, error);
  }

 private:
  struct Watched {
    Handle sock;  // kInvalidSocket once closed: handles are reused
    size_t sends = 0;
    size_t bytes = 0;
  };
  static net::SocketApi& real() { return net::system_socket_api(); }
  mutable std::mutex mutex_;
  std::vector<Watched> sockets_;
  size_t cut_socket_ = SIZE_MAX;
  size_t cut_bytes_ = 0;
  std::atomic<Handle> newest_{net::kInvalidSocket};
  std::atomic<uint64_t> newest_bytes_{0};
};

}  // namespace kx::test
