#include "collector_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "collector_error.h"
#include "logging/log.h"

namespace kx::collector {
namespace {

constexpr size_t kReadBufferSize = 256 * 1024;
// Reads per connection and wake-up, so that one busy agent cannot starve the others.
constexpr int kReadsPerWakeup = 8;
constexpr int kMaxEvents = 64;
// Tags of the two descriptors that are not connections in the epoll data.
constexpr uint64_t kListenerTag = ~uint64_t{0};
constexpr uint64_t kStopTag = ~uint64_t{0} - 1;

// The loop is the only writer of the counters; others only read them.
void add(std::atomic<uint64_t>& counter, uint64_t n) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

constexpr auto raise_system_error = kx::error::raise_system_error<CollectorError>;

void watch(int epoll_fd, int fd, uint64_t tag) {
  struct epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = tag;
  if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
    int error = errno;
    raise_system_error("epoll_ctl", std::to_string(fd), error);
  }
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

struct CollectorServer::Connection {
  Connection(int fd, std::string peer_address, uint32_t max_record)
      : fd(fd), peer(std::move(peer_address)), parser(max_record) {}
  FileDescriptor fd;
  std::string peer;
  StreamParser parser;
};

// Hands each message a connection's parser finds to every output, with the
// connection's identity and the time of the read.
class CollectorServer::Dispatcher : public StreamSink {
 public:
  explicit Dispatcher(CollectorServer& server) : server_(server) {}

  void begin(const Connection& connection) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    message_.received_seconds = now.tv_sec;
    message_.received_micros = static_cast<uint32_t>(now.tv_nsec / 1000);
    message_.agent = connection.peer;
    message_.version = connection.parser.version();
  }

  // One line per agent connection, so an operator sees who is sending.
  void on_hello(std::string_view version) override {
    message_.version = version;
    server_.report(std::string(message_.agent), "hello, agent version " + std::string(version));
  }

  void on_message(const kx::wire::DnsMessageView& dns) override {
    message_.dns = dns;
    for (Output* output : server_.outputs_) output->write(message_);
    add(server_.messages_count_, 1);
    server_.unflushed_ = true;
    if (server_.options_.flush_each_message) server_.flush_outputs();
  }

 private:
  CollectorServer& server_;
  CollectedMessage message_;
};

CollectorServer::CollectorServer(const ServerOptions& options, std::vector<Output*> outputs,
                                 FILE* diagnostics)
    : options_(options),
      outputs_(std::move(outputs)),
      diagnostics_(diagnostics),
      dispatcher_(std::make_unique<Dispatcher>(*this)),
      read_buffer_(kReadBufferSize) {
  std::string where = format_socket_address(options.listen.get());
  listener_ = FileDescriptor(
      socket(options.listen.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener_.get() < 0) {
    int error = errno;
    raise_system_error("socket", where, error);
  }
  int on = 1;
  setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener_.get(), options.listen.get(), options.listen.length) != 0) {
    int error = errno;
    raise_system_error("bind", where, error);
  }
  if (listen(listener_.get(), SOMAXCONN) != 0) {
    int error = errno;
    raise_system_error("listen", where, error);
  }
  sockaddr_storage bound = {};
  socklen_t bound_length = sizeof bound;
  if (getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
    int error = errno;
    raise_system_error("getsockname", where, error);
  }
  address_ = format_socket_address(reinterpret_cast<sockaddr*>(&bound));

  epoll_ = FileDescriptor(epoll_create1(EPOLL_CLOEXEC));
  if (epoll_.get() < 0) {
    int error = errno;
    raise_system_error("epoll_create1", "", error);
  }
  stop_event_ = FileDescriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (stop_event_.get() < 0) {
    int error = errno;
    raise_system_error("eventfd", "", error);
  }
  watch(epoll_.get(), listener_.get(), kListenerTag);
  watch(epoll_.get(), stop_event_.get(), kStopTag);
}

CollectorServer::~CollectorServer() = default;

void CollectorServer::stop() {
  uint64_t one = 1;
  // Only write is allowed in a signal handler; a full counter already means "stop".
  ssize_t written = write(stop_event_.get(), &one, sizeof one);
  (void)written;
}

ServerStats CollectorServer::stats() const {
  ServerStats stats;
  stats.connections = connections_count_.load(std::memory_order_relaxed);
  stats.messages = messages_count_.load(std::memory_order_relaxed);
  stats.bytes = bytes_count_.load(std::memory_order_relaxed);
  stats.malformed = malformed_count_.load(std::memory_order_relaxed);
  stats.truncated = truncated_count_.load(std::memory_order_relaxed);
  return stats;
}

std::string CollectorServer::summary() const {
  ServerStats s = stats();
  return std::to_string(s.connections) + " connections, " + std::to_string(s.messages) +
         " messages, " + std::to_string(s.bytes) + " bytes, " + std::to_string(s.malformed) +
         " malformed, " + std::to_string(s.truncated) + " truncated";
}

void CollectorServer::report(const std::string& peer, const std::string& text) {
  fprintf(diagnostics_, "collector: %s: %s\n", peer.c_str(), text.c_str());
  fflush(diagnostics_);
}

void CollectorServer::accept_connections() {
  for (;;) {
    sockaddr_storage peer = {};
    socklen_t peer_length = sizeof peer;
    int fd = accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      report(address_, "accept() failed: " + kx::logging::system_error_text(error));
      // Out of descriptors or memory: the listener stays readable, so pause briefly
      // instead of spinning on it.
      struct timespec pause = {0, 100 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      return;
    }
    auto connection = std::make_unique<Connection>(
        fd, format_socket_address(reinterpret_cast<sockaddr*>(&peer)), options_.max_record);
    watch(epoll_.get(), fd, static_cast<uint64_t>(fd));
    connections_[fd] = std::move(connection);
    add(connections_count_, 1);
  }
}

// Returns false when the connection is to be closed: end of stream, a read error, or
// bad input.
bool CollectorServer::read_into_parser(Connection& connection) {
  for (int reads = 0; reads < kReadsPerWakeup; ++reads) {
    ssize_t n = read(connection.fd.get(), read_buffer_.data(), read_buffer_.size());
    if (n < 0) {
      int error = errno;
      if (error == EINTR) {
        --reads;
        continue;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) return true;
      if (error != ECONNRESET) {
        report(connection.peer, "read() failed: " + kx::logging::system_error_text(error));
      }
      return false;
    }
    if (n == 0) return false;
    add(bytes_count_, static_cast<uint64_t>(n));
    dispatcher_->begin(connection);
    if (!connection.parser.feed(read_buffer_.data(), static_cast<size_t>(n), *dispatcher_)) {
      report(connection.peer, connection.parser.error() + "; connection closed");
      add(malformed_count_, 1);
      return false;
    }
    if (static_cast<size_t>(n) < read_buffer_.size()) return true;
  }
  return true;
}

void CollectorServer::close_connection(int fd) {
  auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  const Connection& connection = *found->second;
  if (!connection.parser.failed() && connection.parser.pending_bytes() > 0) {
    report(connection.peer, "connection ended inside a record (" +
                                std::to_string(connection.parser.pending_bytes()) +
                                " bytes held); record dropped");
    add(truncated_count_, 1);
  }
  // Closing the descriptor also takes it out of the epoll set.
  connections_.erase(found);
}

void CollectorServer::serve(Connection& connection) {
  if (!read_into_parser(connection)) close_connection(connection.fd.get());
}

void CollectorServer::flush_outputs() {
  for (Output* output : outputs_) output->flush();
  unflushed_ = false;
}

void CollectorServer::run() {
  struct epoll_event events[kMaxEvents];
  bool stopping = false;
  while (!stopping) {
    int count = epoll_wait(epoll_.get(), events, kMaxEvents, -1);
    if (count < 0) {
      int error = errno;
      if (error == EINTR) continue;
      raise_system_error("epoll_wait", "", error);
    }
    for (int i = 0; i < count; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kStopTag) {
        stopping = true;
      } else if (tag == kListenerTag) {
        accept_connections();
      } else {
        auto found = connections_.find(static_cast<int>(tag));
        if (found != connections_.end()) serve(*found->second);
      }
    }
    if (unflushed_) flush_outputs();
  }
  // What the agents sent before the stop is already in the socket buffers: take it
  // (one bounded round per connection) rather than lose it.
  std::vector<int> open;
  for (const auto& entry : connections_) open.push_back(entry.first);
  for (int fd : open) {
    read_into_parser(*connections_[fd]);
    close_connection(fd);
  }
  flush_outputs();
}

}  // namespace kx::collector
