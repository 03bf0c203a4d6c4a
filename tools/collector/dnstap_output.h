// Every message as a dnstap frame (Frame Streams, "protobuf:dnstap.Dnstap"), to a file
// or streamed to a dnstap receiver on a Unix or TCP socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "output.h"
#include "receiver_stream.h"

struct fstrm_writer;

namespace kx::collector {

inline constexpr char kDnstapContentType[] = "protobuf:dnstap.Dnstap";

// Appends the serialised Dnstap message of one DNS packet message to out:
// CLIENT_QUERY or CLIENT_RESPONSE by the QR bit, the device as query address, the
// server as response address (port 53), the event time, the agent's address as
// identity and its version as version.
void encode_dnstap(const CollectedMessage& message, std::vector<uint8_t>& out);

struct DnstapTarget {
  enum class Kind { file, unix_socket, tcp_socket } kind = Kind::file;
  std::string path;  // file or socket path
  std::string host;  // numeric address of a TCP receiver
  std::string port;
  std::string describe() const;
};

// Frames are collected per read batch and written together at flush. A file that
// fails to write stops the collector. A receiver is reached on a thread of its own, so
// that one that is missing or never answers its handshake holds nothing up; while there
// is none, frames are dropped and counted, and a new attempt is made every second. A
// frame counts as delivered once the receiver surely has it (see ReceiverStream).
// Frame Streams cannot be continued after their stop frame, so a file that already
// holds frames is never written over: the output starts PATH.1 (PATH.2, ...) beside it.
class DnstapOutput : public Output {
 public:
  // stop_descriptor (or -1) becomes readable when the collector stops: every wait on a
  // receiver then ends within the stop grace. A receiver's failures and the dropped count
  // go to diagnostics.
  explicit DnstapOutput(DnstapTarget target, int stop_descriptor = -1,
                        const ReceiverLimits& limits = {}, FILE* diagnostics = stderr);
  ~DnstapOutput() override;
  DnstapOutput(const DnstapOutput&) = delete;
  DnstapOutput& operator=(const DnstapOutput&) = delete;

  void write(const CollectedMessage& message) override;
  void flush() override;
  // A file that is still at the path it was opened by goes on being written.
  void reopen() override;
  // The file being written: the path given, or one with a numbered suffix.
  const std::string& file_path() const { return file_path_; }
  const char* kind() const override { return "dnstap"; }
  uint64_t dropped() const override { return dropped_.load(std::memory_order_relaxed); }
  uint64_t errors() const override { return errors_.load(std::memory_order_relaxed); }
  // A timer, while a receiver is to be reached or frames await confirmation.
  int event_descriptor() const override { return timer_; }
  void serve_events() override;
  bool connected() const { return writer_ != nullptr; }

 private:
  struct WriterFree {
    void operator()(fstrm_writer* writer) const;
  };
  using Writer = std::unique_ptr<fstrm_writer, WriterFree>;
  struct Attempt {
    Writer writer;
    ReceiverStream* stream = nullptr;  // owned by the writer
    std::string error;
  };

  Writer open_file_writer();
  Attempt connect_receiver() const;
  void start_attempt();
  void take_attempt();
  void adopt(Attempt attempt);
  bool write_batch();
  void confirm();
  void lose_receiver();
  void drop_batch();
  void close_receiver();
  void update_timer();
  void say(const std::string& text) const;
  void count_dropped(uint64_t frames);

  DnstapTarget target_;
  std::string file_path_;
  uint64_t file_device_ = 0;
  uint64_t file_inode_ = 0;
  int stop_descriptor_;
  ReceiverLimits limits_;
  FILE* diagnostics_;
  Writer writer_;
  ReceiverStream* stream_ = nullptr;
  std::future<Attempt> attempt_;
  bool ever_connected_ = false;
  bool outage_reported_ = false;
  int64_t next_attempt_ = 0;
  int timer_ = -1;
  int64_t timer_period_ = 0;
  std::vector<uint8_t> frames_;
  std::vector<size_t> frame_ends_;
  // Stream offsets at which the frames handed to the receiver and not yet confirmed end.
  std::vector<uint64_t> unconfirmed_;
  size_t unconfirmed_head_ = 0;
  uint64_t stream_offset_ = 0;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> errors_{0};
};

}  // namespace kx::collector
