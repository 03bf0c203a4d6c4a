#include "net/sensor_queue_processor.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "agent/errors.h"
#include "logging/log.h"
#include "wire/wire_format.h"

namespace kx::net {
namespace {

constexpr int32_t kFirstSendCapacity = 4096;
// A batch stops growing at this size (one record may take it beyond): one send per batch
// instead of two per record, while a batch stays small next to the socket's buffer.
constexpr int32_t kBatchBytes = 65536;

void* c_allocate(size_t size) { return std::malloc(size); }
void* c_reallocate(void* block, size_t size) { return std::realloc(block, size); }
void c_release(void* block) { std::free(block); }

uint32_t KX_THREAD_CALL processor_thread(void* processor) {
  static_cast<SensorQueueProcessor*>(processor)->run();
  return 0;
}

// A heap block handed back to the allocator it came from.
class Block {
 public:
  Block(const Allocator& allocator, size_t size)
      : release_(allocator.release), data_(static_cast<uint8_t*>(allocator.allocate(size))) {
    if (data_ == nullptr) {
      int code = errno;
      kx::error::raise_errno_error<kx::sensor::SensorError>("malloc", std::to_string(size), code);
    }
  }
  ~Block() { release_(data_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  uint8_t* data() const { return data_; }

 private:
  void (*release_)(void*);
  uint8_t* data_;
};

}  // namespace

const Allocator kCLibraryAllocator = {c_allocate, c_reallocate, c_release};

SensorQueueProcessor::SensorQueueProcessor(sensor::SensorQueue& queue,
                                           const std::vector<config::Target>& targets,
                                           ProcessorOptions options)
    : queue_(queue), targets_(targets), options_(options) {}

SensorQueueProcessor::~SensorQueueProcessor() {
  // A thread left running would go on using this object after it is gone.
  stop();
  if (send_buffer_ != nullptr) options_.allocator.release(send_buffer_);
  send_buffer_ = nullptr;
  send_capacity_ = 0;
}

void SensorQueueProcessor::start() {
  if (thread_.handle != nullptr) return;
  stop_requested_ = false;
  finish_requested_ = false;
  drained_ = false;
  int code = sys::pthread_create(&thread_, nullptr, processor_thread, this);
  if (code != 0) {
    kx::error::raise_system_error<kx::sensor::SensorError>("pthread_create", "", code);
  }
}

void SensorQueueProcessor::stop() {
  if (thread_.handle == nullptr) return;
  stop_requested_ = true;
  // The queue keeps this signal until a wait consumes it, so it also ends a wait that
  // begins only after this point.
  queue_.signal_data_ready();
  sys::pthread_join(thread_, nullptr);
  thread_.handle = nullptr;
}

bool SensorQueueProcessor::finish(std::chrono::milliseconds limit,
                                  const std::atomic<bool>* cancel) {
  if (thread_.handle == nullptr) return false;
  finish_requested_ = true;
  queue_.signal_data_ready();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool drained = false;
  {
    std::unique_lock<std::mutex> lock(drained_mutex_);
    while (!drained_ && std::chrono::steady_clock::now() < deadline &&
           !(cancel != nullptr && cancel->load())) {
      drained_changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    drained = drained_;
  }
  stop();
  return drained;
}

void SensorQueueProcessor::mark_drained() {
  stop_requested_ = true;
  std::lock_guard<std::mutex> lock(drained_mutex_);
  drained_ = true;
  drained_changed_.notify_all();
}

void SensorQueueProcessor::grow_send_buffer() {
  if (send_capacity_ <= 0) {
    void* block = options_.allocator.allocate(kFirstSendCapacity);
    if (block == nullptr) {
      int code = errno;
      kx::error::raise_errno_error<kx::sensor::SensorError>("malloc", std::to_string(kFirstSendCapacity), code);
    }
    send_buffer_ = static_cast<uint8_t*>(block);
    send_capacity_ = kFirstSendCapacity;
    return;
  }
  const int32_t largest = options_.max_send_capacity;
  if (send_capacity_ >= largest) {
    throw kx::sensor::SensorError("send buffer already at its largest size of " +
                                  std::to_string(largest) + " bytes");
  }
  const int32_t grown = send_capacity_ > largest / 2 ? largest : send_capacity_ * 2;
  void* block = options_.allocator.reallocate(send_buffer_, static_cast<size_t>(grown));
  if (block == nullptr) {
    int code = errno;
    kx::error::raise_errno_error<kx::sensor::SensorError>("realloc", std::to_string(grown), code);
  }
  send_buffer_ = static_cast<uint8_t*>(block);
  send_capacity_ = grown;
}

void SensorQueueProcessor::run() {
  // Without these buffers the thread cannot send anything; say so rather than end
  // silently, and leave the agent running (capture goes on into the queue).
  std::unique_ptr<Block> hello;
  try {
    hello = std::make_unique<Block>(options_.allocator, wire::kHelloRecordSize);
    uint8_t record[wire::kHelloRecordSize];
    wire::write_hello_record(record);
    memcpy(hello->data(), record, sizeof record);
    // A restarted thread keeps the buffer it grew before.
    if (send_buffer_ == nullptr) grow_send_buffer();
  } catch (const std::exception& error) {
    kx::logging::log_message("ERROR - Sensor queue processor failed: %s", error.what());
    return;
  }

  TcpConnection connection(options_.sockets != nullptr ? *options_.sockets
                                                       : system_socket_api());
  connection.set_stop_flag(&stop_requested_);
  StreamState state;
  constexpr size_t kNone = SIZE_MAX;
  size_t skipped = kNone;
  while (!stop_requested_) {
    const size_t skip = skipped;
    skipped = kNone;
    for (size_t index = 0; index < targets_.size() && !stop_requested_; ++index) {
      if (index == skip) continue;
      if (!connect_to(connection, targets_[index])) continue;
      const bool early = stream_to(connection, targets_[index], hello->data(), state);
      // A single target is never skipped: it is reconnected after one pause.
      if (early && targets_.size() > 1) skipped = index;
      break;
    }
    pause();
  }
  connection.close();
}

bool SensorQueueProcessor::connect_to(TcpConnection& connection, const config::Target& target) {
  const int port = target.port;
  kx::logging::log_message("Connecting to %s:%d", target.ip.c_str(), port);
  try {
    connection.connect(target.ip, target.port, target.timeout);
  } catch (const std::exception& error) {
    kx::logging::log_message("ERROR - Connect to %s:%d failed: %s", target.ip.c_str(), port,
                             error.what());
    counts_.connect_failures.add(1);
    return false;
  }
  counts_.connects.add(1);
  kx::logging::log_message("Connected to %s:%d", target.ip.c_str(), port);
  return true;
}

// Sends the hello record, then the records the queue gives, in batches, until the stop
// request or a failure. Records of a failed batch not handed over whole stay in
// send_buffer for the next connection.
// Returns true when the connection failed early: soon after it was established (a
// collector that resets what it accepts) or by a send time-out (one that never reads).
bool SensorQueueProcessor::stream_to(TcpConnection& connection, const config::Target& target,
                                     const uint8_t* hello, StreamState& state) {
  const auto established = std::chrono::steady_clock::now();
  try {
    connection.send_all(hello, wire::kHelloRecordSize);
    while (!stop_requested_) {
      const int popped = gather_records(state);
      if (state.batch_bytes > 0) {
        state.oversize_reported = false;
        send_batch(connection, state);
      } else if (popped < 0) {
        handle_record_too_large(connection, target, state);
      } else if (finish_requested_) {
        mark_drained();
      } else {
        wait_for_records(connection);
      }
    }
    connection.close();
    return false;
  } catch (const std::exception& error) {
    kx::logging::log_message("ERROR - Send data to %s:%d failed: %s", target.ip.c_str(),
                             static_cast<int>(target.port), error.what());
    counts_.send_failures.add(1);
    return connection.timed_out() ||
           std::chrono::steady_clock::now() - established < options_.short_connection;
  }
}

int SensorQueueProcessor::gather_records(StreamState& state) {
  constexpr int32_t kHeader = wire::kRecordHeaderSize;
  while (state.batch_bytes < kBatchBytes && send_capacity_ - state.batch_bytes > kHeader) {
    uint8_t* slot = send_buffer_ + state.batch_bytes;
    const int length =
        queue_.pop(slot + kHeader, static_cast<uint32_t>(send_capacity_ - state.batch_bytes - kHeader));
    if (length <= 0) return state.batch_bytes > 0 ? 1 : length;
    wire::store_be32(slot, static_cast<uint32_t>(length));
    state.batch_bytes += kHeader + length;
    ++state.batch_records;
  }
  return 1;
}

void SensorQueueProcessor::send_batch(TcpConnection& connection, StreamState& state) {
  uint32_t handed = 0;
  try {
    connection.send_all(send_buffer_, static_cast<uint32_t>(state.batch_bytes), &handed);
  } catch (const std::exception&) {
    keep_unsent(state, handed);
    throw;
  }
  count_sent(state, state.batch_records);
  if (state.first_resent) counts_.held.set(0);
  state.batch_bytes = 0;
  state.batch_records = 0;
  state.first_resent = false;
}

void SensorQueueProcessor::count_sent(const StreamState& state, int32_t records) {
  counts_.sent.add(static_cast<uint64_t>(records));
  if (records > 0 && state.first_resent) counts_.resent.add(1);
}

// Drops the records the system took whole from the front of the batch. The record the
// failure cut (or the one that was next) becomes the first, to be sent whole again: the
// collector drops a torn record.
void SensorQueueProcessor::keep_unsent(StreamState& state, uint32_t handed) {
  int32_t offset = 0;
  int32_t whole = 0;
  while (whole < state.batch_records) {
    const int32_t size =
        static_cast<int32_t>(wire::kRecordHeaderSize + wire::load_be32(send_buffer_ + offset));
    if (static_cast<uint32_t>(offset + size) > handed) break;
    offset += size;
    ++whole;
  }
  count_sent(state, whole);
  memmove(send_buffer_, send_buffer_ + offset, static_cast<size_t>(state.batch_bytes - offset));
  state.batch_bytes -= offset;
  state.batch_records -= whole;
  state.first_resent = state.batch_records > 0;
  counts_.held.set(static_cast<uint64_t>(state.batch_records));
}

// The oldest record does not fit the send buffer. Grow it; a failed growth is a send
// failure (the record stays queued and growth is tried again after the pause). A record
// longer than the largest buffer can never be popped: report it once and wait for new
// records, whose pushes drop it from the ring once the writer reaches it, instead of
// failing the connection over and over.
void SensorQueueProcessor::handle_record_too_large(TcpConnection& connection,
                                                   const config::Target& target,
                                                   StreamState& state) {
  if (send_capacity_ < options_.max_send_capacity) {
    grow_send_buffer();
    return;
  }
  if (!state.oversize_reported) {
    kx::logging::log_message(
        "ERROR - Send data to %s:%d failed: record longer than %d bytes left in the queue",
        target.ip.c_str(), static_cast<int>(target.port),
        static_cast<int>(send_capacity_ - wire::kRecordHeaderSize));
    state.oversize_reported = true;
  }
  wait_for_records(connection);
}

// Waits for the next push or the stop. A collector that went away while the ring was
// empty is noticed here, before a record leaves the ring: the kernel would still take
// the record's bytes, and the reset that answers them would lose it. Looking once per
// wait keeps the look off the path of records that follow each other.
void SensorQueueProcessor::wait_for_records(TcpConnection& connection) {
  queue_.wait_for_data();
  if (!stop_requested_) connection.check_open();
}

void SensorQueueProcessor::pause() {
  for (int check = 0; check < options_.pause_checks && !stop_requested_; ++check) {
    std::this_thread::sleep_for(options_.pause_step);
  }
}

}  // namespace kx::net
