#include "support/loopback.h"

#include <cstring>
#include <stdexcept>

#include "net/tcp_connection.h"

// The handful of socket calls whose names or types differ between the platforms.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
using Socket = SOCKET;
using Length = int;
constexpr Socket kNoSocket = INVALID_SOCKET;
int last_socket_error() { return WSAGetLastError(); }
bool would_block(int code) { return code == WSAEWOULDBLOCK; }
void close_socket(Socket sock) { closesocket(sock); }
int poll_sockets(pollfd* entries, size_t count, int timeout_ms) {
  return WSAPoll(entries, static_cast<ULONG>(count), timeout_ms);
}
void make_non_blocking(Socket sock) {
  u_long one = 1;
  ioctlsocket(sock, FIONBIO, &one);
}
}  // namespace
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
namespace {
using Socket = int;
using Length = socklen_t;
constexpr Socket kNoSocket = -1;
int last_socket_error() { return errno; }
bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINTR; }
void close_socket(Socket sock) { close(sock); }
int poll_sockets(pollfd* entries, size_t count, int timeout_ms) {
  return poll(entries, static_cast<nfds_t>(count), timeout_ms);
}
void make_non_blocking(Socket sock) { fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK); }
}  // namespace
#endif

namespace kx::test {
namespace {

constexpr milliseconds kServeStep{10};

Socket as_socket(RawSocket raw) { return static_cast<Socket>(raw); }
RawSocket as_raw(Socket sock) { return static_cast<RawSocket>(sock); }

sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

[[noreturn]] void fail(const char* call) {
  int code = last_socket_error();
  throw std::runtime_error(std::string(call) + " failed: error " + std::to_string(code));
}

// A TCP socket bound to 127.0.0.1 on a port the system picks; the port goes to *port.
Socket bound_loopback_socket(uint16_t* port, int receive_buffer = 0) {
  kx::net::init_sockets();
  Socket sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == kNoSocket) fail("socket()");
  if (receive_buffer > 0) {
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
               sizeof receive_buffer);
  }
  sockaddr_in address = loopback_address(0);
  if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close_socket(sock);
    fail("bind(127.0.0.1:0)");
  }
  Length size = sizeof address;
  getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return sock;
}

void reset_and_close(Socket sock) {
  // A zero linger time makes close send RST instead of FIN.
  linger abort_now{1, 0};
  setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_now),
             sizeof abort_now);
  close_socket(sock);
}

}  // namespace

void set_send_buffer(RawSocket sock, int bytes) {
  setsockopt(as_socket(sock), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
             sizeof bytes);
}

bool wait_readable(RawSocket sock, milliseconds timeout) {
  pollfd entry{as_socket(sock), POLLIN, 0};
  return poll_sockets(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

LoopbackListener::LoopbackListener() : LoopbackListener(Options()) {}

LoopbackListener::LoopbackListener(Options options)
    : options_(options), chunk_(options.read_chunk) {
  Socket sock = bound_loopback_socket(&port_, options_.receive_buffer);
  if (listen(sock, 16) != 0) {
    close_socket(sock);
    fail("listen()");
  }
  make_non_blocking(sock);
  listen_sock_ = as_raw(sock);
  thread_ = std::thread([this] { serve(); });
}

LoopbackListener::~LoopbackListener() {
  stopping_ = true;
  thread_.join();
  for (Connection& connection : connections_) {
    if (!connection.closed) close_socket(as_socket(connection.sock));
  }
  close_socket(as_socket(listen_sock_));
}

void LoopbackListener::serve() {
  std::vector<pollfd> entries;
  while (!stopping_) {
    entries.clear();
    entries.push_back(pollfd{as_socket(listen_sock_), POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Connection& connection : connections_) {
        if (!connection.closed) entries.push_back(pollfd{as_socket(connection.sock), POLLIN, 0});
      }
    }
    poll_sockets(entries.data(), entries.size(), static_cast<int>(kServeStep.count()));
    bool read_any = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      accept_pending();
      for (Connection& connection : connections_) {
        if (connection.closed) continue;
        read_any |= read_some(connection);
        apply_requests(connection);
      }
    }
    changed_.notify_all();
    if (read_any && options_.read_pause.count() > 0) std::this_thread::sleep_for(options_.read_pause);
  }
}

// Called with mutex_ held.
void LoopbackListener::accept_pending() {
  for (;;) {
    Socket sock = accept(as_socket(listen_sock_), nullptr, nullptr);
    if (sock == kNoSocket) return;
    make_non_blocking(sock);
    Connection connection{as_raw(sock), std::string()};
    size_t index = connections_.size();
    if (index < early_resets_.size()) connection.reset_at = early_resets_[index];
    connections_.push_back(std::move(connection));
  }
}

// Reads what one step may take from the connection; called with mutex_ held. True when
// any byte arrived.
bool LoopbackListener::read_some(Connection& connection) {
  int n = static_cast<int>(recv(as_socket(connection.sock), chunk_.data(),
                                static_cast<int>(chunk_.size()), 0));
  if (n > 0) {
    connection.bytes.append(chunk_.data(), static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && would_block(last_socket_error())) return false;
  // End of stream, or the peer reset the connection.
  close_socket(as_socket(connection.sock));
  connection.closed = true;
  return false;
}

// Called with mutex_ held.
void LoopbackListener::apply_requests(Connection& connection) {
  if (connection.closed) return;
  if (connection.reset_at > 0 && connection.bytes.size() >= connection.reset_at) {
    reset_and_close(as_socket(connection.sock));
    connection.closed = true;
  } else if (connection.close_requested) {
    close_socket(as_socket(connection.sock));
    connection.closed = true;
  }
}

template <class Predicate>
bool LoopbackListener::wait(milliseconds timeout, Predicate done) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, done);
}

size_t LoopbackListener::connection_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

std::string LoopbackListener::received(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < connections_.size() ? connections_[connection].bytes : std::string();
}

bool LoopbackListener::closed(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < connections_.size() && connections_[connection].closed;
}

bool LoopbackListener::wait_for_connections(size_t count, milliseconds timeout) const {
  return wait(timeout, [&] { return connections_.size() >= count; });
}

bool LoopbackListener::wait_for_bytes(size_t connection, size_t count,
                                      milliseconds timeout) const {
  return wait(timeout, [&] {
    return connection < connections_.size() && connections_[connection].bytes.size() >= count;
  });
}

bool LoopbackListener::wait_for_close(size_t connection, milliseconds timeout) const {
  return wait(timeout,
              [&] { return connection < connections_.size() && connections_[connection].closed; });
}

void LoopbackListener::reset_after(size_t connection, size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection < connections_.size()) {
    connections_[connection].reset_at = bytes;
    return;
  }
  if (early_resets_.size() <= connection) early_resets_.resize(connection + 1, 0);
  early_resets_[connection] = bytes;
}

void LoopbackListener::close_connection(size_t connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection >= connections_.size()) throw std::logic_error("no such connection");
    connections_[connection].close_requested = true;
  }
  if (!wait_for_close(connection, milliseconds(5000))) throw std::runtime_error("close timed out");
}

FullBacklogListener::FullBacklogListener() {
  Socket sock = bound_loopback_socket(&port_);
  if (listen(sock, 1) != 0) {
    close_socket(sock);
    fail("listen()");
  }
  listen_sock_ = as_raw(sock);
  // Connect until one connect gets no answer: from then on SYNs to the port are dropped.
  const sockaddr_in address = loopback_address(port_);
  for (int attempt = 0; attempt < 32 && !full_; ++attempt) {
    Socket filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (filler == kNoSocket) fail("socket()");
    make_non_blocking(filler);
    connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    fillers_.push_back(as_raw(filler));
    pollfd entry{filler, POLLOUT, 0};
    full_ = poll_sockets(&entry, 1, 300) == 0;
  }
}

FullBacklogListener::~FullBacklogListener() {
  for (RawSocket filler : fillers_) close_socket(as_socket(filler));
  close_socket(as_socket(listen_sock_));
}

RefusingPort::RefusingPort() : sock_(as_raw(bound_loopback_socket(&port_))) {}

RefusingPort::~RefusingPort() { close_socket(as_socket(sock_)); }

}  // namespace kx::test
