#include "collector_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
// Tags of the descriptors that are not connections in the epoll data.
constexpr uint64_t kListenerTag = ~uint64_t{0};
constexpr uint64_t kStopTag = ~uint64_t{0} - 1;
constexpr uint64_t kReopenTag = ~uint64_t{0} - 2;
constexpr uint64_t kOutputTag = ~uint64_t{0} - 3;
constexpr int64_t kMicros = 1000 * 1000;
// Lines about refused connections: at most one per interval, so a flood cannot flood
// standard error too.
constexpr int64_t kShedReportInterval = 10 * kMicros;
constexpr int64_t kRejectReportInterval = 1 * kMicros;

int64_t monotonic_micros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * kMicros + now.tv_nsec / 1000;
}

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

// Reads an eventfd empty so that it stops waking the loop.
void drain(int event_fd) {
  uint64_t count;
  ssize_t n = read(event_fd, &count, sizeof count);
  (void)n;
}

}  // namespace

void raise_descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

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
  Connection(int fd, std::string peer_address, uint32_t max_record, AgentTotals& agent,
             int64_t now)
      : fd(fd), peer(std::move(peer_address)), parser(max_record), totals(agent),
        progress_at(now) {}
  // An unfinished record, or no hello yet: the stall rule applies.
  bool unfinished() const { return parser.pending_bytes() > 0 || !parser.hello_seen(); }
  FileDescriptor fd;
  std::string peer;
  StreamParser parser;
  AgentTotals& totals;
  size_t held = 0;          // pending bytes as counted in buffered_
  int64_t progress_at = 0;  // reading clock of the last byte read
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
  reopen_event_ = FileDescriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (reopen_event_.get() < 0) {
    int error = errno;
    raise_system_error("eventfd", "", error);
  }
  reserve_ = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
  watch(epoll_.get(), listener_.get(), kListenerTag);
  watch(epoll_.get(), stop_event_.get(), kStopTag);
  watch(epoll_.get(), reopen_event_.get(), kReopenTag);
}

CollectorServer::~CollectorServer() = default;

void CollectorServer::stop() {
  uint64_t one = 1;
  // Only write is allowed in a signal handler; a full counter already means "stop".
  ssize_t written = write(stop_event_.get(), &one, sizeof one);
  (void)written;
}

void CollectorServer::reopen() {
  uint64_t one = 1;
  ssize_t written = write(reopen_event_.get(), &one, sizeof one);
  (void)written;
}

ServerStats CollectorServer::stats() const {
  ServerStats stats;
  stats.open = open_count_.load(std::memory_order_relaxed);
  stats.rejected = rejected_count_.load(std::memory_order_relaxed);
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

void CollectorServer::for_each_agent(
    const std::function<void(const std::string&, const AgentTotals&)>& visit) const {
  std::lock_guard<std::mutex> lock(agents_mutex_);
  for (const auto& entry : agents_) visit(entry.first, entry.second);
}

void CollectorServer::report(const std::string& peer, const std::string& text) {
  fprintf(diagnostics_, "collector: %s: %s\n", peer.c_str(), text.c_str());
  fflush(diagnostics_);
}

bool CollectorServer::report_allowed(int64_t& next_at, int64_t interval) {
  if (now_ < next_at) return false;
  next_at = now_ + interval;
  return true;
}

// Milliseconds between two checks of the stall rule: a second, less for short limits.
int CollectorServer::sweep_interval() const {
  return static_cast<int>(std::clamp<int64_t>(options_.stall_milliseconds / 4, 10, 1000));
}

int64_t CollectorServer::reading_clock() const {
  return now_ - held_back_ - (reading_ ? 0 : now_ - held_back_since_);
}

// Out of descriptors: frees the reserved one to take the oldest waiting connection off
// the backlog and close it, then reserves again. Returns false when none was waiting
// (accept() reports the lack of descriptors before it looks at the backlog).
bool CollectorServer::shed_surplus_connection(int error) {
  reserve_ = FileDescriptor();
  int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    ++shed_since_report_;
  }
  reserve_ = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (shed_since_report_ > 0 && report_allowed(next_shed_report_, kShedReportInterval)) {
    report(address_, "accept() failed: " + kx::logging::system_error_text(error) + "; " +
                         std::to_string(shed_since_report_) + " connections closed");
    shed_since_report_ = 0;
  }
  return fd >= 0;
}

// Takes an accepted connection into the loop, or closes it when its peer is not in the
// allowed networks. Returns false when it was closed.
bool CollectorServer::admit(int fd, const sockaddr* peer) {
  bool allowed = options_.allow.empty();
  for (const Network& network : options_.allow) {
    allowed = allowed || network_contains(network, peer);
  }
  if (!allowed) {
    close(fd);
    add(rejected_count_, 1);
    if (report_allowed(next_reject_report_, kRejectReportInterval)) {
      report(format_socket_address(peer), "not in an allowed network; connection closed");
    }
    return false;
  }
  AgentTotals* totals;
  {
    std::lock_guard<std::mutex> lock(agents_mutex_);
    totals = &agents_[format_ip_address(peer)];
  }
  auto connection = std::make_unique<Connection>(fd, format_socket_address(peer),
                                                 options_.max_record, *totals, reading_clock());
  if (reading_) watch(epoll_.get(), fd, static_cast<uint64_t>(fd));
  connections_[fd] = std::move(connection);
  add(connections_count_, 1);
  add(open_count_, 1);
  return true;
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
      if ((error == EMFILE || error == ENFILE) && reserve_.get() >= 0) {
        if (shed_surplus_connection(error)) continue;
        return;
      }
      report(address_, "accept() failed: " + kx::logging::system_error_text(error));
      // Out of descriptors or memory: the listener stays readable, so pause briefly
      // instead of spinning on it.
      struct timespec pause = {0, 100 * 1000 * 1000};
      nanosleep(&pause, nullptr);
      return;
    }
    admit(fd, reinterpret_cast<sockaddr*>(&peer));
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
    add(connection.totals.bytes, static_cast<uint64_t>(n));
    connection.progress_at = reading_clock();
    dispatcher_->begin(connection);
    uint64_t before = connection.parser.messages();
    bool good = connection.parser.feed(read_buffer_.data(), static_cast<size_t>(n), *dispatcher_);
    add(connection.totals.messages, connection.parser.messages() - before);
    account_held_bytes(connection);
    if (!good) {
      report(connection.peer, connection.parser.error() + "; connection closed");
      add(malformed_count_, 1);
      return false;
    }
    if (static_cast<size_t>(n) < read_buffer_.size()) return true;
  }
  return true;
}

void CollectorServer::account_held_bytes(Connection& connection) {
  size_t held = connection.parser.pending_bytes();
  buffered_ = buffered_ - connection.held + held;
  connection.held = held;
}

// Past the cap, closes the connection that holds the most until the rest fit; the
// scan runs only then.
void CollectorServer::enforce_buffer_cap() {
  while (buffered_ > options_.max_buffered) {
    Connection* largest = nullptr;
    for (const auto& entry : connections_) {
      if (largest == nullptr || entry.second->held > largest->held) largest = entry.second.get();
    }
    if (largest == nullptr) return;
    close_connection(largest->fd.get(),
                     "unfinished records hold " + std::to_string(buffered_) +
                         " bytes, above the limit of " + std::to_string(options_.max_buffered) +
                         "; this one holds " + std::to_string(largest->held));
  }
}

// A peer that stops inside a record (or before its hello) would hold its buffer and
// descriptor for ever. Time in which the loop did not read is not counted.
void CollectorServer::close_stalled_connections() {
  if (now_ < next_sweep_) return;
  next_sweep_ = now_ + sweep_interval() * 1000;
  int64_t limit = options_.stall_milliseconds * 1000;
  std::vector<int> stalled;
  for (const auto& entry : connections_) {
    const Connection& connection = *entry.second;
    if (connection.unfinished() && reading_clock() - connection.progress_at >= limit) {
      stalled.push_back(entry.first);
    }
  }
  for (int fd : stalled) {
    const Connection& connection = *connections_[fd];
    int64_t limit_ms = options_.stall_milliseconds;
    std::string duration = limit_ms % 1000 == 0 ? std::to_string(limit_ms / 1000) + " s"
                                                : std::to_string(limit_ms) + " ms";
    close_connection(fd, "no progress for " + duration + " " +
                             (connection.parser.hello_seen()
                                  ? "inside a record (" + std::to_string(connection.held) +
                                        " bytes held)"
                                  : "before a hello"));
  }
}

// With a reason, the connection is closed by the collector: one line says why, and a
// record it held counts as truncated.
void CollectorServer::close_connection(int fd, const std::string& reason) {
  auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  Connection& connection = *found->second;
  bool partial = !connection.parser.failed() && connection.parser.pending_bytes() > 0;
  if (!reason.empty()) {
    report(connection.peer, reason + "; connection closed");
  } else if (partial) {
    report(connection.peer, "connection ended inside a record (" +
                                std::to_string(connection.parser.pending_bytes()) +
                                " bytes held); record dropped");
  }
  if (partial) add(truncated_count_, 1);
  buffered_ -= connection.held;
  open_count_.fetch_sub(1, std::memory_order_relaxed);
  // Closing the descriptor also takes it out of the epoll set.
  connections_.erase(found);
}

void CollectorServer::serve(Connection& connection) {
  int fd = connection.fd.get();
  if (!read_into_parser(connection)) return close_connection(fd);
  if (buffered_ > options_.max_buffered) enforce_buffer_cap();
}

// Time spent here is time not spent reading: a slow output holds every agent back.
void CollectorServer::flush_outputs() {
  int64_t start = monotonic_micros();
  for (Output* output : outputs_) output->flush();
  unflushed_ = false;
  if (reading_) held_back_ += monotonic_micros() - start;
}

void CollectorServer::serve_output_events() {
  for (Output* output : outputs_) {
    if (output->event_descriptor() >= 0) output->serve_events();
  }
}

// Takes the agents out of the epoll set while an output cannot take more, and puts them
// back once every output can. Taking them out (rather than ignoring their events) keeps
// a reset connection from waking the loop over and over meanwhile.
void CollectorServer::update_reading() {
  bool accepting = true;
  for (Output* output : outputs_) accepting = accepting && output->accepting();
  if (accepting == reading_) return;
  if (accepting) held_back_ += now_ - held_back_since_;
  held_back_since_ = now_;
  reading_ = accepting;
  for (const auto& entry : connections_) {
    if (accepting) {
      watch(epoll_.get(), entry.first, static_cast<uint64_t>(entry.first));
    } else {
      epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, entry.first, nullptr);
    }
  }
}

void CollectorServer::reopen_outputs() {
  drain(reopen_event_.get());
  flush_outputs();
  for (Output* output : outputs_) {
    try {
      output->reopen();
    } catch (const CollectorError& e) {
      fprintf(diagnostics_, "collector: %s; still writing the old file\n", e.what());
    }
  }
  fprintf(diagnostics_, "collector: files reopened\n");
  fflush(diagnostics_);
}

void CollectorServer::run() {
  struct epoll_event events[kMaxEvents];
  bool stopping = false;
  for (Output* output : outputs_) {
    if (output->event_descriptor() >= 0) {
      watch(epoll_.get(), output->event_descriptor(), kOutputTag);
    }
  }
  now_ = monotonic_micros();
  update_reading();
  while (!stopping) {
    // With connections open the loop wakes now and then for the stall rule.
    int timeout = connections_.empty() ? -1 : sweep_interval();
    int count = epoll_wait(epoll_.get(), events, kMaxEvents, timeout);
    if (count < 0) {
      int error = errno;
      if (error == EINTR) continue;
      raise_system_error("epoll_wait", "", error);
    }
    now_ = monotonic_micros();
    for (int i = 0; i < count; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kStopTag) {
        stopping = true;
      } else if (tag == kListenerTag) {
        accept_connections();
      } else if (tag == kReopenTag) {
        reopen_outputs();
      } else if (tag == kOutputTag) {
        serve_output_events();
      } else if (reading_) {
        auto found = connections_.find(static_cast<int>(tag));
        if (found != connections_.end()) serve(*found->second);
        update_reading();
      }
    }
    if (unflushed_) flush_outputs();
    now_ = monotonic_micros();
    update_reading();
    close_stalled_connections();
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
