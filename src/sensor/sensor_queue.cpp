#include "sensor/sensor_queue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "agent/errors.h"
#include "logging/log.h"
#include "wire/wire_format.h"

namespace kx::sensor {
namespace {

constexpr uint32_t kLengthFieldSize = static_cast<uint32_t>(wire::kRecordHeaderSize);
// pop reports a body's length as an int, so no longer body can be handed out.
constexpr uint32_t kMaxReportableLength = std::numeric_limits<int32_t>::max();


std::string too_small_message(uint32_t size) {
  return "SensorQueue(" + std::to_string(size) +
         ") failed: a queue needs at least 4 bytes for a record's length field";
}

std::string larger_than_queue_message(uint32_t length, uint32_t size) {
  return "string length " + std::to_string(length) + "  is larger than the size of the queue " +
         std::to_string(size);
}

std::string does_not_fit_message(uint32_t length, uint32_t size) {
  return "SensorQueue::push(" + std::to_string(length) + ") failed: the record of " +
         std::to_string(uint64_t{length} + kLengthFieldSize) +
         " bytes with its length field does not fit in the queue of " + std::to_string(size) +
         " bytes";
}

std::string too_long_to_report_message(uint32_t length) {
  return "SensorQueue::push(" + std::to_string(length) +
         ") failed: a body longer than 2147483647 bytes cannot be popped";
}

// Out of line, so that building the message stays off the push path.
[[noreturn]] void refuse_push(uint32_t length, uint32_t size) {
  if (length > size) throw SensorError(larger_than_queue_message(length, size));
  if (length > size - kLengthFieldSize) throw SensorError(does_not_fit_message(length, size));
  throw SensorError(too_long_to_report_message(length));
}

}  // namespace

// The ring helpers are inline so that the fixed-size copies of length fields become
// plain loads and stores on the hot path.

SensorQueue::SensorQueue(uint32_t size) {
  if (size < kLengthFieldSize) throw SensorError(too_small_message(size));
  // calloc: zero-filled storage without touching every page of a large ring up front.
  storage_ = static_cast<uint8_t*>(std::calloc(size, 1));
  if (storage_ == nullptr) {
    int error = errno;
    kx::error::raise_errno_error<SensorError>("malloc", std::to_string(size), error);
  }
  size_ = size;
  sys::pthread_mutex_init(&ring_mutex_, nullptr);
  sys::pthread_mutex_init(&wait_mutex_, nullptr);
  sys::pthread_cond_init(&data_ready_, nullptr);
}

SensorQueue::~SensorQueue() {
  std::free(storage_);
  storage_ = nullptr;
  sys::pthread_mutex_destroy(&ring_mutex_);
  sys::pthread_mutex_destroy(&wait_mutex_);
  sys::pthread_cond_destroy(&data_ready_);
}

inline uint32_t SensorQueue::advance(uint32_t pos, uint64_t n) const {
  uint64_t next = uint64_t{pos} + n;
  return static_cast<uint32_t>(next < size_ ? next : next - size_);
}

inline uint32_t SensorQueue::copy_in(uint32_t pos, const uint8_t* from, uint32_t n) {
  if (n == 0) return pos;
  uint32_t before_end = size_ - pos;
  if (n <= before_end) {
    std::memcpy(storage_ + pos, from, n);
  } else {
    std::memcpy(storage_ + pos, from, before_end);
    std::memcpy(storage_, from + before_end, n - before_end);
  }
  return advance(pos, n);
}

inline uint32_t SensorQueue::copy_out(uint32_t pos, uint8_t* to, uint32_t n) const {
  if (n == 0) return pos;
  uint32_t before_end = size_ - pos;
  if (n <= before_end) {
    std::memcpy(to, storage_ + pos, n);
  } else {
    std::memcpy(to, storage_ + pos, before_end);
    std::memcpy(to + before_end, storage_, n - before_end);
  }
  return advance(pos, n);
}

inline uint32_t SensorQueue::length_at(uint32_t pos) const {
  uint8_t field[kLengthFieldSize];
  copy_out(pos, field, kLengthFieldSize);
  return wire::load_be32(field);
}

inline uint32_t SensorQueue::used_bytes() const {
  return wrapped_ ? size_ - read_pos_ + write_pos_ : write_pos_ - read_pos_;
}

inline void SensorQueue::make_room(uint64_t need) {
  // Dropping whole records from the oldest on, only while the free bytes fall short,
  // drops exactly the records a byte-by-byte writer would overrun.
  uint64_t free_bytes = size_ - used_bytes();
  while (free_bytes < need) {
    uint64_t record = uint64_t{kLengthFieldSize} + length_at(read_pos_);
    read_pos_ = advance(read_pos_, record);
    free_bytes += record;
    ++overwritten_;
    overwritten_bytes_ += record;
    --in_queue_;
  }
}

int SensorQueue::push(const uint8_t* data, uint32_t length) {
  if (length > size_ - kLengthFieldSize || length > kMaxReportableLength) {
    refused_.add(1);
    refuse_push(length, size_);
  }
  uint8_t field[kLengthFieldSize];
  wire::store_be32(field, length);
  bool wake_consumer;
  {
    sys::ScopedLock lock(&ring_mutex_);
    make_room(uint64_t{kLengthFieldSize} + length);
    write_pos_ = copy_in(write_pos_, field, kLengthFieldSize);
    write_pos_ = copy_in(write_pos_, data, length);
    // The ring now holds at least this record, so it has wrapped exactly when the
    // writer stands at or before the reader (at it: full).
    wrapped_ = write_pos_ <= read_pos_;
    ++queued_;
    ++in_queue_;
    wake_consumer = consumer_may_wait_;
    consumer_may_wait_ = false;
  }
  // While the consumer is busy popping, its next wait still has the signal of the first
  // push since it last found nothing, so signalling again would only cost the producer
  // a locked event operation per record.
  return wake_consumer ? sys::pthread_cond_signal(&data_ready_) : 0;
}

inline bool SensorQueue::is_empty() const { return !wrapped_ && read_pos_ >= write_pos_; }

inline int SensorQueue::pop_locked(uint8_t* out, uint32_t capacity) {
  if (is_empty()) return 0;
  uint32_t length = length_at(read_pos_);
  if (length > capacity) return -1;
  uint64_t record_end = uint64_t{read_pos_} + kLengthFieldSize + length;
  read_pos_ = copy_out(advance(read_pos_, kLengthFieldSize), out, length);
  // Reading past the end of storage catches the reader up with the writer's wrap.
  if (record_end >= size_) wrapped_ = false;
  --in_queue_;
  return static_cast<int>(length);
}

int SensorQueue::pop(uint8_t* out, uint32_t capacity) {
  int result;
  bool records_behind_empty_body;
  {
    sys::ScopedLock lock(&ring_mutex_);
    result = pop_locked(out, capacity);
    if (result <= 0) consumer_may_wait_ = true;
    records_behind_empty_body = result == 0 && !is_empty();
  }
  // An empty body reads like an empty ring, so the consumer waits next; the records
  // behind it must not wait for another push.
  if (records_behind_empty_body) sys::pthread_cond_signal(&data_ready_);
  return result;
}

int SensorQueue::wait_for_data() {
  sys::ScopedLock lock(&wait_mutex_);
  // Keeping the signal matters: a push between the consumer's last pop and this wait
  // has already signalled, and clearing that signal here would sleep through it.
  return sys::cond_wait_keeping_signal(&data_ready_, &wait_mutex_);
}

QueueCounts SensorQueue::counts() {
  QueueCounts counts;
  counts.refused = refused_.value();
  sys::ScopedLock lock(&ring_mutex_);
  counts.queued = queued_;
  counts.overwritten = overwritten_;
  counts.overwritten_bytes = overwritten_bytes_;
  counts.in_queue = in_queue_;
  return counts;
}

int SensorQueue::signal_data_ready() { return sys::pthread_cond_signal(&data_ready_); }

int32_t push_to_queue(const uint8_t* data, uint32_t length, void* user) {
  return static_cast<SensorQueue*>(user)->push(data, length);
}

}  // namespace kx::sensor
