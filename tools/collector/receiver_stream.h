// The socket under a dnstap receiver's Frame Streams writer: fstrm speaks the protocol,
// this layer owns the socket and puts a limit on every wait, so that a receiver that
// never answers, stalls or goes away cannot hold the collector.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>

struct fstrm_rdwr;

namespace kx::collector {

struct ReceiverLimits {
  int handshake_milliseconds = 3000;  // connect and the READY/ACCEPT/START exchange
  int stall_milliseconds = 10000;     // a write that moves no byte for this long fails
  int stop_grace_milliseconds = 2000;  // once a stop was requested, every wait ends by then
  int retry_milliseconds = 1000;      // between attempts to reach a receiver
};

class ReceiverStream {
 public:
  enum class Kind { unix_socket, tcp_socket };

  // stop_descriptor (or -1) becomes readable when the collector stops.
  ReceiverStream(Kind kind, std::string path_or_host, std::string port,
                 const ReceiverLimits& limits, int stop_descriptor);
  ~ReceiverStream();
  ReceiverStream(const ReceiverStream&) = delete;
  ReceiverStream& operator=(const ReceiverStream&) = delete;

  // Hands the stream to a new fstrm_rdwr (which then owns and destroys it).
  static fstrm_rdwr* into_rdwr(std::unique_ptr<ReceiverStream> stream);

  // Ends the handshake's time limit; later reads (the FINISH at a stop) get the stop
  // grace.
  void handshake_done() { in_handshake_ = false; }
  // Makes every later operation fail at once: the receiver is given up.
  void abandon() { failed_ = true; }
  // Bytes the kernel took so far, in stream order.
  uint64_t written() const { return written_; }
  // Of those, the bytes the receiver surely has: all written bytes acknowledged (TCP) or
  // all read (a Unix socket, whose queue size says only whether anything is unread).
  uint64_t confirmed() const;
  // True once the receiver closed its end or the stream failed.
  bool gone() const;
  // Why the last operation failed ("" when none did).
  const std::string& error() const { return error_; }

 private:
  bool open_socket();
  bool read_all(uint8_t* data, size_t size);
  bool write_all(const iovec* iov, int count);
  bool wait_for(short events, int64_t deadline, const char* what);
  bool fail(std::string reason);

  Kind kind_;
  std::string where_;  // path, or host
  std::string port_;
  ReceiverLimits limits_;
  int stop_descriptor_;
  int fd_ = -1;
  bool in_handshake_ = true;
  bool failed_ = false;
  int64_t handshake_deadline_ = 0;
  int64_t stop_deadline_ = 0;  // set once the stop was seen
  uint64_t written_ = 0;
  std::string error_;
};

}  // namespace kx::collector
