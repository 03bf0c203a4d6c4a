// The collector's event loop: one listening socket, any number of agent connections,
// one thread. Each connection's bytes go through its own StreamParser to the outputs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "output.h"
#include "socket_address.h"
#include "stream_parser.h"

namespace kx::collector {

struct ServerOptions {
  SocketAddress listen;
  uint32_t max_record = kDefaultMaxRecord;
  bool flush_each_message = false;  // otherwise outputs are flushed per read batch
};

struct ServerStats {
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

 private:
  struct Connection;
  class Dispatcher;

  void accept_connections();
  void serve(Connection& connection);
  bool read_into_parser(Connection& connection);
  void close_connection(int fd);
  void flush_outputs();
  void reopen_outputs();
  void serve_output_events();
  void update_reading();
  void report(const std::string& peer, const std::string& text);

  ServerOptions options_;
  std::vector<Output*> outputs_;
  FILE* diagnostics_;
  FileDescriptor listener_;
  FileDescriptor epoll_;
  FileDescriptor stop_event_;
  FileDescriptor reopen_event_;
  std::string address_;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::vector<uint8_t> read_buffer_;
  bool unflushed_ = false;
  // Cleared while an output cannot take more: the agents' sockets are then out of the
  // epoll set, so their data waits in the kernel and in the agents' rings.
  bool reading_ = true;

  std::atomic<uint64_t> connections_count_{0};
  std::atomic<uint64_t> messages_count_{0};
  std::atomic<uint64_t> bytes_count_{0};
  std::atomic<uint64_t> malformed_count_{0};
  std::atomic<uint64_t> truncated_count_{0};
};

}  // namespace kx::collector
