// The collector's event loop: one listening socket, any number of agent connections,
// one thread. Each connection's bytes go through its own StreamParser to the outputs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "output.h"
#include "socket_address.h"
#include "stream_parser.h"

namespace kx::collector {

inline constexpr uint64_t kDefaultMaxBuffered = 256u * 1024 * 1024;
inline constexpr int64_t kDefaultStallMilliseconds = 60 * 1000;

struct ServerOptions {
  SocketAddress listen;
  uint32_t max_record = kDefaultMaxRecord;
  bool flush_each_message = false;  // otherwise outputs are flushed per read batch
  // Bytes all connections may hold in unfinished records together.
  uint64_t max_buffered = kDefaultMaxBuffered;
  // Peers accepted; empty accepts every peer.
  std::vector<Network> allow;
  // Reading time an unfinished record (or a missing hello) may go without a byte.
  int64_t stall_milliseconds = kDefaultStallMilliseconds;
};

struct ServerStats {
  uint64_t open = 0;         // connections open now
  uint64_t rejected = 0;     // closed at accept: peer not in the allowed networks
  uint64_t connections = 0;  // accepted
  uint64_t messages = 0;     // delivered to the outputs
  uint64_t bytes = 0;        // read from agents
  uint64_t malformed = 0;    // connections closed for bad input
  uint64_t truncated = 0;    // partial records dropped at the end of a connection
};

// A file descriptor owned by its holder.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// What one agent host sent, over all its connections. The loop is the only writer.
struct AgentTotals {
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> bytes{0};
};

// Raises the soft limit on open descriptors to the hard one, so that the collector
// holds as many agents as the system lets it.
void raise_descriptor_limit();

class CollectorServer {
 public:
  // Binds and listens at once (port 0 picks a free port). Raises CollectorError. The
  // outputs are not owned; diagnostics receives one line per bad connection.
  CollectorServer(const ServerOptions& options, std::vector<Output*> outputs,
                  FILE* diagnostics = stderr);
  ~CollectorServer();
  CollectorServer(const CollectorServer&) = delete;
  CollectorServer& operator=(const CollectorServer&) = delete;

  // Replaces the outputs; only before run(). The collector binds before it opens its
  // outputs, so that a second collector on a busy port leaves the first one's files
  // alone.
  void set_outputs(std::vector<Output*> outputs) { outputs_ = std::move(outputs); }

  // The bound address, "ADDR:PORT", with the real port.
  const std::string& address() const { return address_; }

  // Serves until stop() is called, then takes what each connection has waiting (one
  // bounded round of reads), closes every connection and flushes the outputs. Raises
  // CollectorError when an output fails.
  void run();

  // Ends run() soon. Safe from another thread and from a signal handler.
  void stop();

  // Makes run() reopen every output by its path soon (SIGHUP). Safe from a signal
  // handler.
  void reopen();

  // Safe from any thread while run() goes on.
  ServerStats stats() const;
  // "N connections, N messages, N bytes, N malformed, N truncated".
  std::string summary() const;
  // Calls visit with each agent address (no port) and its totals; safe from any thread.
  void for_each_agent(
      const std::function<void(const std::string&, const AgentTotals&)>& visit) const;

  // Readable once stop() was called (it stays so): outputs that must wait on a peer
  // watch it to give up soon after a stop.
  int stop_descriptor() const { return stop_event_.get(); }

 private:
  struct Connection;
  class Dispatcher;

  void accept_connections();
  bool admit(int fd, const sockaddr* peer);
  bool shed_surplus_connection(int error);
  void serve(Connection& connection);
  bool read_into_parser(Connection& connection);
  void account_held_bytes(Connection& connection);
  void enforce_buffer_cap();
  void close_stalled_connections();
  void close_connection(int fd, const std::string& reason = {});
  void flush_outputs();
  void reopen_outputs();
  void serve_output_events();
  void update_reading();
  int64_t reading_clock() const;
  int sweep_interval() const;
  void report(const std::string& peer, const std::string& text);
  bool report_allowed(int64_t& next_at, int64_t interval);

  ServerOptions options_;
  std::vector<Output*> outputs_;
  FILE* diagnostics_;
  FileDescriptor listener_;
  FileDescriptor epoll_;
  FileDescriptor stop_event_;
  FileDescriptor reopen_event_;
  // Kept open so that, out of descriptors, one can be freed to accept and close the
  // surplus connection instead of leaving it in the backlog to wake the loop forever.
  FileDescriptor reserve_;
  std::string address_;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::vector<uint8_t> read_buffer_;
  bool unflushed_ = false;
  // Cleared while an output cannot take more: the agents' sockets are then out of the
  // epoll set, so their data waits in the kernel and in the agents' rings.
  bool reading_ = true;
  // The loop's clock (microseconds, monotonic), taken once per wake-up.
  int64_t now_ = 0;
  // Time in which the loop was not reading (held back, or blocked in an output): the
  // stall rule does not count it.
  int64_t held_back_ = 0;
  int64_t held_back_since_ = 0;
  int64_t next_sweep_ = 0;
  uint64_t buffered_ = 0;  // bytes in unfinished records, all connections
  uint64_t shed_since_report_ = 0;
  int64_t next_shed_report_ = 0;
  int64_t next_reject_report_ = 0;

  mutable std::mutex agents_mutex_;
  std::map<std::string, AgentTotals> agents_;  // nodes never move: connections point in

  std::atomic<uint64_t> open_count_{0};
  std::atomic<uint64_t> rejected_count_{0};
  std::atomic<uint64_t> connections_count_{0};
  std::atomic<uint64_t> messages_count_{0};
  std::atomic<uint64_t> bytes_count_{0};
  std::atomic<uint64_t> malformed_count_{0};
  std::atomic<uint64_t> truncated_count_{0};
};

}  // namespace kx::collector
