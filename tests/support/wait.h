// The one bounded wait of tests and benchmarks: short sleeps, so the waiting thread takes
// no core from the threads it watches.
#pragma once

#include <chrono>
#include <thread>

namespace kx::test {

// Whether done() came to hold before the time ran out.
template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kx::test
