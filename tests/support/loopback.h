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
#include <vector>

#include "net/socket_api.h"

namespace kx::test {

using std::chrono::milliseconds;
using RawSocket = uintptr_t;  // SOCKET or a descriptor, widened

// Accepts every connection and collects its bytes on a thread of its own. Connections
// are numbered from 0 in the order they were accepted.
class LoopbackListener {
 public:
  // receive_buffer is SO_RCVBUF of the accepted sockets (0: the system's default).
  explicit LoopbackListener(int receive_buffer = 0);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  size_t connection_count() const;
  std::string received(size_t connection) const;

  // Both return whether the condition held before the time ran out. Waiting for 0 bytes
  // waits for the connection; a connection counts as closed once the peer closed or
  // reset it, or this side dropped it.
  bool wait_for_bytes(size_t connection, size_t count, milliseconds timeout) const;
  bool wait_for_close(size_t connection, milliseconds timeout) const;

  // Closes the connection once it has received at least bytes, with a reset (RST) or in
  // order (FIN); may come before the connection does.
  void close_after(size_t connection, size_t bytes, bool reset);

 private:
  struct Connection {
    RawSocket sock;
    std::string bytes;
    bool closed = false;
  };
  struct Request {
    size_t at_bytes;
    bool reset;
  };

  void serve();
  void serve_connections();
  template <class Predicate>
  bool wait(milliseconds timeout, Predicate done) const;

  RawSocket listen_sock_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Connection> connections_;
  std::map<size_t, Request> requests_;  // by connection number
  std::vector<char> chunk_;             // the serving thread's read buffer
  std::thread thread_;
};

// A port that refuses every connection while the object lives (bound, not listening).
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  RawSocket sock_;
  uint16_t port_ = 0;
};

// A collector that hangs: it listens but never accepts or reads. Connects complete (the
// system accepts them into the queue), sends stall once the socket buffers are full.
class HungListener {
 public:
  HungListener();
  ~HungListener();
  HungListener(const HungListener&) = delete;
  HungListener& operator=(const HungListener&) = delete;
  uint16_t port() const { return port_; }

 private:
  RawSocket sock_;
  uint16_t port_ = 0;
};

// The platform's socket calls, watched: the sends on each socket (numbered in the order
// opened).
class WatchedSockets : public net::SocketApi {
 public:
  size_t sends_on(size_t socket) const;
  // The socket's sends take bytes in all and then fail, as a reset would.
  void cut_after(size_t socket, size_t bytes);
  // The socket opened last and the bytes the system has taken on it so far.
  net::SocketHandle newest() const { return newest_; }
  uint64_t bytes_on_newest() const { return newest_bytes_.load(std::memory_order_acquire); }
  // Waits until the socket has its peer's close or reset to report. Only looks: taking
  // the reset would hide it from the code under test.
  bool wait_until_peer_gone(size_t socket, milliseconds timeout) const;

  net::SocketHandle open_tcp(int32_t* error) override;
  net::SocketStatus send(net::SocketHandle s, const uint8_t* data, uint32_t length,
                         uint32_t* sent, int32_t* error) override;
  net::PeerState peer_state(net::SocketHandle s, int32_t* error) override {
    return real().peer_state(s, error);
  }
  void shutdown_and_close(net::SocketHandle s) override;
  net::SocketStatus set_non_blocking(net::SocketHandle s, int32_t* error) override {
    return real().set_non_blocking(s, error);
  }
  net::SocketStatus start_connect(net::SocketHandle s, const char* ip, uint16_t port,
                                  int32_t* error) override {
    return real().start_connect(s, ip, port, error);
  }
  net::SocketStatus wait_writable(net::SocketHandle s, uint32_t seconds, int32_t* error) override {
    return real().wait_writable(s, seconds, error);
  }
  net::SocketStatus pending_error(net::SocketHandle s, int32_t* pending, int32_t* error) override {
    return real().pending_error(s, pending, error);
  }

 private:
  static net::SocketApi& real() { return net::system_socket_api(); }
  mutable std::mutex mutex_;
  std::vector<net::SocketHandle> sockets_;  // kInvalidSocket once closed: handles are reused
  std::vector<size_t> sends_;
  std::vector<size_t> sent_bytes_;
  size_t cut_socket_ = SIZE_MAX;
  size_t cut_bytes_ = 0;
  std::atomic<net::SocketHandle> newest_{net::kInvalidSocket};
  std::atomic<uint64_t> newest_bytes_{0};
};

}  // namespace kx::test
