// The few socket calls the TCP client needs, behind one narrow interface. The connect
// and send logic (tcp_connection.cpp) is the same on every platform; only these calls
// differ, so each platform has one file implementing them and tests drive the logic
// with a scripted fake.
#pragma once

#include <cstdint>

namespace kx::net {

// Wide enough for a Windows SOCKET and a POSIX descriptor alike.
using SocketHandle = uintptr_t;
// Windows' INVALID_SOCKET; a POSIX -1 converts to the same value.
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// How one platform call ended. Where a call fails, the platform's error code (a Winsock
// code or an errno value) is stored through the error argument, read right after the
// failing call.
enum class SocketStatus {
  done,         // the call did what was asked
  in_progress,  // connect: still under way; send: nothing could be queued now
  timed_out,    // wait: not writable within the limit
  failed,       // see the error code
};

// What a look at a connection, without waiting, tells of its peer.
enum class PeerState {
  open,          // nothing to read, or bytes the peer sent (left unread)
  closed,        // the peer closed its side: the stream has ended
  reset,         // the connection failed (reset by the peer, say): see the error code
  check_failed,  // the look itself failed: see the error code
};

class SocketApi {
 public:
  virtual ~SocketApi() = default;

  // A new IPv4 TCP socket, or kInvalidSocket.
  virtual SocketHandle open_tcp(int32_t* error) = 0;
  virtual SocketStatus set_non_blocking(SocketHandle sock, int32_t* error) = 0;
  // Starts a connect to ip (dotted IPv4 text, converted like inet_addr: no name lookup,
  // text that does not parse is the all-ones address) and port.
  virtual SocketStatus start_connect(SocketHandle sock, const char* ip, uint16_t port,
                                     int32_t* error) = 0;
  // Blocks up to seconds until the socket is writable or has a pending error (a failed
  // connect counts as ready: the caller reads the error with pending_error).
  virtual SocketStatus wait_writable(SocketHandle sock, uint32_t seconds, int32_t* error) = 0;
  // The socket's pending error (SO_ERROR), 0 for none, stored in *pending.
  virtual SocketStatus pending_error(SocketHandle sock, int32_t* pending, int32_t* error) = 0;
  // Queues up to length bytes; done with the count in *sent (0 means the peer is gone),
  // in_progress when the socket cannot take any byte now. Never raises SIGPIPE.
  virtual SocketStatus send(SocketHandle sock, const uint8_t* data, uint32_t length,
                            uint32_t* sent, int32_t* error) = 0;
  // Looks at once, without waiting and without taking any byte, whether the peer has
  // closed or reset the connection.
  virtual PeerState peer_state(SocketHandle sock, int32_t* error) = 0;
  // Shuts the socket down both ways and closes it; results are of no use to the caller.
  virtual void shutdown_and_close(SocketHandle sock) = 0;
};

// The platform's sockets; one object for the process.
SocketApi& system_socket_api();

}  // namespace kx::net
