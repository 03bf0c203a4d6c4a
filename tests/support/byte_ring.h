// The reference the sensor queue is held to, in tests and benchmarks: the same record
// layout in a ring that moves one byte at a time, every byte written checking for a full
// ring and dropping the oldest record at that moment. Not locked.
#pragma once

#include <cstdint>
#include <vector>

#include "sensor/sensor_queue.h"
#include "wire/wire_format.h"

namespace kx::test {

class ByteRing {
 public:
  explicit ByteRing(uint32_t size) : storage_(size), size_(size) {}

  void push(const uint8_t* data, uint32_t length) {
    uint8_t field[4];
    wire::store_be32(field, length);
    for (uint8_t byte : field) put(byte);
    for (uint32_t i = 0; i < length; ++i) put(data[i]);
    ++counts.queued;
    ++counts.in_queue;
  }

  int pop(uint8_t* out, uint32_t capacity) {
    if (!wrapped_ && read_pos_ >= write_pos_) return 0;
    uint32_t length = length_at(read_pos_);
    if (length > capacity) return -1;
    for (uint32_t i = 0; i < length; ++i) out[i] = storage_[(uint64_t{read_pos_} + 4 + i) % size_];
    drop_oldest();
    --counts.in_queue;
    return static_cast<int>(length);
  }

  // What the queue must count for the same sequence (refusals aside).
  sensor::QueueCounts counts;

 private:
  void put(uint8_t byte) {
    if (write_pos_ == read_pos_ && wrapped_) {
      ++counts.overwritten;
      counts.overwritten_bytes += 4 + length_at(read_pos_);
      --counts.in_queue;
      drop_oldest();
    }
    storage_[write_pos_] = byte;
    if (++write_pos_ == size_) {
      write_pos_ = 0;
      wrapped_ = true;
    }
  }

  uint32_t length_at(uint32_t pos) const {
    uint8_t field[4];
    for (uint32_t i = 0; i < 4; ++i) field[i] = storage_[(pos + i) % size_];
    return wire::load_be32(field);
  }

  // Moves the reader past the oldest record; passing the end catches it up with the
  // writer's wrap.
  void drop_oldest() {
    uint64_t next = uint64_t{read_pos_} + 4 + length_at(read_pos_);
    wrapped_ = wrapped_ && next < size_;
    read_pos_ = static_cast<uint32_t>(next % size_);
  }

  std::vector<uint8_t> storage_;
  uint32_t size_;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;
  bool wrapped_ = false;
};

}  // namespace kx::test
