// Loopback TCP peers for network tests: a listener that accepts and records what each
// connection receives, a listener that never accepts and whose backlog is full, and a
// port that refuses connections. Everything binds 127.0.0.1 on an ephemeral port, and
// every wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

using std::chrono::milliseconds;

// The handle type of the platform's sockets (SOCKET or a descriptor), widened.
using RawSocket = uintptr_t;

// Sets SO_SNDBUF of a socket made elsewhere (a client under test), so that sends
// fill it quickly.
void set_send_buffer(RawSocket sock, int bytes);

// Waits until a socket made elsewhere has something to report to a reader (bytes, the
// end of the stream, an error), without reading it; false when the time ran out.
bool wait_readable(RawSocket sock, milliseconds timeout);

// Accepts every connection and collects its bytes on a thread of its own.
class LoopbackListener {
 public:
  struct Options {
    // SO_RCVBUF of the accepted sockets; 0 keeps the system's default.
    int receive_buffer = 0;
    // Bytes read from one connection per step, and the pause after a step that read
    // something: together they make a slow reader.
    size_t read_chunk = 65536;
    milliseconds read_pause{0};
  };

  LoopbackListener();
  explicit LoopbackListener(Options options);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }

  // Connections are numbered from 0 in the order they were accepted.
  size_t connection_count() const;
  std::string received(size_t connection) const;
  // True once the peer has closed (end of stream or reset) or this side dropped it.
  bool closed(size_t connection) const;

  // Each returns whether the condition held before the time ran out.
  bool wait_for_connections(size_t count, milliseconds timeout) const;
  bool wait_for_bytes(size_t connection, size_t count, milliseconds timeout) const;
  bool wait_for_close(size_t connection, milliseconds timeout) const;

  // Resets (RST) the connection once it has received at least bytes; may be given
  // before the connection exists.
  void reset_after(size_t connection, size_t bytes);
  // Closes the connection from this side now (an orderly close, FIN); waits until done.
  void close_connection(size_t connection);

 private:
  struct Connection {
    RawSocket sock;
    std::string bytes;
    bool closed = false;
    size_t reset_at = 0;  // 0: never
    bool close_requested = false;
  };

  void serve();
  void accept_pending();
  bool read_some(Connection& connection);
  void apply_requests(Connection& connection);
  template <class Predicate>
  bool wait(milliseconds timeout, Predicate done) const;

  Options options_;
  RawSocket listen_sock_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Connection> connections_;
  std::vector<size_t> early_resets_;  // reset_after for connections not yet accepted
  std::vector<char> chunk_;           // the serving thread's read buffer
  std::thread thread_;
};

// Listens but never accepts, with its accept queue filled by connections of its own,
// so that a further connect gets no answer to its SYN and stays pending (Linux drops
// SYNs to a listener whose accept queue is full).
class FullBacklogListener {
 public:
  FullBacklogListener();
  ~FullBacklogListener();
  FullBacklogListener(const FullBacklogListener&) = delete;
  FullBacklogListener& operator=(const FullBacklogListener&) = delete;
  uint16_t port() const { return port_; }
  // False when the queue could not be seen to fill (the test should then skip).
  bool full() const { return full_; }

 private:
  RawSocket listen_sock_;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<RawSocket> fillers_;
};

// A port bound on 127.0.0.1 without listening: connects to it are refused, and nobody
// else can take the port while the object lives.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  RawSocket sock_;
  uint16_t port_ = 0;
};

}  // namespace kx::test
