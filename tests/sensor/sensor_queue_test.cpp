#include "sensor/sensor_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "agent/errors.h"
#include "support/byte_ring.h"

namespace {

using kx::sensor::SensorQueue;

auto counted(const kx::sensor::QueueCounts& c) {
  return std::make_tuple(c.queued, c.refused, c.overwritten, c.overwritten_bytes, c.in_queue);
}

// Matches a call that raises SensorError with exactly this message.
auto refused(const std::string& message) {
  return testing::ThrowsMessage<kx::sensor::SensorError>(message);
}

// One character a step: 'p' pushes a 3-byte body; 'o' pops it, 'e' pops from an empty
// ring; 'w' waits for data, which must end, 'b' one that must still block after 100 ms.
void run_steps(SensorQueue& queue, const std::string& steps) {
  const uint8_t body[3] = {1, 2, 3};
  uint8_t out[3];
  for (char step : steps) {
    SCOPED_TRACE(step);
    if (step == 'p') {
      ASSERT_EQ(queue.push(body, 3), 0);
    } else if (step == 'w' || step == 'b') {
      auto waiter = std::async(std::launch::async, [&] { queue.wait_for_data(); });
      const std::chrono::milliseconds limit(step == 'w' ? 10000 : 100);
      bool in_time = waiter.wait_for(limit) == std::future_status::ready;
      if (!in_time) queue.signal_data_ready();  // so that the waiter can be joined
      ASSERT_EQ(in_time, step == 'w');
    } else {
      ASSERT_EQ(queue.pop(out, 3), step == 'o' ? 3 : 0);
    }
  }
}

// Refused before the ring is locked, so one ring shows that none touches it. ThreadSanitizer
// backs every byte of the 2 GiB ring with real memory, so its preset leaves this test out.
TEST(SensorQueue, WhatTheRingCannotHoldIsRefusedAndTheRingUntouched) {
  SensorQueue queue(100);
  run_steps(queue, "p");
  uint8_t stand_in[1] = {0};  // refused before a byte is read
  EXPECT_THAT([&] { queue.push(stand_in, 101); },
              refused("string length 101  is larger than the size of the queue 100"));
  EXPECT_THAT([&] { queue.push(stand_in, 97); },
              refused("SensorQueue::push(97) failed: the record of 101 bytes with its length "
                      "field does not fit in the queue of 100 bytes"));
  EXPECT_EQ(counted(queue.counts()), counted({1, 2, 0, 0, 1}));
  run_steps(queue, "oe");
  SensorQueue huge(0x80000010u);
  EXPECT_THAT([&] { huge.push(stand_in, 0x80000000u); },
              refused("SensorQueue::push(2147483648) failed: a body longer than 2147483647 "
                      "bytes cannot be popped"));
}

// Small rings, so that records wrap, split their length fields and overrun each other
// often; some pops with too small a buffer.
void run_random_sequence(uint32_t seed) {
  std::mt19937 random(seed);
  auto below = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
  uint32_t size = below(8) == 0 ? 100 + below(300) : 4 + below(45);
  SensorQueue queue(size);
  kx::test::ByteRing model(size);
  std::vector<uint8_t> data(size), got(size + 1, 0xEE), want(size + 1, 0xEE);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int step = 0; step < 60; ++step) {
    if (below(5) < 3) {
      uint32_t length = below((below(4) == 0 || size < 16 ? size - 4 : 12) + 1);
      for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(random());
      ASSERT_EQ(queue.push(data.data(), length), 0) << "step " << step;
      model.push(data.data(), length);
    } else {
      uint32_t capacity = below(6) == 0 ? below(size) : size;
      ASSERT_EQ(queue.pop(got.data(), capacity), model.pop(want.data(), capacity)) << "step " << step;
      // Whole buffers: a pop writes its body and nothing else.
      ASSERT_EQ(got, want) << "step " << step;
    }
  }
  EXPECT_EQ(counted(queue.counts()), counted(model.counts));
}

TEST(SensorQueue, AgreesWithTheByteAtATimeRingOnRandomSequences) {
  for (uint32_t seed = 1; seed <= 2000; ++seed) ASSERT_NO_FATAL_FAILURE(run_random_sequence(seed));
}

// Each row starts as a consumer stands after a wait that delivered a record and a pop of
// it: the signal consumed, so only what the row does may end the next wait.
TEST(SensorQueueWait, EndsAfterEveryPopThatLeftTheConsumerWaitingAndOnlyThen) {
  const char* const rows[][2] = {
      {"push after the last empty pop", "eppw"},
      {"nothing since", "b"},
  };
  for (const auto& [name, steps] : rows) {
    SCOPED_TRACE(name);
    SensorQueue queue(64);
    run_steps(queue, std::string("epwo") + steps);
  }
}

}  // namespace
