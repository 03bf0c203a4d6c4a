// The TCP client's socket calls on POSIX sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "net/socket_api.h"
#include "net/tcp_connection.h"

namespace kx::net {
namespace {

// A send to a peer that has gone must fail with EPIPE, not raise SIGPIPE, whose default
// action would end the agent. Linux has a send flag for it; BSDs a socket option.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void keep_sigpipe_away([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

// The peer's orderly close shows as its own event where the system has one, even while
// bytes the peer sent are still unread.
#if defined(POLLRDHUP)
constexpr short kPeerClosedEvents = POLLRDHUP | POLLHUP;
#else
constexpr short kPeerClosedEvents = POLLHUP;
#endif

int to_fd(SocketHandle sock) { return static_cast<int>(sock); }

bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

class PosixSocketApi final : public SocketApi {
 public:
  SocketHandle open_tcp(int32_t* error) override {
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
      *error = errno;
      return kInvalidSocket;
    }
    keep_sigpipe_away(fd);
    return static_cast<SocketHandle>(fd);
  }

  SocketStatus set_non_blocking(SocketHandle sock, int32_t* error) override {
    int flags = fcntl(to_fd(sock), F_GETFL);
    if (flags < 0 || fcntl(to_fd(sock), F_SETFL, flags | O_NONBLOCK) < 0) {
      *error = errno;
      return SocketStatus::failed;
    }
    return SocketStatus::done;
  }

  SocketStatus start_connect(SocketHandle sock, const char* ip, uint16_t port,
                             int32_t* error) override {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip);
    if (::connect(to_fd(sock), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return SocketStatus::done;
    }
    int code = errno;
    // An interrupted non-blocking connect goes on in the background, like one in
    // progress; calling connect again would only report EALREADY.
    if (code == EINPROGRESS || code == EINTR) return SocketStatus::in_progress;
    *error = code;
    return SocketStatus::failed;
  }

  // poll, not select: select cannot hold a descriptor above FD_SETSIZE. The deadline is
  // kept across EINTR and across time limits longer than poll's int milliseconds.
  SocketStatus wait_writable(SocketHandle sock, uint32_t seconds, int32_t* error) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      int wait_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
      pollfd entry{to_fd(sock), POLLOUT, 0};
      int ready = poll(&entry, 1, wait_ms);
      if (ready > 0) return SocketStatus::done;
      if (ready < 0) {
        int code = errno;
        if (code == EINTR) continue;
        *error = code;
        return SocketStatus::failed;
      }
      if (Clock::now() >= deadline) return SocketStatus::timed_out;
    }
  }

  SocketStatus pending_error(SocketHandle sock, int32_t* pending, int32_t* error) override {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(to_fd(sock), SOL_SOCKET, SO_ERROR, &value, &size) < 0) {
      *error = errno;
      return SocketStatus::failed;
    }
    *pending = value;
    return SocketStatus::done;
  }

  SocketStatus send(SocketHandle sock, const uint8_t* data, uint32_t length, uint32_t* sent,
                    int32_t* error) override {
    // ssize_t holds the count only up to SSIZE_MAX; one step never needs more.
    size_t step = std::min<size_t>(length, INT_MAX);
    for (;;) {
      ssize_t n = ::send(to_fd(sock), data, step, kSendFlags);
      if (n >= 0) {
        *sent = static_cast<uint32_t>(n);
        return SocketStatus::done;
      }
      int code = errno;
      if (code == EINTR) continue;
      if (would_block(code)) return SocketStatus::in_progress;
      *error = code;
      return SocketStatus::failed;
    }
  }

  PeerState peer_state(SocketHandle sock, int32_t* error) override {
    pollfd entry{to_fd(sock), static_cast<short>(POLLIN | kPeerClosedEvents), 0};
    for (;;) {
      int ready = poll(&entry, 1, 0);
      if (ready == 0) return PeerState::open;
      if (ready > 0) break;
      int code = errno;
      if (code == EINTR) continue;
      *error = code;
      return PeerState::check_failed;
    }
    if ((entry.revents & POLLNVAL) != 0) {
      *error = EBADF;
      return PeerState::check_failed;
    }
    // Readable: the end of the stream, a pending error, or bytes the peer sent. A peek
    // tells them apart and leaves any byte where it is.
    for (;;) {
      uint8_t byte;
      ssize_t n = recv(to_fd(sock), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0) return PeerState::closed;
      if (n > 0) {
        return (entry.revents & kPeerClosedEvents) != 0 ? PeerState::closed : PeerState::open;
      }
      int code = errno;
      if (code == EINTR) continue;
      if (would_block(code)) return PeerState::open;
      *error = code;
      return PeerState::reset;
    }
  }

  void shutdown_and_close(SocketHandle sock) override {
    shutdown(to_fd(sock), SHUT_RDWR);
    // Not retried on EINTR: Linux releases the descriptor even then.
    ::close(to_fd(sock));
  }
};

}  // namespace

SocketApi& system_socket_api() {
  static PosixSocketApi api;
  return api;
}

int init_sockets() { return 0; }

}  // namespace kx::net
