#include "support/loopback.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
bool would_block() { return WSAGetLastError() == WSAEWOULDBLOCK; }
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
bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
void close_socket(Socket sock) { close(sock); }
int poll_sockets(pollfd* entries, size_t count, int timeout_ms) {
  return poll(entries, static_cast<nfds_t>(count), timeout_ms);
}
void make_non_blocking(Socket sock) { fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK); }
}  // namespace
#endif

namespace kx::test {
namespace {

Socket as_socket(RawSocket raw) { return static_cast<Socket>(raw); }
RawSocket as_raw(Socket sock) { return static_cast<RawSocket>(sock); }


// A TCP socket bound to 127.0.0.1 on a port the system picks; the port goes to *port.
// listen_backlog > 0 makes it listen.
Socket loopback_socket(uint16_t* port, int listen_backlog, int receive_buffer = 0) {
  net::init_sockets();
  Socket sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == kNoSocket) throw std::runtime_error("socket() failed");
  if (receive_buffer > 0) {
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer),
               sizeof receive_buffer);
  }
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Length size = sizeof address;
  if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (listen_backlog > 0 && listen(sock, listen_backlog) != 0)) {
    close_socket(sock);
    throw std::runtime_error("bind or listen on 127.0.0.1 failed");
  }
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

LoopbackListener::LoopbackListener(int receive_buffer) : chunk_(65536) {
  Socket sock = loopback_socket(&port_, 16, receive_buffer);
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
    entries.assign(1, pollfd{as_socket(listen_sock_), POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Connection& connection : connections_) {
        if (!connection.closed) entries.push_back(pollfd{as_socket(connection.sock), POLLIN, 0});
      }
    }
    poll_sockets(entries.data(), entries.size(), 10);
    serve_connections();
    changed_.notify_all();
  }
}

// Accepts what waits, reads one chunk from each connection and carries out the requests.
void LoopbackListener::serve_connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Socket sock; (sock = accept(as_socket(listen_sock_), nullptr, nullptr)) != kNoSocket;) {
    make_non_blocking(sock);
    connections_.push_back(Connection{as_raw(sock), std::string()});
  }
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& connection = connections_[i];
    if (connection.closed) continue;
    Socket sock = as_socket(connection.sock);
    int n = static_cast<int>(recv(sock, chunk_.data(), static_cast<int>(chunk_.size()), 0));
    if (n > 0) connection.bytes.append(chunk_.data(), static_cast<size_t>(n));
    auto request = requests_.find(i);
    if (n == 0 || (n < 0 && !would_block())) {  // end of stream, or the peer reset it
      close_socket(sock);
      connection.closed = true;
    } else if (request != requests_.end() && connection.bytes.size() >= request->second.at_bytes) {
      request->second.reset ? reset_and_close(sock) : close_socket(sock);
      connection.closed = true;
    }
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

void LoopbackListener::close_after(size_t connection, size_t bytes, bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_[connection] = Request{bytes, reset};
}

DeadPort::DeadPort() { sock_ = as_raw(loopback_socket(&port_, 0)); }

DeadPort::~DeadPort() { close_socket(as_socket(sock_)); }

HungListener::HungListener() { sock_ = as_raw(loopback_socket(&port_, 16, 4096)); }

HungListener::~HungListener() { close_socket(as_socket(sock_)); }

size_t WatchedSockets::sends_on(size_t socket) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return socket < sends_.size() ? sends_[socket] : 0;
}

void WatchedSockets::cut_after(size_t socket, size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_socket_ = socket;
  cut_bytes_ = bytes;
}

bool WatchedSockets::wait_until_peer_gone(size_t socket, milliseconds timeout) const {
  net::SocketHandle sock = net::kInvalidSocket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket < sockets_.size()) sock = sockets_[socket];
  }
  pollfd entry{as_socket(sock), POLLIN, 0};
  return sock != net::kInvalidSocket &&
         poll_sockets(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

net::SocketHandle WatchedSockets::open_tcp(int32_t* error) {
  net::SocketHandle sock = real().open_tcp(error);
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_.push_back(sock);
  sends_.push_back(0);
  sent_bytes_.push_back(0);
  newest_bytes_ = 0;
  newest_ = sock;
  return sock;
}

net::SocketStatus WatchedSockets::send(net::SocketHandle s, const uint8_t* data, uint32_t length,
                                       uint32_t* sent, int32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A closed socket's handle is reused by a later one: the newest with it is the live one.
  size_t index = sockets_.size();
  while (index-- > 0 && sockets_[index] != s) {
  }
  if (index == SIZE_MAX) return real().send(s, data, length, sent, error);
  ++sends_[index];
  if (index == cut_socket_) {
    const size_t left = cut_bytes_ - sent_bytes_[index];
    if (left == 0) {
      *error = ECONNRESET;
      return net::SocketStatus::failed;
    }
    length = static_cast<uint32_t>(std::min<size_t>(length, left));
  }
  const net::SocketStatus status = real().send(s, data, length, sent, error);
  if (status == net::SocketStatus::done) {
    sent_bytes_[index] += *sent;
    if (s == newest_) newest_bytes_.fetch_add(*sent, std::memory_order_release);
  }
  return status;
}

void WatchedSockets::shutdown_and_close(net::SocketHandle s) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (net::SocketHandle& sock : sockets_) {
      if (sock == s) sock = net::kInvalidSocket;
    }
  }
  real().shutdown_and_close(s);
}

}  // namespace kx::test
