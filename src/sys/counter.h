// A count that one thread writes and any thread reads. The writer's relaxed load and
// store take no lock and no locked instruction, so counting costs the hot paths next to
// nothing; a reader sees some recent value, never a torn one.
#pragma once

#include <atomic>
#include <cstdint>

namespace kx::sys {

class Counter {
 public:
  // Only the one writing thread may call these.
  void add(uint64_t n) {
    value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  void set(uint64_t n) { value_.store(n, std::memory_order_relaxed); }

  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

}  // namespace kx::sys
