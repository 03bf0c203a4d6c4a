#include "dnstap_output.h"

#include <fstrm.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "collector_error.h"
#include "dnstap.pb-c.h"
#include "logging/log.h"
#include "pcap_frame.h"

namespace kx::collector {
namespace {

// Kept below the usual IOV_MAX of 1024.
constexpr size_t kFramesPerWrite = 512;
constexpr int64_t kConfirmMilliseconds = 100;
constexpr int64_t kLivenessMilliseconds = 1000;

ProtobufCBinaryData binary(const void* data, size_t size) {
  ProtobufCBinaryData value;
  value.len = size;
  value.data = static_cast<uint8_t*>(const_cast<void*>(data));
  return value;
}

int64_t monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// fstrm's option objects are only needed while the writer is made.
template <typename T, void (*Destroy)(T**)>
struct Options {
  T* value;
  explicit Options(T* v) : value(v) {}
  ~Options() {
    if (value != nullptr) Destroy(&value);
  }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
};

// The path itself when nothing is there yet (or an empty file), otherwise the first of
// PATH.1, PATH.2, ... that is.
std::string unused_file_path(const std::string& path) {
  std::string candidate = path;
  struct stat status;
  for (int suffix = 1; stat(candidate.c_str(), &status) == 0 && status.st_size > 0; ++suffix) {
    candidate = path + "." + std::to_string(suffix);
  }
  return candidate;
}

}  // namespace

void encode_dnstap(const CollectedMessage& message, std::vector<uint8_t>& out) {
  const kx::wire::DnsMessageView& dns = message.dns;
  bool response = is_dns_response(dns.packet, dns.packet_size);
  IpAddress device = parse_ip_address(dns.device);
  IpAddress server = parse_ip_address(dns.server);

  Dnstap__Message body = DNSTAP__MESSAGE__INIT;
  body.type = response ? DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE
                       : DNSTAP__MESSAGE__TYPE__CLIENT_QUERY;
  if (device.size != 0 || server.size != 0) {
    body.has_socket_family = 1;
    body.socket_family = (device.size == 16 || server.size == 16) ? DNSTAP__SOCKET_FAMILY__INET6
                                                                  : DNSTAP__SOCKET_FAMILY__INET;
  }
  body.has_socket_protocol = 1;
  body.socket_protocol =
      dns.is_tcp != 0 ? DNSTAP__SOCKET_PROTOCOL__TCP : DNSTAP__SOCKET_PROTOCOL__UDP;
  if (device.size != 0) {
    body.has_query_address = 1;
    body.query_address = binary(device.bytes, device.size);
  }
  if (server.size != 0) {
    body.has_response_address = 1;
    body.response_address = binary(server.bytes, server.size);
  }
  body.has_response_port = 1;
  body.response_port = kDnsPort;
  if (response) {
    body.has_response_time_sec = body.has_response_time_nsec = 1;
    body.response_time_sec = dns.time_seconds;
    body.has_response_message = 1;
    body.response_message = binary(dns.packet, dns.packet_size);
  } else {
    body.has_query_time_sec = body.has_query_time_nsec = 1;
    body.query_time_sec = dns.time_seconds;
    body.has_query_message = 1;
    body.query_message = binary(dns.packet, dns.packet_size);
  }

  Dnstap__Dnstap frame = DNSTAP__DNSTAP__INIT;
  frame.type = DNSTAP__DNSTAP__TYPE__MESSAGE;
  frame.has_identity = 1;
  frame.identity = binary(message.agent.data(), message.agent.size());
  frame.has_version = 1;
  frame.version = binary(message.version.data(), message.version.size());
  frame.message = &body;

  size_t at = out.size();
  out.resize(at + dnstap__dnstap__get_packed_size(&frame));
  dnstap__dnstap__pack(&frame, out.data() + at);
}

std::string DnstapTarget::describe() const {
  switch (kind) {
    case Kind::file: return path;
    case Kind::unix_socket: return "unix:" + path;
    case Kind::tcp_socket: return host + ":" + port;
  }
  return path;
}

void DnstapOutput::WriterFree::operator()(fstrm_writer* writer) const {
  fstrm_writer_destroy(&writer);
}

DnstapOutput::DnstapOutput(DnstapTarget target, int stop_descriptor,
                           const ReceiverLimits& limits, FILE* diagnostics)
    : target_(std::move(target)),
      stop_descriptor_(stop_descriptor),
      limits_(limits),
      diagnostics_(diagnostics) {
  if (target_.kind == DnstapTarget::Kind::file) {
    writer_ = open_file_writer();
    if (!writer_) throw CollectorError("fstrm_writer_open(" + target_.describe() + ") failed");
    return;
  }
  timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_ < 0) {
    int error = errno;
    throw CollectorError("timerfd_create() failed: " + kx::logging::system_error_text(error));
  }
  // The first attempt is waited for (within the handshake limit), so that a receiver
  // that is there gets the first frames.
  adopt(connect_receiver());
  update_timer();
}

void DnstapOutput::reopen() {
  if (target_.kind != DnstapTarget::Kind::file) return;
  flush();
  struct stat status;
  if (stat(file_path_.c_str(), &status) == 0 && status.st_dev == file_device_ &&
      status.st_ino == file_inode_) {
    return;
  }
  Writer fresh = open_file_writer();
  if (!fresh) throw CollectorError("fstrm_writer_open(" + file_path_ + ") failed");
  writer_ = std::move(fresh);
}

DnstapOutput::~DnstapOutput() {
  try {
    flush();
  } catch (const std::exception& e) {
    say(e.what());
  }
  if (attempt_.valid()) attempt_.wait();
  close_receiver();
  if (timer_ >= 0) close(timer_);
  if (dropped() > 0) {
    say("dnstap receiver " + target_.describe() + ": " + std::to_string(dropped()) +
        " frames dropped");
  }
}

void DnstapOutput::say(const std::string& text) const {
  fprintf(diagnostics_, "collector: %s\n", text.c_str());
  fflush(diagnostics_);
}

void DnstapOutput::count_dropped(uint64_t frames) {
  dropped_.store(dropped() + frames, std::memory_order_relaxed);
}

// Returns no writer when the file cannot be opened. Notes which file it is, so that
// reopen can tell whether it was renamed.
DnstapOutput::Writer DnstapOutput::open_file_writer() {
  Options<fstrm_writer_options, fstrm_writer_options_destroy> options(
      fstrm_writer_options_init());
  fstrm_writer_options_add_content_type(options.value, kDnstapContentType,
                                        sizeof kDnstapContentType - 1);
  file_path_ = unused_file_path(target_.path);
  if (file_path_ != target_.path) {
    say("dnstap file " + target_.path + " holds frames already; writing " + file_path_);
  }
  Options<fstrm_file_options, fstrm_file_options_destroy> file(fstrm_file_options_init());
  fstrm_file_options_set_file_path(file.value, file_path_.c_str());
  Writer writer(fstrm_file_writer_init(file.value, options.value));
  struct stat status;
  if (!writer || fstrm_writer_open(writer.get()) != fstrm_res_success ||
      stat(file_path_.c_str(), &status) != 0) {
    return nullptr;
  }
  file_device_ = status.st_dev;
  file_inode_ = status.st_ino;
  return writer;
}

// Connects and holds the handshake; blocks for at most the handshake limit. Touches
// nothing of the output but its constant settings, so it may run on another thread.
DnstapOutput::Attempt DnstapOutput::connect_receiver() const {
  auto stream = std::make_unique<ReceiverStream>(
      target_.kind == DnstapTarget::Kind::unix_socket ? ReceiverStream::Kind::unix_socket
                                                      : ReceiverStream::Kind::tcp_socket,
      target_.kind == DnstapTarget::Kind::unix_socket ? target_.path : target_.host,
      target_.port, limits_, stop_descriptor_);
  Attempt attempt;
  attempt.stream = stream.get();
  fstrm_rdwr* rdwr = ReceiverStream::into_rdwr(std::move(stream));
  Options<fstrm_writer_options, fstrm_writer_options_destroy> options(
      fstrm_writer_options_init());
  fstrm_writer_options_add_content_type(options.value, kDnstapContentType,
                                        sizeof kDnstapContentType - 1);
  attempt.writer.reset(fstrm_writer_init(options.value, &rdwr));
  if (rdwr != nullptr) fstrm_rdwr_destroy(&rdwr);
  if (!attempt.writer) {
    attempt.error = "fstrm_writer_init() failed";
  } else if (fstrm_writer_open(attempt.writer.get()) != fstrm_res_success) {
    attempt.error = attempt.stream->error().empty() ? "handshake refused"
                                                    : attempt.stream->error();
    attempt.stream->abandon();
    attempt.writer.reset();
  } else {
    attempt.stream->handshake_done();
  }
  if (!attempt.writer) attempt.stream = nullptr;
  return attempt;
}

void DnstapOutput::start_attempt() {
  attempt_ = std::async(std::launch::async, [this] { return connect_receiver(); });
}

void DnstapOutput::take_attempt() {
  if (!attempt_.valid() ||
      attempt_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    return;
  }
  adopt(attempt_.get());
}

void DnstapOutput::adopt(Attempt attempt) {
  if (!attempt.writer) {
    errors_.fetch_add(1, std::memory_order_relaxed);
    if (!outage_reported_) {
      say("dnstap receiver " + target_.describe() + " unavailable (" + attempt.error +
          "); retrying");
    }
    outage_reported_ = true;
    next_attempt_ = monotonic_milliseconds() + limits_.retry_milliseconds;
    return;
  }
  writer_ = std::move(attempt.writer);
  stream_ = attempt.stream;
  stream_offset_ = stream_->written();
  if (ever_connected_ || outage_reported_) {
    say("dnstap receiver " + target_.describe() + " reconnected");
  }
  ever_connected_ = true;
  outage_reported_ = false;
}

void DnstapOutput::write(const CollectedMessage& message) {
  encode_dnstap(message, frames_);
  frame_ends_.push_back(frames_.size());
}

// A receiver's frames are recorded as unconfirmed before they are handed over, so that
// a failure part way counts exactly those not confirmed.
bool DnstapOutput::write_batch() {
  if (stream_ != nullptr) {
    size_t start = 0;
    for (size_t end : frame_ends_) {
      stream_offset_ += kx::wire::kRecordHeaderSize + (end - start);
      unconfirmed_.push_back(stream_offset_);
      start = end;
    }
  }
  struct iovec iov[kFramesPerWrite];
  size_t start = 0;
  bool written = true;
  for (size_t first = 0; first < frame_ends_.size(); first += kFramesPerWrite) {
    size_t count = std::min(kFramesPerWrite, frame_ends_.size() - first);
    for (size_t i = 0; i < count; ++i) {
      size_t end = frame_ends_[first + i];
      iov[i].iov_base = frames_.data() + start;
      iov[i].iov_len = end - start;
      start = end;
    }
    if (fstrm_writer_writev(writer_.get(), iov, static_cast<int>(count)) != fstrm_res_success) {
      // A file keeps its batch, to be counted where the failure is handled; a
      // receiver's frames are all among the unconfirmed already.
      if (stream_ == nullptr) return false;
      written = false;
      break;
    }
  }
  frames_.clear();
  frame_ends_.clear();
  return written;
}

// A receiver that went away takes its unread queue with it, and the queue then reads as
// empty: a sample counts only when the receiver was still there after it was taken.
void DnstapOutput::confirm() {
  if (stream_ == nullptr) return;
  uint64_t confirmed = stream_->confirmed();
  if (stream_->gone()) return;
  while (unconfirmed_head_ < unconfirmed_.size() &&
         unconfirmed_[unconfirmed_head_] <= confirmed) {
    ++unconfirmed_head_;
  }
  if (unconfirmed_head_ == unconfirmed_.size()) {
    unconfirmed_.clear();
    unconfirmed_head_ = 0;
  }
}

// The receiver is gone: what it had not confirmed is lost with its socket.
void DnstapOutput::lose_receiver() {
  say("dnstap receiver " + target_.describe() + " failed; reconnecting");
  errors_.fetch_add(1, std::memory_order_relaxed);
  stream_->abandon();
  count_dropped(unconfirmed_.size() - unconfirmed_head_);
  unconfirmed_.clear();
  unconfirmed_head_ = 0;
  writer_.reset();
  stream_ = nullptr;
  outage_reported_ = true;
  next_attempt_ = monotonic_milliseconds() + limits_.retry_milliseconds;
  drop_batch();
}

void DnstapOutput::drop_batch() {
  count_dropped(frame_ends_.size());
  frames_.clear();
  frame_ends_.clear();
}

// Sends STOP and waits for the receiver's FINISH (within the stop grace): with it, the
// receiver has read every frame.
void DnstapOutput::close_receiver() {
  if (stream_ == nullptr) return;
  confirm();
  if (fstrm_writer_close(writer_.get()) == fstrm_res_success) {
    unconfirmed_.clear();
    unconfirmed_head_ = 0;
  }
  count_dropped(unconfirmed_.size() - unconfirmed_head_);
  unconfirmed_.clear();
  unconfirmed_head_ = 0;
  stream_->abandon();
  writer_.reset();
  stream_ = nullptr;
}

void DnstapOutput::flush() {
  if (frame_ends_.empty()) return;
  if (target_.kind == DnstapTarget::Kind::file) {
    if (write_batch()) return;
    drop_batch();
    throw CollectorError("fstrm_writer_writev(" + target_.describe() + ") failed");
  }
  take_attempt();
  if (!writer_) return drop_batch();
  if (!write_batch()) return lose_receiver();
  confirm();
  update_timer();
}

void DnstapOutput::serve_events() {
  uint64_t expirations;
  ssize_t n = read(timer_, &expirations, sizeof expirations);
  (void)n;
  take_attempt();
  if (writer_) {
    confirm();
    if (stream_->gone()) lose_receiver();
  } else if (!attempt_.valid() && monotonic_milliseconds() >= next_attempt_) {
    start_attempt();
  }
  update_timer();
}

// Ticks every retry interval without a receiver, every tenth of a second while frames
// await confirmation, and otherwise once a second to notice a receiver that went away.
void DnstapOutput::update_timer() {
  bool waiting = attempt_.valid() || unconfirmed_head_ < unconfirmed_.size();
  int64_t period = waiting ? kConfirmMilliseconds
                   : !writer_ ? limits_.retry_milliseconds
                              : kLivenessMilliseconds;
  if (period == timer_period_) return;
  timer_period_ = period;
  struct itimerspec timing = {};
  timing.it_interval.tv_sec = period / 1000;
  timing.it_interval.tv_nsec = (period % 1000) * 1000000;
  timing.it_value = timing.it_interval;
  timerfd_settime(timer_, 0, &timing, nullptr);
}

}  // namespace kx::collector
