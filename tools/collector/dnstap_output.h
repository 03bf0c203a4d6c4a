// Every message as a dnstap frame (Frame Streams, "protobuf:dnstap.Dnstap"), to a file
// or streamed to a dnstap receiver on a Unix or TCP socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output.h"

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
// fails to write stops the collector; a receiver that goes away is reconnected at the
// next flush after a second, the frames in between being counted as dropped.
// Frame Streams cannot be continued after their stop frame, so a file that already
// holds frames is never written over: the output starts PATH.1 (PATH.2, ...) beside it.
class DnstapOutput : public Output {
 public:
  explicit DnstapOutput(DnstapTarget target);
  ~DnstapOutput() override;
  DnstapOutput(const DnstapOutput&) = delete;
  DnstapOutput& operator=(const DnstapOutput&) = delete;

  void write(const CollectedMessage& message) override;
  void flush() override;
  // A file that is still at the path it was opened by goes on being written.
  void reopen() override;
  uint64_t dropped() const { return dropped_; }
  // The file being written: the path given, or one with a numbered suffix.
  const std::string& file_path() const { return file_path_; }

 private:
  struct WriterFree {
    void operator()(fstrm_writer* writer) const;
  };
  using Writer = std::unique_ptr<fstrm_writer, WriterFree>;

  Writer open_writer();
  bool write_batch();
  void drop_batch();

  DnstapTarget target_;
  std::string file_path_;
  uint64_t file_device_ = 0;
  uint64_t file_inode_ = 0;
  Writer writer_;
  std::vector<uint8_t> frames_;
  std::vector<size_t> frame_ends_;
  int64_t next_reconnect_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace kx::collector
