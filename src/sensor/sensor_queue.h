// The sensor queue: a fixed-size byte ring of length-framed records between capture
// (one producer thread) and forwarding (one consumer thread). The producer never waits
// for space: a full ring drops its oldest records, one whole record at a time.
#pragma once

#include <cstdint>

#include "sys/counter.h"
#include "sys/threads.h"

namespace kx::sensor {

// What the queue did since its creation, counted in records unless named bytes.
struct QueueCounts {
  uint64_t queued = 0;             // pushes stored
  uint64_t refused = 0;            // pushes refused: the body cannot be held
  uint64_t overwritten = 0;        // oldest records dropped to make room
  uint64_t overwritten_bytes = 0;  // their bytes in the ring, length fields included
  uint64_t in_queue = 0;           // records in the ring now
};

class SensorQueue {
 public:
  // Raises SensorError when the storage cannot be allocated or size cannot hold a record.
  explicit SensorQueue(uint32_t size);
  ~SensorQueue();
  SensorQueue(const SensorQueue&) = delete;
  SensorQueue& operator=(const SensorQueue&) = delete;

  // Copies one record into the ring and signals data_ready when the consumer may be
  // waiting for it: the first push after a pop that returned 0 or -1 signals, later ones
  // find the signal already given. 0 when the signal was given or not needed, -1 when
  // signalling failed (the record is stored either way). Raises SensorError for a body
  // the ring cannot hold; the ring is then untouched.
  int push(const uint8_t* data, uint32_t length);

  // 0: ring empty (or an empty body, consumed); -1: the oldest body is longer than
  // capacity (nothing removed); otherwise the body length, copied to out and removed.
  int pop(uint8_t* out, uint32_t capacity);

  // Blocks until data_ready is signalled. The consumer calls it after a pop that returned
  // 0 or -1: a push after that pop, or signal_data_ready, ends the wait even when it came
  // before this call began.
  int wait_for_data();

  // The same signal a push gives; the processor's stop uses it to end a wait for data.
  int signal_data_ready();

  uint32_t size() const { return size_; }

  // Safe from any thread: takes ring_mutex for a moment, as push and pop do.
  QueueCounts counts();

 private:
  // Ring arithmetic, written once. Callers hold ring_mutex; n is at most size.
  uint32_t advance(uint32_t pos, uint64_t n) const;
  uint32_t copy_in(uint32_t pos, const uint8_t* from, uint32_t n);
  uint32_t copy_out(uint32_t pos, uint8_t* to, uint32_t n) const;
  uint32_t length_at(uint32_t pos) const;
  uint32_t used_bytes() const;
  // Drops the oldest records, as few as leave room for need bytes.
  void make_room(uint64_t need);
  bool is_empty() const;
  int pop_locked(uint8_t* out, uint32_t capacity);

  uint8_t* storage_ = nullptr;
  uint32_t size_ = 0;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;
  bool wrapped_ = false;
  // Set by a pop after which the consumer may wait, cleared by the push that signals.
  // Guarded by ring_mutex.
  bool consumer_may_wait_ = true;
  // Guarded by ring_mutex, so that push and pop count without a lock of their own.
  uint64_t queued_ = 0;
  uint64_t overwritten_ = 0;
  uint64_t overwritten_bytes_ = 0;
  uint64_t in_queue_ = 0;
  // Refusals happen before the lock, on the producer thread.
  sys::Counter refused_;
  sys::pthread_mutex_t ring_mutex_;
  sys::pthread_mutex_t wait_mutex_;
  sys::pthread_cond_t data_ready_;
};

// The MessageHandler that feeds a SensorQueue (the user pointer): returns push's result
// and raises what push raises.
int32_t push_to_queue(const uint8_t* data, uint32_t length, void* user);

}  // namespace kx::sensor
