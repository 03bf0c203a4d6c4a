#include "sensor/sensor_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "net/wire_format.h"
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

void push(SensorQueue& queue, const Bytes& bytes) {
  ASSERT_EQ(queue.push(bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
}

// Pops one record with a buffer as large as the ring; fails the test unless a record
// of the expected body came out.
void expect_pop(SensorQueue& queue, const Bytes& expected) {
  Bytes out(queue.size() + 1, 0xEE);
  int result = queue.pop(out.data(), queue.size());
  ASSERT_EQ(result, static_cast<int>(expected.size()));
  out.resize(expected.size());
  EXPECT_EQ(out, expected);
}

void expect_empty(SensorQueue& queue) {
  uint8_t out[8];
  EXPECT_EQ(queue.pop(out, sizeof out), 0);
}

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const SensorError& error) {
    return error.what();
  }
  return "(nothing raised)";
}

// Fills and drains a new ring so that the next record starts rem bytes before the end
// of storage, with the ring empty.
void move_positions_to(SensorQueue& queue, uint32_t rem) {
  uint32_t filler = queue.size() - rem - 4;
  push(queue, body(filler, 0x90));
  expect_pop(queue, body(filler, 0x90));
}

TEST(SensorQueue, EmptyRingPopsZeroAndOneRecordRoundTrips) {
  SensorQueue queue(1024);
  expect_empty(queue);
  push(queue, body(20, 1));
  Bytes out(20);
  EXPECT_EQ(queue.pop(out.data(), 20), 20);
  EXPECT_EQ(out, body(20, 1));
  expect_empty(queue);
}

TEST(SensorQueue, BodyOfSizeMinusFourFillsTheEmptyRingExactly) {
  SensorQueue queue(64);
  push(queue, body(60, 3));
  expect_pop(queue, body(60, 3));
  expect_empty(queue);
  // Full, not empty: the next record, however small, overruns the whole one.
  push(queue, body(60, 4));
  push(queue, body(1, 7));
  expect_pop(queue, body(1, 7));
  expect_empty(queue);
}

TEST(SensorQueue, FullRingDropsTheOldestRecordsOneByOne) {
  SensorQueue queue(100);
  // Records of 24 bytes each: four fit (96 bytes), the fifth overruns the first.
  for (uint8_t tag = 1; tag <= 5; ++tag) push(queue, body(20, tag));
  for (uint8_t tag = 2; tag <= 5; ++tag) expect_pop(queue, body(20, tag));
  expect_empty(queue);
}

TEST(SensorQueue, PushDropsAsFewRecordsAsMakeRoom) {
  SensorQueue queue(100);
  push(queue, body(10, 1));  // 14 bytes
  push(queue, body(10, 2));  // 28
  push(queue, body(60, 3));  // 92, 8 bytes free
  // 8 free plus the first record's 14 leave room for 22 bytes: only the first goes.
  push(queue, body(18, 4));
  expect_pop(queue, body(10, 2));
  expect_pop(queue, body(60, 3));
  expect_pop(queue, body(18, 4));
  expect_empty(queue);
}

// The record starts rem bytes before the end of storage: 1 to 3 split its length
// field, 4 ends the field exactly at the end, so that the body starts at index 0.
class SplitRecord : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SplitRecord, DropAndPopReadTheLengthAcrossTheEnd) {
  SensorQueue popped(64);
  move_positions_to(popped, GetParam());
  push(popped, body(13, 5));
  expect_pop(popped, body(13, 5));
  expect_empty(popped);

  SensorQueue queue(64);
  move_positions_to(queue, GetParam());
  push(queue, body(13, 5));  // 17 bytes, across the end
  push(queue, body(30, 6));  // 51 in all, 13 free
  // 13 free bytes need the split record's 17 as well, and nothing more.
  push(queue, body(26, 7));
  expect_pop(queue, body(30, 6));
  expect_pop(queue, body(26, 7));
  expect_empty(queue);
}

INSTANTIATE_TEST_SUITE_P(BytesBeforeTheEnd, SplitRecord, ::testing::Values(1u, 2u, 3u, 4u, 5u));

TEST(SensorQueue, BodyEndingAtTheEndOfStorageLeavesAnEmptyRingBehind) {
  SensorQueue queue(64);
  push(queue, body(10, 1));
  expect_pop(queue, body(10, 1));
  push(queue, body(46, 2));  // bytes 14 to 63
  expect_pop(queue, body(46, 2));
  expect_empty(queue);
  // The reader stands at 0 again: a full-ring record fits without dropping anything.
  push(queue, body(60, 3));
  expect_pop(queue, body(60, 3));
  expect_empty(queue);
}

TEST(SensorQueue, PopReturnsMinusOneAndKeepsTheRecordWhenTheBufferIsTooSmall) {
  SensorQueue queue(128);
  move_positions_to(queue, 2);  // the kept record's length field is split
  push(queue, body(30, 8));
  Bytes small(29, 0xEE);
  EXPECT_EQ(queue.pop(small.data(), 29), -1);
  EXPECT_EQ(small, Bytes(29, 0xEE));
  expect_pop(queue, body(30, 8));
  expect_empty(queue);
}

TEST(SensorQueue, RecordWithAnEmptyBodyIsConsumedAsZero) {
  SensorQueue queue(64);
  push(queue, body(0, 0));
  push(queue, body(5, 9));
  uint8_t out[8];
  EXPECT_EQ(queue.pop(out, 0), 0);
  expect_pop(queue, body(5, 9));
  expect_empty(queue);
}

TEST(SensorQueue, BodyLongerThanTheQueueIsRefusedWithItsLengthAndTheSize) {
  SensorQueue queue(100);
  push(queue, body(10, 1));
  Bytes big(101);
  EXPECT_EQ(message_of([&] { queue.push(big.data(), 101); }),
            "string length 101  is larger than the size of the queue 100");
  expect_pop(queue, body(10, 1));
  expect_empty(queue);
}

TEST(SensorQueue, BodyThatCannotBeStoredWithItsLengthFieldIsRefusedAndTheRingUntouched) {
  SensorQueue queue(100);
  push(queue, body(10, 1));
  push(queue, body(20, 2));
  Bytes big(100);
  for (uint32_t length : {97u, 100u}) {
    EXPECT_EQ(message_of([&] { queue.push(big.data(), length); }),
              "SensorQueue::push(" + std::to_string(length) + ") failed: the record of " +
                  std::to_string(length + 4) +
                  " bytes with its length field does not fit in the queue of 100 bytes");
  }
  expect_pop(queue, body(10, 1));
  expect_pop(queue, body(20, 2));
  expect_empty(queue);
  push(queue, body(96, 3));
  expect_pop(queue, body(96, 3));
}

TEST(SensorQueue, QueueTooSmallForALengthFieldIsRefusedAtCreation) {
  for (uint32_t size : {0u, 1u, 2u, 3u}) {
    EXPECT_EQ(message_of([&] { SensorQueue queue(size); }),
              "SensorQueue(" + std::to_string(size) +
                  ") failed: a queue needs at least 4 bytes for a record's length field");
  }
  SensorQueue smallest(4);
  push(smallest, body(0, 0));
  push(smallest, body(0, 0));
  uint8_t out[1];
  EXPECT_EQ(smallest.pop(out, 1), 0);
  expect_empty(smallest);
}

// ThreadSanitizer backs every byte of a 2 GiB ring with real memory; elsewhere the
// untouched storage costs nothing.
#if defined(__SANITIZE_THREAD__)
constexpr bool kHugeRingIsCheap = false;
#else
constexpr bool kHugeRingIsCheap = true;
#endif

TEST(SensorQueue, BodyTooLongForPopToReportIsRefused) {
  if (!kHugeRingIsCheap) GTEST_SKIP() << "a 2 GiB ring is too costly under this sanitizer";
  constexpr uint32_t kSize = 0x80000010u;
  std::unique_ptr<SensorQueue> queue;
  try {
    queue = std::make_unique<SensorQueue>(kSize);
  } catch (const SensorError&) {
    GTEST_SKIP() << "no room for a ring of " << kSize << " bytes here";
  }
  // Refused before a byte is read, so a small buffer stands in for the body.
  uint8_t stand_in[1] = {0};
  EXPECT_EQ(message_of([&] { queue->push(stand_in, 0x80000000u); }),
            "SensorQueue::push(2147483648) failed: a body longer than 2147483647 bytes cannot "
            "be popped");
  expect_empty(*queue);
}

TEST(SensorQueue, PushToQueueFeedsTheQueueGivenAsUserPointer) {
  SensorQueue queue(64);
  Bytes message = body(12, 4);
  EXPECT_EQ(kx::sensor::push_to_queue(message.data(), 12, &queue), 0);
  expect_pop(queue, message);
  Bytes big(65);
  EXPECT_THROW(kx::sensor::push_to_queue(big.data(), 65, &queue), SensorError);
}

// The byte-at-a-time ring the queue must agree with: every byte written checks for a
// full ring and drops the oldest record at that moment.
class ByteRing {
 public:
  explicit ByteRing(uint32_t size) : storage_(size), size_(size) {}

  void push(const uint8_t* data, uint32_t length) {
    uint8_t field[4];
    kx::wire::store_be32(field, length);
    for (uint8_t byte : field) put(byte);
    for (uint32_t i = 0; i < length; ++i) put(data[i]);
  }

  int pop(uint8_t* out, uint32_t capacity) {
    if (!wrapped_ && read_pos_ >= write_pos_) return 0;
    uint32_t length = length_at(read_pos_);
    uint32_t rem = size_ - read_pos_;
    bool passed_end = rem < 4;
    uint32_t start = passed_end ? 4 - rem : read_pos_ + 4;
    if (length > capacity) return -1;
    uint64_t end = uint64_t{start} + length;
    for (uint32_t i = 0; i < length; ++i) out[i] = storage_[(start + i) % size_];
    if (end < size_) {
      read_pos_ = static_cast<uint32_t>(end);
    } else {
      read_pos_ = static_cast<uint32_t>(end - size_);
      passed_end = true;
    }
    if (passed_end) wrapped_ = false;
    return static_cast<int>(length);
  }

 private:
  void put(uint8_t byte) {
    if (write_pos_ == read_pos_ && wrapped_) drop_oldest();
    storage_[write_pos_] = byte;
    if (++write_pos_ == size_) {
      write_pos_ = 0;
      wrapped_ = true;
    }
  }

  uint32_t length_at(uint32_t pos) const {
    uint8_t field[4];
    for (uint32_t i = 0; i < 4; ++i) field[i] = storage_[(pos + i) % size_];
    return kx::wire::load_be32(field);
  }

  void drop_oldest() {
    uint64_t next = uint64_t{read_pos_} + 4 + length_at(read_pos_);
    if (next < size_) {
      read_pos_ = static_cast<uint32_t>(next);
    } else {
      read_pos_ = static_cast<uint32_t>(next - size_);
      wrapped_ = false;
    }
  }

  std::vector<uint8_t> storage_;
  uint32_t size_;
  uint32_t read_pos_ = 0;
  uint32_t write_pos_ = 0;
  bool wrapped_ = false;
};

// One random run: small rings so that records wrap, split their length fields and
// overrun each other often; pops sometimes with too small a buffer.
void run_random_sequence(uint32_t seed) {
  std::mt19937 random(seed);
  auto below = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
  uint32_t size = below(8) == 0 ? 100 + below(300) : 4 + below(45);
  SensorQueue queue(size);
  ByteRing model(size);
  Bytes data(size), got(size + 1), want(size + 1);
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
      int expected = model.pop(want.data(), capacity);
      ASSERT_EQ(result, expected) << "seed " << seed << " step " << step << " size " << size;
      if (result > 0) {
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), static_cast<size_t>(result)))
            << "seed " << seed << " step " << step;
      }
    }
  }
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

// Leaves the queue as a consumer leaves it after a wait that delivered a record: the
// signal consumed, nothing pending.
void deliver_one_record(SensorQueue& queue) {
  expect_empty(queue);
  push(queue, body(2, 0x70));
  ASSERT_TRUE(wait_returns_within(queue, kPromptly));
  expect_pop(queue, body(2, 0x70));
}

TEST(SensorQueueWait, PushAfterTheLastEmptyPopEndsTheNextWait) {
  SensorQueue queue(64);
  deliver_one_record(queue);
  expect_empty(queue);
  push(queue, body(3, 1));
  push(queue, body(4, 2));
  EXPECT_TRUE(wait_returns_within(queue, kPromptly));
  expect_pop(queue, body(3, 1));
  expect_pop(queue, body(4, 2));
}

TEST(SensorQueueWait, PushAfterAPopWithTooSmallABufferEndsTheNextWait) {
  SensorQueue queue(64);
  deliver_one_record(queue);
  push(queue, body(30, 1));  // no pop since the last signal: no new signal needed
  uint8_t small[8];
  ASSERT_EQ(queue.pop(small, sizeof small), -1);
  push(queue, body(3, 2));
  EXPECT_TRUE(wait_returns_within(queue, kPromptly));
}

TEST(SensorQueueWait, RecordsBehindAnEmptyBodyDoNotWaitForAnotherPush) {
  SensorQueue queue(64);
  deliver_one_record(queue);
  push(queue, body(0, 0));  // no pop since the last signal: no new signal needed
  push(queue, body(5, 3));
  uint8_t out[8];
  ASSERT_EQ(queue.pop(out, sizeof out), 0);  // the empty body
  EXPECT_TRUE(wait_returns_within(queue, kPromptly));
  expect_pop(queue, body(5, 3));
}

TEST(SensorQueueWait, StopSignalGivenBeforeTheWaitEndsIt) {
  SensorQueue queue(64);
  expect_empty(queue);
  EXPECT_EQ(queue.signal_data_ready(), 0);
  EXPECT_TRUE(wait_returns_within(queue, kPromptly));
}

SensorQueue* queue_for_hook = nullptr;
void push_from_hook(kx::sys::pthread_cond_t*) {
  kx::sys::cond_wait_after_release_hook = nullptr;
  uint8_t byte = 42;
  queue_for_hook->push(&byte, 1);
}

TEST(SensorQueueWait, PushBetweenReleaseAndPlatformWaitEndsTheWait) {
  SensorQueue queue(64);
  expect_empty(queue);
  queue_for_hook = &queue;
  kx::sys::cond_wait_after_release_hook = push_from_hook;
  bool in_time = wait_returns_within(queue, kPromptly);
  kx::sys::cond_wait_after_release_hook = nullptr;
  EXPECT_TRUE(in_time);
  expect_pop(queue, Bytes{42});
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
  uint32_t last = 0, received = 0;
  bool intact = true, done_seen = false;
  uint8_t out[64];
  for (;;) {
    int length = queue.pop(out, sizeof out);
    if (length == 0) {
      // Once done is seen, one more pop collects whatever came after the empty one.
      if (done_seen) break;
      if (done) {
        done_seen = true;
      } else {
        queue.wait_for_data();
      }
      continue;
    }
    uint32_t n = kx::wire::load_be32(out);
    intact = intact && n > last && static_cast<uint32_t>(length) == 4 + n % 37;
    for (int i = 4; i < length; ++i) intact = intact && out[i] == static_cast<uint8_t>(n + i);
    last = n;
    ++received;
  }
  producer.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(last, kRecords);
  EXPECT_GT(received, 0u);
}

}  // namespace
