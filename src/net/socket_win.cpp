// The TCP client's socket calls on Windows Sockets 2.
// inet_addr is what the agent's address handling is defined by (dotted text only, no
// name lookup); keep MSVC from refusing it as deprecated.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include <winsock2.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "net/socket_api.h"
#include "net/tcp_connection.h"

namespace kx::net {
namespace {

// select's time limit holds a long of seconds; longer limits are waited in steps.
constexpr uint32_t kLongestSelectSeconds = 86400;

SOCKET to_socket(SocketHandle sock) { return static_cast<SOCKET>(sock); }

class WinSocketApi final : public SocketApi {
 public:
  SocketHandle open_tcp(int32_t* error) override {
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
      *error = WSAGetLastError();
      return kInvalidSocket;
    }
    return static_cast<SocketHandle>(sock);
  }

  SocketStatus set_non_blocking(SocketHandle sock, int32_t* error) override {
    u_long one = 1;
    if (ioctlsocket(to_socket(sock), FIONBIO, &one) == SOCKET_ERROR) {
      *error = WSAGetLastError();
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
    if (::connect(to_socket(sock), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == 0) {
      return SocketStatus::done;
    }
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return SocketStatus::in_progress;
    *error = code;
    return SocketStatus::failed;
  }

  // Windows Sockets reports a failed non-blocking connect in the exception set, not the
  // write set; watching both lets a refused target fail at once instead of after the
  // whole time-out.
  SocketStatus wait_writable(SocketHandle sock, uint32_t seconds, int32_t* error) override {
    uint32_t left = seconds;
    for (;;) {
      uint32_t step = std::min(left, kLongestSelectSeconds);
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(to_socket(sock), &writable);
      FD_SET(to_socket(sock), &failed);
      timeval limit{static_cast<long>(step), 0};
      int ready = select(1, nullptr, &writable, &failed, &limit);
      if (ready == SOCKET_ERROR) {
        *error = WSAGetLastError();
        return SocketStatus::failed;
      }
      if (ready > 0) return SocketStatus::done;
      left -= step;
      if (left == 0) return SocketStatus::timed_out;
    }
  }

  SocketStatus pending_error(SocketHandle sock, int32_t* pending, int32_t* error) override {
    int value = 0;
    int size = sizeof value;
    if (getsockopt(to_socket(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value),
                   &size) == SOCKET_ERROR) {
      *error = WSAGetLastError();
      return SocketStatus::failed;
    }
    *pending = value;
    return SocketStatus::done;
  }

  SocketStatus send(SocketHandle sock, const uint8_t* data, uint32_t length, uint32_t* sent,
                    int32_t* error) override {
    int step = static_cast<int>(std::min<uint32_t>(length, INT_MAX));
    int n = ::send(to_socket(sock), reinterpret_cast<const char*>(data), step, 0);
    if (n == SOCKET_ERROR) {
      int code = WSAGetLastError();
      if (code == WSAEWOULDBLOCK) return SocketStatus::in_progress;
      *error = code;
      return SocketStatus::failed;
    }
    *sent = static_cast<uint32_t>(n);
    return SocketStatus::done;
  }

  // A zero time limit makes select a look, not a wait.
  PeerState peer_state(SocketHandle sock, int32_t* error) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(to_socket(sock), &readable);
    timeval now{0, 0};
    int ready = select(1, &readable, nullptr, nullptr, &now);
    if (ready == SOCKET_ERROR) {
      *error = WSAGetLastError();
      return PeerState::check_failed;
    }
    if (ready == 0) return PeerState::open;
    // Readable: the end of the stream, a failed connection, or bytes the peer sent. A
    // peek tells them apart and leaves any byte where it is.
    char byte;
    int n = recv(to_socket(sock), &byte, 1, MSG_PEEK);
    if (n == 0) return PeerState::closed;
    if (n > 0) return PeerState::open;
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return PeerState::open;
    *error = code;
    return PeerState::reset;
  }

  void shutdown_and_close(SocketHandle sock) override {
    shutdown(to_socket(sock), SD_BOTH);
    closesocket(to_socket(sock));
  }
};

}  // namespace

SocketApi& system_socket_api() {
  static WinSocketApi api;
  return api;
}

int init_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

}  // namespace kx::net
