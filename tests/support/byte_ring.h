// The reference the sensor queue is held to: its record layout in a ring that moves one
// byte at a time, each byte written into a full ring dropping the oldest record. Not locked.
#pragma once

#include <cstdint>
#include <vector>

#include "sensor/sensor_queue.h"
#include "wire/wire_format.h"

namespace kx::test {

class ByteRing {
 public:
  explicit ByteRing(uint32_t size) : storage_(size) {}

  void push(const uint8_t* data, uint32_t length) {
    uint8_t field[4];
    wire::store_be32(field, length);
    for (uint8_t byte : field) put(byte);
    for (uint32_t i = 0; i < length; ++i) put(data[i]);
    ++counts.queued;
    ++counts.in_queue;
  }

  int pop(uint8_t* out, uint32_t capacity) {
    if (used_ == 0) return 0;
    uint32_t length = oldest_length();
    if (length > capacity) return -1;
    for (uint32_t i = 0; i < length; ++i) out[i] = byte_at(4 + i);
    drop_oldest();
    return static_cast<int>(length);
  }

  // What the queue must count for the same calls (refusals aside).
  sensor::QueueCounts counts;

 private:
  void put(uint8_t byte) {
    if (used_ == storage_.size()) {
      ++counts.overwritten;
      counts.overwritten_bytes += drop_oldest();
    }
    storage_[write_pos_] = byte;
    write_pos_ = write_pos_ + 1 == storage_.size() ? 0 : write_pos_ + 1;
    ++used_;
  }

  uint8_t byte_at(uint64_t offset) const { return storage_[(read_pos_ + offset) % storage_.size()]; }

  uint32_t oldest_length() const {
    const uint8_t field[4] = {byte_at(0), byte_at(1), byte_at(2), byte_at(3)};
    return wire::load_be32(field);
  }

  // Moves the reader past the oldest record; returns its size with the length field.
  uint64_t drop_oldest() {
    uint64_t record = 4 + uint64_t{oldest_length()};
    read_pos_ = (read_pos_ + record) % storage_.size();
    used_ -= record;
    --counts.in_queue;
    return record;
  }

  std::vector<uint8_t> storage_;
  uint64_t read_pos_ = 0;
  uint64_t write_pos_ = 0;
  uint64_t used_ = 0;
};

}  // namespace kx::test
