#include "support/loopback.h"

#include <algorithm>
#include <stdexcept>

#include "net/tcp_connection.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kx::test {
namespace {

// The two socket calls whose names differ between the platforms.
#if defined(_WIN32)
void close_socket(SOCKET sock) { closesocket(sock); }
int poll_one(pollfd* entry, int timeout_ms) { return WSAPoll(entry, 1, timeout_ms); }
#else
void close_socket(int sock) { close(sock); }
int poll_one(pollfd* entry, int timeout_ms) { return poll(entry, 1, timeout_ms); }
#endif

using Socket = decltype(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
Socket as_socket(RawSocket raw) { return static_cast<Socket>(raw); }
net::SocketApi& real() { return net::system_socket_api(); }

// Whether the socket has something to read (or its end, or an error) within the time.
bool readable(RawSocket sock, int timeout_ms) {
  pollfd entry{as_socket(sock), POLLIN, 0};
  return poll_one(&entry, timeout_ms) > 0;
}

// A TCP socket bound to 127.0.0.1 on a port the system picks; the port goes to *port.
// listen_backlog > 0 makes it listen.
RawSocket loopback_socket(uint16_t* port, int listen_backlog) {
  net::init_sockets();
  const Socket sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (static_cast<RawSocket>(sock) == net::kInvalidSocket) throw std::runtime_error("socket() failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (listen_backlog > 0 && listen(sock, listen_backlog) != 0)) {
    close_socket(sock);
    throw std::runtime_error("bind or listen on 127.0.0.1 failed");
  }
  *port = ntohs(address.sin_port);
  return static_cast<RawSocket>(sock);
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
    received_.emplace_back();
    lock.unlock();
    serve_connection(static_cast<RawSocket>(sock), received_.size() - 1);
  }
}

void LoopbackListener::serve_connection(RawSocket sock, size_t index) {
  std::vector<char> chunk(65536);
  while (!stopping_) {
    if (!readable(sock, 10)) continue;
    const int n = static_cast<int>(recv(as_socket(sock), chunk.data(), static_cast<int>(chunk.size()), 0));
    std::lock_guard<std::mutex> lock(mutex_);
    std::string& bytes = received_[index];
    if (n > 0) bytes.append(chunk.data(), static_cast<size_t>(n));
    changed_.notify_all();
    const auto request = close_requests_.find(index);
    const bool requested = request != close_requests_.end() && bytes.size() >= request->second.first;
    // A zero linger time makes the close send RST instead of FIN.
    const linger abort_now{1, 0};
    if (requested && request->second.second) {
      setsockopt(as_socket(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_now),
                 sizeof abort_now);
    }
    // n <= 0: the end of the stream, or the peer reset it.
    if (n <= 0 || requested) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  close_socket(as_socket(sock));
  ++closed_;
  changed_.notify_all();
}

std::string LoopbackListener::received(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < received_.size() ? received_[connection] : std::string();
}

bool LoopbackListener::wait_for_bytes(size_t connection, size_t count, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return connection < received_.size() && received_[connection].size() >= count;
  });
}

bool LoopbackListener::wait_for_close(size_t connection, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return closed_ > connection; });
}

void LoopbackListener::close_after(size_t connection, size_t bytes, bool reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  close_requests_[connection] = {bytes, reset};
}

IdlePort::IdlePort(bool listening) : sock_(loopback_socket(&port_, listening ? 16 : 0)) {}

IdlePort::~IdlePort() { close_socket(as_socket(sock_)); }

void WatchedSockets::script(const std::string& call, const Answer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_[call].push_back(answer);
}

std::vector<std::string> WatchedSockets::take_calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(calls_);
}

bool WatchedSockets::wait_until_peer_gone(milliseconds timeout) const {
  return readable(newest_, static_cast<int>(timeout.count()));
}

std::optional<WatchedSockets::Answer> WatchedSockets::next(const std::string& call,
                                                           const std::string& detail, int32_t* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call + detail);
  std::deque<Answer>& answers = script_[call];
  if (answers.empty()) return std::nullopt;
  const Answer answer = answers.front();
  answers.pop_front();
  if (answer.status == Status::failed) *error = answer.code;
  return answer;
}

WatchedSockets::Handle WatchedSockets::open_tcp(int32_t* error) {
  newest_bytes_ = 0;
  newest_ = next("open", "", error) ? net::kInvalidSocket : real().open_tcp(error);
  return newest_;
}

WatchedSockets::Status WatchedSockets::set_non_blocking(Handle s, int32_t* error) {
  const std::optional<Answer> answer = next("non-blocking", "", error);
  return answer ? answer->status : real().set_non_blocking(s, error);
}

WatchedSockets::Status WatchedSockets::start_connect(Handle s, const char* ip, uint16_t port,
                                                     int32_t* error) {
  const std::optional<Answer> answer = next("connect", "", error);
  return answer ? answer->status : real().start_connect(s, ip, port, error);
}

WatchedSockets::Status WatchedSockets::wait_writable(Handle s, uint32_t seconds, int32_t* error) {
  const std::optional<Answer> answer = next("wait", " " + std::to_string(seconds), error);
  return answer ? answer->status : real().wait_writable(s, seconds, error);
}

WatchedSockets::Status WatchedSockets::send(Handle s, const uint8_t* data, uint32_t length,
                                            uint32_t* sent, int32_t* error) {
  const std::string detail = " " + std::to_string(length) + "@" + std::to_string(*data);
  const std::optional<Answer> answer = next("send", detail, error);
  if (answer && answer->status != Status::done) return answer->status;
  const Status status =
      real().send(s, data, answer ? std::min(length, answer->sent) : length, sent, error);
  if (status == Status::done && s == newest_) newest_bytes_ += *sent;
  return status;
}

void WatchedSockets::shutdown_and_close(Handle s) {
  next("close", "", nullptr);
  real().shutdown_and_close(s);
}

}  // namespace kx::test
