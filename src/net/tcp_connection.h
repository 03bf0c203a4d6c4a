// The agent's only network client: one outgoing TCP connection to a collector, opened
// in non-blocking mode so that the connect and every step of a send are bounded by the
// target's time-out. The stream is one-way; nothing is ever read from the socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket_api.h"

namespace kx::net {

// Prepares the platform's sockets once per process (Winsock 2.2; nothing elsewhere).
// The result is the platform's; callers ignore it.
int init_sockets();

// Whether text is an IPv4 address in dotted notation: four decimal numbers of 0 to 255,
// dot-separated. Names and IPv6 addresses are not.
bool is_dotted_ipv4(std::string_view text);

// Used by one thread only. Every failure raises kx::sensor::SensorError whose message
// names the failed call, then the system's text for the error.
class TcpConnection {
 public:
  TcpConnection();
  // For tests: the same logic over scripted socket calls. sockets must outlive this.
  explicit TcpConnection(SocketApi& sockets);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Makes every wait of this connection end within about a second once *stop is true,
  // raising "stop requested". stop must outlive the connection; nullptr waits each
  // time-out in one piece.
  void set_stop_flag(const std::atomic<bool>* stop) { stop_ = stop; }

  // Closes any open socket, then connects to ip:port and returns once the connection is
  // writable, waiting at most timeout seconds. ip must be dotted IPv4: other text fails
  // with "not a dotted IPv4 address" before any socket is opened. After a failure the
  // new socket stays open (but unusable) until the next connect, close or the destructor.
  void connect(const std::string& ip, uint16_t port, uint32_t timeout);

  // Returns once all length bytes are queued. Each wait for room is bounded by the
  // timeout of the last connect; there is no overall deadline. Length 0 does nothing.
  // With handed, *handed counts the bytes the system took, also when the send fails.
  void send_all(const uint8_t* data, uint32_t length, uint32_t* handed = nullptr);

  // Waits up to seconds for the socket to take data (or, while connecting, to finish);
  // with a stop flag, in steps of at most a second, looking at the flag before each.
  void wait_writable(uint32_t seconds);

  // Raises the error the next send would meet when the peer has already closed or
  // reset the connection ("send() failed: socket closed", or "send() failed: " and the
  // reset's text); returns at once otherwise. Waits for nothing. The stream is one-way,
  // so anything to read means the peer is gone.
  void check_open();

  // Shuts the socket down both ways and closes it, when one is open.
  void close();

  bool is_open() const { return sock_ != kInvalidSocket; }
  // Whether the last failure since the last connect was a time-out of a wait.
  bool timed_out() const { return timed_out_; }
  const std::string& ip() const { return ip_; }
  uint16_t port() const { return port_; }

 private:
  void check_connect_result();

  std::string ip_;
  uint16_t port_ = 0;
  uint32_t timeout_ = 0;
  SocketHandle sock_ = kInvalidSocket;
  SocketApi* sockets_;
  const std::atomic<bool>* stop_ = nullptr;
  bool timed_out_ = false;
};

}  // namespace kx::net
