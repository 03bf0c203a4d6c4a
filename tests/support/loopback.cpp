#include "support/loopback.h"

#include <algorithm>
#include <cerrno>
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
void close_socket(Socket sock) { closesocket(sock); }
int poll_one(pollfd* entry, int timeout_ms) { return WSAPoll(entry, 1, timeout_ms); }
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
using Socket = int;
using Length = socklen_t;
constexpr Socket kNoSocket = -1;
void close_socket(Socket sock) { close(sock); }
int poll_one(pollfd* entry, int timeout_ms) { return poll(entry, 1, timeout_ms); }
}  // namespace
#endif

namespace kx::test {
namespace {

Socket as_socket(RawSocket raw) { return static_cast<Socket>(raw); }

// Whether the socket has something to read (or its end, or an error) within the time.
bool readable(RawSocket sock, int timeout_ms) {
  pollfd entry{as_socket(sock), POLLIN, 0};
  return poll_one(&entry, timeout_ms) > 0;
}

// A TCP socket bound to 127.0.0.1 on a port the system picks; the port goes to *port.
// listen_backlog > 0 makes it listen.
RawSocket loopback_socket(uint16_t* port, int listen_backlog) {
  net::init_sockets();
  Socket sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == kNoSocket) throw std::runtime_error("socket() failed");
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
  return static_cast<RawSocket>(sock);
}

void reset_and_close(Socket sock) {
  // A zero linger time makes close send RST instead of FIN.
  linger abort_now{1, 0};
  setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_now),
             sizeof abort_now);
  close_socket(sock);
}

}  // namespace

LoopbackListener::LoopbackListener()
    : listen_sock_(loopback_socket(&port_, 16)), thread_([this] { serve(); }) {}

LoopbackListener::~LoopbackListener() {
  stopping_ = true;
  thread_.join();
  close_socket(as_socket(listen_sock_));
}

// Every wait is a poll of 10 ms at most, so that the thread sees the stop; a socket is
// read only when the poll found it ready, so no call blocks.
void LoopbackListener::serve() {
  while (!stopping_) {
    if (!readable(listen_sock_, 10)) continue;
    const Socket sock = accept(as_socket(listen_sock_), nullptr, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    connections_.emplace_back();
    lock.unlock();
    serve_connection(static_cast<RawSocket>(sock), connections_.size() - 1);
  }
}

void LoopbackListener::serve_connection(RawSocket sock, size_t index) {
  std::vector<char> chunk(65536);
  while (!stopping_) {
    if (!readable(sock, 10)) continue;
    const int n = static_cast<int>(
        recv(as_socket(sock), chunk.data(), static_cast<int>(chunk.size()), 0));
    std::lock_guard<std::mutex> lock(mutex_);
    Connection& connection = connections_[index];
    if (n > 0) connection.bytes.append(chunk.data(), static_cast<size_t>(n));
    const auto request = close_requests_.find(index);
    const bool requested =
        request != close_requests_.end() && connection.bytes.size() >= request->second.first;
    // n <= 0: the end of the stream, or the peer reset it.
    connection.closed = n <= 0 || requested;
    changed_.notify_all();
    if (connection.closed) {
      requested && request->second.second ? reset_and_close(as_socket(sock))
                                          : close_socket(as_socket(sock));
      return;
    }
  }
  close_socket(as_socket(sock));
}

template <class Predicate>
bool LoopbackListener::wait(milliseconds timeout, Predicate done) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, done);
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
  close_requests_[connection] = {bytes, reset};
}

template <bool kListening>
IdlePort<kListening>::IdlePort() : sock_(loopback_socket(&port_, kListening ? 16 : 0)) {}

template <bool kListening>
IdlePort<kListening>::~IdlePort() {
  close_socket(as_socket(sock_));
}

template class IdlePort<false>;
template class IdlePort<true>;

size_t WatchedSockets::sends_on(size_t socket) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return socket < sockets_.size() ? sockets_[socket].sends : 0;
}

void WatchedSockets::cut_after(size_t socket, size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  cut_socket_ = socket;
  cut_bytes_ = bytes;
}

bool WatchedSockets::wait_until_peer_gone(size_t socket, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  const Handle sock = socket < sockets_.size() ? sockets_[socket].sock : net::kInvalidSocket;
  lock.unlock();
  return sock != net::kInvalidSocket && readable(sock, static_cast<int>(timeout.count()));
}

WatchedSockets::Handle WatchedSockets::open_tcp(int32_t* error) {
  const Handle sock = real().open_tcp(error);
  std::lock_guard<std::mutex> lock(mutex_);
  sockets_.push_back(Watched{sock});
  newest_bytes_ = 0;
  newest_ = sock;
  return sock;
}

WatchedSockets::Status WatchedSockets::send(Handle s, const uint8_t* data, uint32_t length,
                                            uint32_t* sent, int32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A closed socket's handle is reused by a later one: the newest with it is the live one.
  size_t index = sockets_.size();
  while (index-- > 0 && sockets_[index].sock != s) {
  }
  if (index == SIZE_MAX) return real().send(s, data, length, sent, error);
  Watched& watched = sockets_[index];
  ++watched.sends;
  if (index == cut_socket_) {
    if (watched.bytes == cut_bytes_) {
      *error = ECONNRESET;
      return Status::failed;
    }
    length = static_cast<uint32_t>(std::min<size_t>(length, cut_bytes_ - watched.bytes));
  }
  const Status status = real().send(s, data, length, sent, error);
  if (status == Status::done) {
    watched.bytes += *sent;
    if (s == newest_) newest_bytes_.fetch_add(*sent, std::memory_order_release);
  }
  return status;
}

void WatchedSockets::shutdown_and_close(Handle s) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (Watched& watched : sockets_) {
    if (watched.sock == s) watched.sock = net::kInvalidSocket;
  }
  lock.unlock();
  real().shutdown_and_close(s);
}

}  // namespace kx::test
