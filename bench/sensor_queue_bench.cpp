// Push and pop through the sensor queue, against a ring of the same layout and locking
// that moves one byte at a time, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "wire/wire_format.h"
#include "sensor/sensor_queue.h"
#include "sys/threads.h"

namespace {

using kx::sensor::SensorQueue;

// The baseline: the same ring, mutexes and signalling rule, but every byte stored checks
// for a full ring and drops the oldest record at that moment, and pop copies byte by
// byte.
class ByteAtATimeRing {
 public:
  explicit ByteAtATimeRing(uint32_t size) : storage_(size), size_(size) {
    kx::sys::pthread_mutex_init(&ring_mutex_, nullptr);
    kx::sys::pthread_mutex_init(&wait_mutex_, nullptr);
    kx::sys::pthread_cond_init(&data_ready_, nullptr);
  }
  ~ByteAtATimeRing() {
    kx::sys::pthread_mutex_destroy(&ring_mutex_);
    kx::sys::pthread_mutex_destroy(&wait_mutex_);
    kx::sys::pthread_cond_destroy(&data_ready_);
  }
  ByteAtATimeRing(const ByteAtATimeRing&) = delete;
  ByteAtATimeRing& operator=(const ByteAtATimeRing&) = delete;

  int push(const uint8_t* data, uint32_t length) {
    uint8_t field[4];
    kx::wire::store_be32(field, length);
    kx::sys::pthread_mutex_lock(&ring_mutex_);
    for (uint8_t byte : field) put(byte);
    for (uint32_t i = 0; i < length; ++i) put(data[i]);
    bool wake = consumer_may_wait_;
    consumer_may_wait_ = false;
    kx::sys::pthread_mutex_unlock(&ring_mutex_);
    return wake ? kx::sys::pthread_cond_signal(&data_ready_) : 0;
  }

  // Records with empty bodies never occur here, so the queue's extra signal for them is
  // left out.
  int pop(uint8_t* out, uint32_t capacity) {
    kx::sys::pthread_mutex_lock(&ring_mutex_);
    int result = pop_locked(out, capacity);
    if (result <= 0) consumer_may_wait_ = true;
    kx::sys::pthread_mutex_unlock(&ring_mutex_);
    return result;
  }

  int wait_for_data() {
    kx::sys::pthread_mutex_lock(&wait_mutex_);
    int result = kx::sys::cond_wait_keeping_signal(&data_ready_, &wait_mutex_);
    kx::sys::pthread_mutex_unlock(&wait_mutex_);
    return result;
  }

 private:
  int pop_locked(uint8_t* out, uint32_t capacity) {
    if (!wrapped_ && read_pos_ >= write_pos_) return 0;
    uint32_t length = length_at(read_pos_);
    if (length > capacity) return -1;
    uint32_t pos = next(read_pos_, 4);
    for (uint32_t i = 0; i < length; ++i) {
      out[i] = storage_[pos];
      pos = next(pos, 1);
    }
    if (uint64_t{read_pos_} + 4 + length >= size_) wrapped_ = false;
    read_pos_ = pos;
    return static_cast<int>(length);
  }

  void put(uint8_t byte) {
    if (write_pos_ == read_pos_ && wrapped_) drop_oldest();
    storage_[write_pos_] = byte;
    if (++write_pos_ == size_) {
      write_pos_ = 0;
      wrapped_ = true;
    }
  }

  uint32_t next(uint32_t pos, uint32_t n) const {
    uint64_t moved = uint64_t{pos} + n;
    return static_cast<uint32_t>(moved < size_ ? moved : moved - size_);
  }

  uint32_t length_at(uint32_t pos) const {
    uint8_t field[4];
    for (uint8_t& byte : field) {
      byte = storage_[pos];
      pos = next(pos, 1);
    }
    return kx::wire::load_be32(field);
  }

  void drop_oldest() {
    uint64_t end = uint64_t{read_pos_} + 4 + length_at(read_pos_);
    if (end >= size_) wrapped_ = false;
    read_pos_ = next(read_pos_, 4 + length_at(read_pos_));
  }

  std::vector<uint8_t> storage_;
  uint32_t size_;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;
  bool wrapped_ = false;
  bool consumer_may_wait_ = true;
  kx::sys::pthread_mutex_t ring_mutex_;
  kx::sys::pthread_mutex_t wait_mutex_;
  kx::sys::pthread_cond_t data_ready_;
};

constexpr uint32_t kRingSize = 64u << 20;

// Runs records through the whole ring once, so that its pages are resident: the
// measurement is of the steady state, not of the first lap's page faults.
template <typename Ring>
void warm_up(Ring& ring, uint32_t length) {
  std::vector<uint8_t> body(length, 0x11), out(length);
  for (uint64_t written = 0; written < kRingSize; written += length + 4) {
    ring.push(body.data(), length);
    ring.pop(out.data(), length);
  }
}

// One push and one pop per iteration on one thread; range(0) is the body length.
template <typename Ring>
void BM_PushPop(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  Ring ring(kRingSize);
  warm_up(ring, length);
  std::vector<uint8_t> body(length, 0x5A), out(length);
  for (auto _ : state) {
    ring.push(body.data(), length);
    benchmark::DoNotOptimize(ring.pop(out.data(), length));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * int64_t{length});
}

// A producer thread pushes a batch that fits the ring whole, so nothing is dropped and
// every record counted went through the pair; the benchmark thread pops and waits.
template <typename Ring>
void BM_ProducerConsumer(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  const uint32_t batch = kRingSize / (length + 4) / 2;
  Ring ring(kRingSize);
  warm_up(ring, length);
  std::vector<uint8_t> out(length);
  for (auto _ : state) {
    std::thread producer([&] {
      std::vector<uint8_t> body(length, 0xA5);
      for (uint32_t n = 0; n < batch; ++n) ring.push(body.data(), length);
    });
    uint32_t received = 0;
    while (received < batch) {
      if (ring.pop(out.data(), length) > 0) {
        ++received;
      } else {
        ring.wait_for_data();
      }
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{batch});
}

BENCHMARK_TEMPLATE(BM_PushPop, SensorQueue)->Arg(100)->Arg(512);
BENCHMARK_TEMPLATE(BM_PushPop, ByteAtATimeRing)->Arg(100)->Arg(512);
BENCHMARK_TEMPLATE(BM_ProducerConsumer, SensorQueue)->Arg(100)->Arg(512)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ProducerConsumer, ByteAtATimeRing)->Arg(100)->Arg(512)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
