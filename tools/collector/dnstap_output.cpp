#include "dnstap_output.h"

#include <fstrm.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "collector_error.h"
#include "dnstap.pb-c.h"
#include "pcap_frame.h"

namespace kx::collector {
namespace {

// Kept below the usual IOV_MAX of 1024.
constexpr size_t kFramesPerWrite = 512;
constexpr int64_t kReconnectSeconds = 1;

ProtobufCBinaryData binary(const void* data, size_t size) {
  ProtobufCBinaryData value;
  value.len = size;
  value.data = static_cast<uint8_t*>(const_cast<void*>(data));
  return value;
}

int64_t monotonic_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
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

DnstapOutput::DnstapOutput(DnstapTarget target) : target_(std::move(target)) {
  writer_ = open_writer();
  if (!writer_) throw CollectorError("fstrm_writer_open(" + target_.describe() + ") failed");
}

void DnstapOutput::reopen() {
  if (target_.kind != DnstapTarget::Kind::file) return;
  flush();
  struct stat status;
  if (stat(file_path_.c_str(), &status) == 0 && status.st_dev == file_device_ &&
      status.st_ino == file_inode_) {
    return;
  }
  Writer fresh = open_writer();
  if (!fresh) throw CollectorError("fstrm_writer_open(" + file_path_ + ") failed");
  writer_ = std::move(fresh);
}

DnstapOutput::~DnstapOutput() {
  try {
    flush();
  } catch (const std::exception& e) {
    fprintf(stderr, "collector: %s\n", e.what());
  }
  if (dropped_ > 0) {
    fprintf(stderr, "collector: dnstap receiver %s: %llu frames dropped\n",
            target_.describe().c_str(), static_cast<unsigned long long>(dropped_));
  }
}

// Returns no writer when the file or the receiver cannot be opened. For a file, notes
// which file it is, so that reopen can tell whether it was renamed.
DnstapOutput::Writer DnstapOutput::open_writer() {
  Options<fstrm_writer_options, fstrm_writer_options_destroy> options(
      fstrm_writer_options_init());
  fstrm_writer_options_add_content_type(options.value, kDnstapContentType,
                                        sizeof kDnstapContentType - 1);
  Writer writer;
  switch (target_.kind) {
    case DnstapTarget::Kind::file: {
      file_path_ = unused_file_path(target_.path);
      if (file_path_ != target_.path) {
        fprintf(stderr, "collector: dnstap file %s holds frames already; writing %s\n",
                target_.path.c_str(), file_path_.c_str());
      }
      Options<fstrm_file_options, fstrm_file_options_destroy> file(fstrm_file_options_init());
      fstrm_file_options_set_file_path(file.value, file_path_.c_str());
      writer.reset(fstrm_file_writer_init(file.value, options.value));
      struct stat status;
      if (writer && fstrm_writer_open(writer.get()) == fstrm_res_success &&
          stat(file_path_.c_str(), &status) == 0) {
        file_device_ = status.st_dev;
        file_inode_ = status.st_ino;
        return writer;
      }
      writer.reset();
      break;
    }
    case DnstapTarget::Kind::unix_socket: {
      Options<fstrm_unix_writer_options, fstrm_unix_writer_options_destroy> socket(
          fstrm_unix_writer_options_init());
      fstrm_unix_writer_options_set_socket_path(socket.value, target_.path.c_str());
      writer.reset(fstrm_unix_writer_init(socket.value, options.value));
      break;
    }
    case DnstapTarget::Kind::tcp_socket: {
      Options<fstrm_tcp_writer_options, fstrm_tcp_writer_options_destroy> socket(
          fstrm_tcp_writer_options_init());
      fstrm_tcp_writer_options_set_socket_address(socket.value, target_.host.c_str());
      fstrm_tcp_writer_options_set_socket_port(socket.value, target_.port.c_str());
      writer.reset(fstrm_tcp_writer_init(socket.value, options.value));
      break;
    }
  }
  if (writer && fstrm_writer_open(writer.get()) != fstrm_res_success) writer.reset();
  return writer;
}

void DnstapOutput::write(const CollectedMessage& message) {
  encode_dnstap(message, frames_);
  frame_ends_.push_back(frames_.size());
}

bool DnstapOutput::write_batch() {
  struct iovec iov[kFramesPerWrite];
  size_t start = 0;
  for (size_t first = 0; first < frame_ends_.size(); first += kFramesPerWrite) {
    size_t count = std::min(kFramesPerWrite, frame_ends_.size() - first);
    for (size_t i = 0; i < count; ++i) {
      size_t end = frame_ends_[first + i];
      iov[i].iov_base = frames_.data() + start;
      iov[i].iov_len = end - start;
      start = end;
    }
    if (fstrm_writer_writev(writer_.get(), iov, static_cast<int>(count)) != fstrm_res_success) {
      return false;
    }
  }
  return true;
}

void DnstapOutput::drop_batch() {
  dropped_ += frame_ends_.size();
  frames_.clear();
  frame_ends_.clear();
}

void DnstapOutput::flush() {
  if (frame_ends_.empty()) return;
  if (!writer_ && target_.kind != DnstapTarget::Kind::file &&
      monotonic_seconds() >= next_reconnect_) {
    writer_ = open_writer();
    if (writer_) {
      fprintf(stderr, "collector: dnstap receiver %s reconnected\n", target_.describe().c_str());
    }
    next_reconnect_ = monotonic_seconds() + kReconnectSeconds;
  }
  if (!writer_) return drop_batch();
  if (write_batch()) {
    frames_.clear();
    frame_ends_.clear();
    return;
  }
  if (target_.kind == DnstapTarget::Kind::file) {
    drop_batch();
    throw CollectorError("fstrm_writer_writev(" + target_.describe() + ") failed");
  }
  fprintf(stderr, "collector: dnstap receiver %s failed; reconnecting\n",
          target_.describe().c_str());
  writer_.reset();
  next_reconnect_ = monotonic_seconds() + kReconnectSeconds;
  drop_batch();
}

}  // namespace kx::collector
