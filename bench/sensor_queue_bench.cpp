// Push and pop through the sensor queue, against a ring of the same layout and locking
// that moves one byte at a time, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "sensor/sensor_queue.h"
#include "support/byte_ring.h"
#include "sys/threads.h"

namespace {

using kx::sensor::SensorQueue;

// The baseline: the test kit's byte-at-a-time ring behind the queue's mutexes and
// signalling rule.
class ByteAtATimeRing {
 public:
  explicit ByteAtATimeRing(uint32_t size) : ring_(size) {
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
    kx::sys::pthread_mutex_lock(&ring_mutex_);
    ring_.push(data, length);
    bool wake = consumer_may_wait_;
    consumer_may_wait_ = false;
    kx::sys::pthread_mutex_unlock(&ring_mutex_);
    return wake ? kx::sys::pthread_cond_signal(&data_ready_) : 0;
  }

  // Records with empty bodies never occur here, so the queue's extra signal for them is
  // left out.
  int pop(uint8_t* out, uint32_t capacity) {
    kx::sys::pthread_mutex_lock(&ring_mutex_);
    int result = ring_.pop(out, capacity);
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
  kx::test::ByteRing ring_;
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
