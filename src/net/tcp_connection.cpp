#include "net/tcp_connection.h"

#include <string>

#include "agent/errors.h"
#include "logging/log.h"

namespace kx::net {
namespace {

// The TCP client's failures are SensorErrors; see agent/errors.h.
constexpr auto raise_failed = kx::error::raise_system_error<kx::sensor::SensorError>;

// The longest single wait while a stop flag is watched.
constexpr uint32_t kStopCheckSeconds = 1;

}  // namespace

// Stricter than inet_addr, which also takes "1.2", hexadecimal and octal parts, and
// turns anything else into the all-ones address.
bool is_dotted_ipv4(std::string_view text) {
  int parts = 0;
  size_t pos = 0;
  while (parts < 4) {
    size_t digits = 0;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (parts < 4) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

TcpConnection::TcpConnection() : sockets_(&system_socket_api()) {}

TcpConnection::TcpConnection(SocketApi& sockets) : sockets_(&sockets) {}

TcpConnection::~TcpConnection() { close(); }

void TcpConnection::close() {
  if (sock_ == kInvalidSocket) return;
  sockets_->shutdown_and_close(sock_);
  sock_ = kInvalidSocket;
}

void TcpConnection::connect(const std::string& ip, uint16_t port, uint32_t timeout) {
  close();
  ip_ = ip;
  port_ = port;
  timeout_ = timeout;
  timed_out_ = false;
  // inet_addr would send the connect to 255.255.255.255 and the failure would name
  // that, not the text the operator wrote.
  if (!is_dotted_ipv4(ip_)) throw kx::sensor::SensorError("not a dotted IPv4 address");

  int32_t error = 0;
  sock_ = sockets_->open_tcp(&error);
  if (sock_ == kInvalidSocket) raise_failed("socket", "", error);
  if (sockets_->set_non_blocking(sock_, &error) != SocketStatus::done) {
    raise_failed("ioctlsocket", "FIONBIO", error);
  }
  if (sockets_->start_connect(sock_, ip_.c_str(), port_, &error) == SocketStatus::failed) {
    raise_failed("connect", ip_, error);
  }
  // Also when the connect finished at once: writability is what counts as established.
  wait_writable(timeout_);
  check_connect_result();
}

// Where a refused or unreachable connect makes the socket ready (writable on POSIX, in
// the exception set on Windows), the outcome is only in the socket's pending error.
void TcpConnection::check_connect_result() {
  int32_t pending = 0;
  int32_t error = 0;
  if (sockets_->pending_error(sock_, &pending, &error) != SocketStatus::done) {
    raise_failed("getsockopt", "SO_ERROR", error);
  }
  if (pending != 0) raise_failed("connect", ip_, pending);
}

void TcpConnection::wait_writable(uint32_t seconds) {
  uint32_t left = seconds;
  for (;;) {
    if (stop_ != nullptr && stop_->load()) throw kx::sensor::SensorError("stop requested");
    const uint32_t step = stop_ != nullptr && left > kStopCheckSeconds ? kStopCheckSeconds : left;
    int32_t error = 0;
    switch (sockets_->wait_writable(sock_, step, &error)) {
      case SocketStatus::timed_out:
        left -= step;
        if (left == 0) {
          timed_out_ = true;
          throw kx::sensor::SensorError("select() timed out");
        }
        continue;
      case SocketStatus::failed:
        raise_failed("select", "", error);
      default:
        return;
    }
  }
}

void TcpConnection::check_open() {
  int32_t error = 0;
  switch (sockets_->peer_state(sock_, &error)) {
    case PeerState::closed:
      throw kx::sensor::SensorError("send() failed: socket closed");
    case PeerState::reset:
      raise_failed("send", "", error);
    case PeerState::check_failed:
      raise_failed("select", "", error);
    default:
      return;
  }
}

// The send comes first and the wait only when the socket has no room: on a connection
// that keeps up, a wait before every send would double the system calls per record.
// Each wait is still bounded by the timeout.
void TcpConnection::send_all(const uint8_t* data, uint32_t length, uint32_t* handed) {
  uint32_t ignored = 0;
  uint32_t& total = handed != nullptr ? *handed : ignored;
  total = 0;
  while (total < length) {
    uint32_t sent = 0;
    int32_t error = 0;
    SocketStatus status = sockets_->send(sock_, data + total, length - total, &sent, &error);
    if (status == SocketStatus::in_progress) {
      wait_writable(timeout_);
      continue;
    }
    if (status != SocketStatus::done) raise_failed("send", "", error);
    if (sent == 0) throw kx::sensor::SensorError("send() failed: socket closed");
    total += sent;
  }
}

}  // namespace kx::net
