// Short sleeps, so the waiting thread takes no core from the threads it watches.
#pragma once

#include <chrono>
#include <thread>

namespace kx::test {

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
