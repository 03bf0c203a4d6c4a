#include "sensor/sensor_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "wire/wire_format.h"
#include "support/byte_ring.h"
#include "sys/threads.h"

namespace {

using kx::sensor::SensorError;
using kx::sensor::SensorQueue;
using Bytes = std::vector<uint8_t>;

// A body whose bytes tell records apart: tag, then a counting pattern.
Bytes body(uint32_t length, uint8_t tag) {
  Bytes bytes(length);
  for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(tag + i * 7);
  return bytes;
}

// Runs steps written as words: "p20.1" pushes a 20-byte body tagged 1; "o20.1" pops it
// with a buffer of exactly its length; "s30" pops with a buffer one byte short of 30
// (-1, buffer and ring untouched); "e" pops from an empty ring; "!" signals data ready.
void run_steps(SensorQueue& queue, const std::string& steps) {
  std::istringstream words(steps);
  for (std::string word; words >> word;) {
    SCOPED_TRACE(word);
    std::replace(word.begin(), word.end(), '.', ' ');
    std::istringstream fields(word.substr(1));
    uint32_t length = 0, tag = 0;
    fields >> length >> tag;
    const Bytes expected = body(length, static_cast<uint8_t>(tag));
    Bytes out(length + 8, 0xEE);
    switch (word[0]) {
      case 'p':
        ASSERT_EQ(queue.push(expected.data(), length), 0);
        break;
      case 'o':
        ASSERT_EQ(queue.pop(out.data(), length), static_cast<int>(length));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + length), expected);
        EXPECT_EQ(Bytes(out.begin() + length, out.end()), Bytes(8, 0xEE));
        break;
      case 's':
        EXPECT_EQ(queue.pop(out.data(), length - 1), -1);
        EXPECT_EQ(out, Bytes(out.size(), 0xEE));
        break;
      case 'e':
        EXPECT_EQ(queue.pop(out.data(), static_cast<uint32_t>(out.size())), 0);
        break;
      default:
        EXPECT_EQ(queue.signal_data_ready(), 0);
    }
  }
}

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const SensorError& error) {
    return error.what();
  }
  return "(nothing raised)";
}

TEST(SensorQueue, BodyThatCannotBeHeldIsRefusedAndTheRingUntouched) {
  struct Case {
    uint32_t length;
    std::string message;
  };
  const std::string does_not_fit =
      " bytes with its length field does not fit in the queue of 100 bytes";
  const Case cases[] = {
      {101, "string length 101  is larger than the size of the queue 100"},
      {97, "SensorQueue::push(97) failed: the record of 101" + does_not_fit},
      {100, "SensorQueue::push(100) failed: the record of 104" + does_not_fit},
  };
  for (const Case& c : cases) {
    SensorQueue queue(100);
    run_steps(queue, "p10.1");
    Bytes big(c.length);
    EXPECT_EQ(message_of([&] { queue.push(big.data(), c.length); }), c.message);
    const kx::sensor::QueueCounts counts = queue.counts();
    EXPECT_EQ(counts.refused, 1u);
    EXPECT_EQ(counts.queued, 1u);
    EXPECT_EQ(counts.in_queue, 1u);
    run_steps(queue, "o10.1 e");
  }
}

TEST(SensorQueue, QueueTooSmallForALengthFieldIsRefusedAtCreation) {
  for (uint32_t size : {0u, 1u, 2u, 3u}) {
    EXPECT_EQ(message_of([&] { SensorQueue queue(size); }),
              "SensorQueue(" + std::to_string(size) +
                  ") failed: a queue needs at least 4 bytes for a record's length field");
  }
}

// ThreadSanitizer backs every byte of a 2 GiB ring with real memory, so its preset
// leaves this test out; elsewhere the untouched storage costs nothing.
TEST(SensorQueue, BodyTooLongForPopToReportIsRefused) {
  auto queue = std::make_unique<SensorQueue>(0x80000010u);
  // Refused before a byte is read, so a small buffer stands in for the body.
  uint8_t stand_in[1] = {0};
  EXPECT_EQ(message_of([&] { queue->push(stand_in, 0x80000000u); }),
            "SensorQueue::push(2147483648) failed: a body longer than 2147483647 bytes cannot "
            "be popped");
  run_steps(*queue, "e");
}

// One random run: small rings so that records wrap, split their length fields and
// overrun each other often; pops sometimes with too small a buffer.
void run_random_sequence(uint32_t seed) {
  std::mt19937 random(seed);
  auto below = [&](uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(random);
  };
  uint32_t size = below(8) == 0 ? 100 + below(300) : 4 + below(45);
  SensorQueue queue(size);
  kx::test::ByteRing model(size);
  Bytes data(size), got(size + 1, 0xEE), want(size + 1, 0xEE);
  for (int step = 0; step < 60; ++step) {
    if (below(5) < 3) {
      uint32_t limit = below(4) == 0 ? size - 4 : std::min<uint32_t>(size - 4, 12);
      uint32_t length = below(limit + 1);
      for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(random());
      ASSERT_EQ(queue.push(data.data(), length), 0);
      model.push(data.data(), length);
    } else {
      uint32_t capacity = below(6) == 0 ? below(size) : size;
      int result = queue.pop(got.data(), capacity);
      ASSERT_EQ(result, model.pop(want.data(), capacity))
          << "seed " << seed << " step " << step << " size " << size;
      // A record that does not fit the buffer leaves the buffer untouched.
      size_t compared = result > 0 ? static_cast<size_t>(result) : got.size();
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), compared))
          << "seed " << seed << " step " << step;
    }
  }
  const kx::sensor::QueueCounts counted = queue.counts();
  const kx::sensor::QueueCounts& expected = model.counts;
  EXPECT_EQ(counted.queued, expected.queued) << "seed " << seed;
  EXPECT_EQ(counted.overwritten, expected.overwritten) << "seed " << seed;
  EXPECT_EQ(counted.overwritten_bytes, expected.overwritten_bytes) << "seed " << seed;
  EXPECT_EQ(counted.in_queue, expected.in_queue) << "seed " << seed;
  EXPECT_EQ(counted.refused, 0u);
}

TEST(SensorQueue, AgreesWithTheByteAtATimeRingOnRandomSequences) {
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    ASSERT_NO_FATAL_FAILURE(run_random_sequence(seed));
  }
}

// Runs wait_for_data on a thread of its own and tells whether it returned in time; a
// wait still blocked then is released so the test can end.
bool wait_returns_within(SensorQueue& queue, std::chrono::milliseconds limit) {
  std::promise<void> returned;
  std::future<void> done = returned.get_future();
  std::thread waiter([&] {
    queue.wait_for_data();
    returned.set_value();
  });
  bool in_time = done.wait_for(limit) == std::future_status::ready;
  if (!in_time) queue.signal_data_ready();
  waiter.join();
  return in_time;
}

constexpr std::chrono::seconds kPromptly{10};

// Each case starts as a consumer stands after a wait that delivered a record: the signal
// consumed, and no pop since then has found nothing, so the pushes before the case's
// own pop need not signal again.
TEST(SensorQueueWait, EndsAfterEveryPopThatLeftTheConsumerWaiting) {
  struct Case {
    const char* name;
    std::string steps;
  };
  const Case cases[] = {
      {"push after the last empty pop", "e p3.1 p4.2"},
      {"push after a pop with too small a buffer", "p30.1 s30 p3.2"},
      // An empty body pops like an empty ring; the record behind it needs no other push.
      {"records behind an empty body", "p0 p5.3 o0"},
      {"stop signal given before the wait", "e !"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SensorQueue queue(64);
    run_steps(queue, "e p2.7");
    ASSERT_TRUE(wait_returns_within(queue, kPromptly));
    run_steps(queue, "o2.7 " + c.steps);
    EXPECT_TRUE(wait_returns_within(queue, kPromptly));
  }
}

SensorQueue* queue_for_hook = nullptr;
void push_from_hook(kx::sys::pthread_cond_t*) {
  kx::sys::cond_wait_after_release_hook = nullptr;
  uint8_t byte = 42;
  queue_for_hook->push(&byte, 1);
}

TEST(SensorQueueWait, PushBetweenReleaseAndPlatformWaitEndsTheWait) {
  SensorQueue queue(64);
  run_steps(queue, "e");
  queue_for_hook = &queue;
  kx::sys::cond_wait_after_release_hook = push_from_hook;
  bool in_time = wait_returns_within(queue, kPromptly);
  kx::sys::cond_wait_after_release_hook = nullptr;
  EXPECT_TRUE(in_time);
}

TEST(SensorQueueWait, WaitWithoutASignalBlocksUntilOneComes) {
  SensorQueue queue(64);
  EXPECT_FALSE(wait_returns_within(queue, std::chrono::milliseconds(100)));
}

// A producer thread overruns a small ring while a consumer pops and waits: every record
// that comes out is intact and newer than the one before it, and the last one pushed
// always arrives.
TEST(SensorQueueThreads, ConsumerSeesIntactRecordsInOrderWhileTheProducerOverruns) {
  SensorQueue queue(1000);
  constexpr uint32_t kRecords = 20000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    uint8_t record[40];
    for (uint32_t n = 1; n <= kRecords; ++n) {
      uint32_t length = 4 + n % 37;
      kx::wire::store_be32(record, n);
      for (uint32_t i = 4; i < length; ++i) record[i] = static_cast<uint8_t>(n + i);
      queue.push(record, length);
    }
    done = true;
    queue.signal_data_ready();
  });
  uint32_t last = 0;
  bool intact = true;
  uint8_t out[64];
  // Once done is seen, one more pop collects whatever came after the empty one.
  for (bool done_seen = false;;) {
    int length = queue.pop(out, sizeof out);
    if (length == 0 && done_seen) break;
    if (length == 0) {
      done_seen = done;
      if (!done_seen) queue.wait_for_data();
      continue;
    }
    uint32_t n = kx::wire::load_be32(out);
    intact = intact && n > last && static_cast<uint32_t>(length) == 4 + n % 37;
    for (int i = 4; i < length; ++i) intact = intact && out[i] == static_cast<uint8_t>(n + i);
    last = n;
  }
  producer.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(last, kRecords);
}

}  // namespace
