#include "receiver_stream.h"

#include <fcntl.h>
#include <fstrm.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

#include "logging/log.h"
#include "socket_address.h"

namespace kx::collector {
namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

int64_t monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::string system_failure(const std::string& call, int error) {
  return call + " failed: " + kx::logging::system_error_text(error);
}

ReceiverStream* stream_of(void* object) { return static_cast<ReceiverStream*>(object); }

}  // namespace

ReceiverStream::ReceiverStream(Kind kind, std::string path_or_host, std::string port,
                               const ReceiverLimits& limits, int stop_descriptor)
    : kind_(kind),
      where_(std::move(path_or_host)),
      port_(std::move(port)),
      limits_(limits),
      stop_descriptor_(stop_descriptor) {}

ReceiverStream::~ReceiverStream() {
  if (fd_ >= 0) close(fd_);
}

fstrm_rdwr* ReceiverStream::into_rdwr(std::unique_ptr<ReceiverStream> stream) {
  fstrm_rdwr* rdwr = fstrm_rdwr_init(stream.release());
  fstrm_rdwr_set_destroy(rdwr, [](void* object) {
    delete stream_of(object);
    return fstrm_res_success;
  });
  fstrm_rdwr_set_open(rdwr, [](void* object) {
    return stream_of(object)->open_socket() ? fstrm_res_success : fstrm_res_failure;
  });
  fstrm_rdwr_set_close(rdwr, [](void* object) {
    ReceiverStream* stream = stream_of(object);
    if (stream->fd_ >= 0) close(stream->fd_);
    stream->fd_ = -1;
    return fstrm_res_success;
  });
  // A read method makes fstrm hold the bidirectional handshake.
  fstrm_rdwr_set_read(rdwr, [](void* object, void* data, size_t size) {
    return stream_of(object)->read_all(static_cast<uint8_t*>(data), size) ? fstrm_res_success
                                                                         : fstrm_res_failure;
  });
  fstrm_rdwr_set_write(rdwr, [](void* object, const iovec* iov, int count) {
    return stream_of(object)->write_all(iov, count) ? fstrm_res_success : fstrm_res_failure;
  });
  return rdwr;
}

bool ReceiverStream::fail(std::string reason) {
  if (!failed_) error_ = std::move(reason);
  failed_ = true;
  return false;
}

// Waits until the socket is ready for events, the deadline passes, or (after a stop
// request) the stop grace runs out.
bool ReceiverStream::wait_for(short events, int64_t deadline, const char* what) {
  for (;;) {
    int64_t now = monotonic_milliseconds();
    int64_t end = std::min(deadline, stop_deadline_ == 0 ? kNever : stop_deadline_);
    if (now >= end) {
      return fail(std::string(stop_deadline_ != 0 && end == stop_deadline_ ? "stopped" : "timed out") +
                  " waiting to " + what);
    }
    struct pollfd waits[2] = {{fd_, events, 0}, {stop_descriptor_, POLLIN, 0}};
    int count = (stop_descriptor_ >= 0 && stop_deadline_ == 0) ? 2 : 1;
    int64_t left = end - now;
    int ready = poll(waits, count, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (ready < 0) {
      int error = errno;
      if (error == EINTR) continue;
      return fail(system_failure("poll()", error));
    }
    if (count == 2 && waits[1].revents != 0) {
      // A receiver still to be reached is no use to a collector that stops.
      if (in_handshake_) return fail(std::string("stopped waiting to ") + what);
      stop_deadline_ = monotonic_milliseconds() + limits_.stop_grace_milliseconds;
    }
    if (waits[0].revents != 0) return true;
  }
}

bool ReceiverStream::open_socket() {
  handshake_deadline_ = monotonic_milliseconds() + limits_.handshake_milliseconds;
  SocketAddress address;
  std::string name = where_;
  if (kind_ == Kind::unix_socket) {
    auto* un = reinterpret_cast<sockaddr_un*>(&address.storage);
    if (where_.size() >= sizeof un->sun_path) return fail("socket path too long: " + where_);
    un->sun_family = AF_UNIX;
    memcpy(un->sun_path, where_.c_str(), where_.size() + 1);
    address.length = sizeof(sockaddr_un);
  } else {
    name = where_.find(':') == std::string::npos ? where_ + ":" + port_
                                                 : "[" + where_ + "]:" + port_;
    if (!parse_socket_address(name, &address)) return fail("not a numeric address: " + name);
  }
  fd_ = socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    int error = errno;
    return fail(system_failure("socket()", error));
  }
  if (connect(fd_, address.get(), address.length) != 0) {
    int error = errno;
    if (error != EINPROGRESS && error != EAGAIN) {
      return fail(system_failure("connect(" + name + ")", error));
    }
    if (!wait_for(POLLOUT, handshake_deadline_, "connect")) return false;
    int result = 0;
    socklen_t size = sizeof result;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &result, &size);
    if (result != 0) return fail(system_failure("connect(" + name + ")", result));
  }
  return true;
}

bool ReceiverStream::read_all(uint8_t* data, size_t size) {
  if (failed_) return false;
  int64_t deadline = in_handshake_
                         ? handshake_deadline_
                         : monotonic_milliseconds() + limits_.stop_grace_milliseconds;
  while (size > 0) {
    ssize_t n = recv(fd_, data, size, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    int error = errno;
    if (n == 0) return fail("the receiver closed the connection");
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return fail(system_failure("recv()", error));
    if (!wait_for(POLLIN, deadline, in_handshake_ ? "complete the handshake" : "read")) {
      return false;
    }
  }
  return true;
}

bool ReceiverStream::write_all(const iovec* iov, int count) {
  if (failed_) return false;
  iovec rest[IOV_MAX];
  if (count > IOV_MAX) return fail("too many pieces for one write");
  std::copy(iov, iov + count, rest);
  iovec* next = rest;
  int64_t limit = in_handshake_ ? handshake_deadline_ - monotonic_milliseconds()
                                : limits_.stall_milliseconds;
  while (count > 0) {
    struct msghdr message = {};
    message.msg_iov = next;
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (n < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (error != EAGAIN && error != EWOULDBLOCK) return fail(system_failure("send()", error));
      // The limit counts from the last byte that moved: a slow receiver slows the
      // collector down, a stalled one fails.
      if (!wait_for(POLLOUT, monotonic_milliseconds() + limit, "write")) return false;
      continue;
    }
    written_ += static_cast<uint64_t>(n);
    size_t moved = static_cast<size_t>(n);
    while (count > 0 && moved >= next->iov_len) {
      moved -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + moved;
      next->iov_len -= moved;
    }
  }
  return true;
}

uint64_t ReceiverStream::confirmed() const {
  int queued = 0;
  if (fd_ < 0 || ioctl(fd_, SIOCOUTQ, &queued) != 0) return 0;
  if (kind_ == Kind::tcp_socket) return written_ - static_cast<uint64_t>(queued);
  return queued == 0 ? written_ : 0;
}

bool ReceiverStream::gone() const {
  if (failed_ || fd_ < 0) return true;
  // A receiver sends nothing between its ACCEPT and its FINISH, so a readable socket
  // means it closed (or is closing) its end.
  struct pollfd ready = {fd_, POLLIN | POLLRDHUP, 0};
  return poll(&ready, 1, 0) != 0;
}

}  // namespace kx::collector
