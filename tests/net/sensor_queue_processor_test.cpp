#include "net/sensor_queue_processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "sensor/sensor_queue.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/records.h"
#include "sys/threads.h"

namespace {

using kx::net::ProcessorOptions;
using kx::test::LoopbackListener;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(10000);
const std::string kHello = kx::test::text(kx::test::hello_record());

std::string frame(const std::string& body) {
  return kx::test::text(kx::test::record(kx::test::Bytes(body.begin(), body.end())));
}

std::string body_of(size_t size, char seed) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(seed + i * 7 + i / 253);
  return body;
}

std::string address(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

ProcessorOptions short_pauses(kx::net::SocketApi* sockets = nullptr) {
  ProcessorOptions options;
  options.pause_step = milliseconds(20);
  options.sockets = sockets;
  return options;
}

// A processor over a queue of its own, forwarding to collectors on loopback ports.
struct Forwarder {
  Forwarder(uint32_t queue_size, std::initializer_list<uint16_t> ports,
            ProcessorOptions options = short_pauses())
      : queue(queue_size), processor(queue, targets, options) {
    for (uint16_t port : ports) targets.push_back(kx::config::Target{"127.0.0.1", port, 5});
  }
  void push(const std::string& body) {
    queue.push(reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()));
  }

  // The forwarding counts as sent|resent|connects|connect_failures|send_failures|held.
  std::string counts() const {
    const kx::net::ForwardingCounts& c = processor.counts();
    std::string text;
    for (const kx::sys::Counter* n : {&c.sent, &c.resent, &c.connects, &c.connect_failures,
                                      &c.send_failures, &c.held}) {
      text += (text.empty() ? "" : "|") + std::to_string(n->value());
    }
    return text;
  }
  // Every record queued is sent, overwritten, still queued or held for re-sending.
  void expect_books_balance() {
    const kx::sensor::QueueCounts q = queue.counts();
    EXPECT_EQ(q.queued, processor.counts().sent.value() + q.overwritten + q.in_queue +
                            processor.counts().held.value());
  }

  kx::sensor::SensorQueue queue;
  std::vector<kx::config::Target> targets;
  kx::net::SensorQueueProcessor processor;
};

// Allocation calls of which the nth fails, counted over malloc and realloc from the
// processor's first: 1 the hello, 2 the first send buffer, 3 its first doubling.
struct FailingAllocator {
  static inline std::atomic<int> calls{0}, failing_call{0};

  static bool fails() {
    if (++calls != failing_call) return false;
    errno = ENOMEM;
    return true;
  }
  static void* allocate(size_t size) { return fails() ? nullptr : std::malloc(size); }
  static void* reallocate(void* block, size_t size) {
    return fails() ? nullptr : std::realloc(block, size);
  }
  static ProcessorOptions failing_on(int call) {
    calls = 0;
    failing_call = call;
    ProcessorOptions options = short_pauses();
    options.allocator = {allocate, reallocate, std::free};
    return options;
  }
};

// The collector goes away after the first record, while the processor waits for more:
// that is noticed when the next push wakes it, before the record leaves the ring, and the
// next pass starts again with the first target (the connection counts as one that
// streamed normally).
TEST(SensorQueueProcessor, FailsOverInListOrderAndNoticesACollectorGoneWhileIdle) {
  // A reset reads as the reset's text or, where the platform's peek reports it as the
  // end of the stream (wine), as a close.
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    kx::test::LogCapture log;
    kx::test::DeadPort refusing;
    LoopbackListener listener;
    const std::string first = body_of(100, 'a');
    const std::string second = body_of(200, 'b');
    listener.close_after(0, kHello.size() + frame(first).size(), reset);
    kx::test::WatchedSockets sockets;
    ProcessorOptions options = short_pauses(&sockets);
    options.short_connection = milliseconds(0);
    Forwarder forwarder(65536, {refusing.port(), listener.port()}, options);
    forwarder.push(first);
    // Taking the push's signal here makes the processor's wait after the first record
    // last until the next push, so that it cannot pop that push before it looks.
    forwarder.queue.wait_for_data();
    // The look comes after a wait: the processor must be waiting when the push comes, not
    // still returning from the first record's send.
    static std::atomic<int> waits;
    waits = 0;
    kx::sys::cond_wait_after_release_hook = [](kx::sys::pthread_cond_t*) { ++waits; };
    forwarder.processor.start();
    ASSERT_TRUE(listener.wait_for_close(0, kPatience));
    // Only once this side has seen the collector go is the push a fair trial. Socket 0
    // tried the refusing port.
    ASSERT_TRUE(sockets.wait_until_peer_gone(1, kPatience));
    for (int i = 0; i < 1000 && waits == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(waits.load(), 0);
    forwarder.push(second);
    ASSERT_TRUE(listener.wait_for_bytes(1, kHello.size() + frame(second).size(), kPatience));
    forwarder.processor.stop();
    kx::sys::cond_wait_after_release_hook = nullptr;

    EXPECT_EQ(listener.received(0), kHello + frame(first));
    EXPECT_EQ(sockets.sends_on(1), 2u) << "not hello and the record alone";
    EXPECT_EQ(listener.received(1), kHello + frame(second));
    EXPECT_EQ(forwarder.counts(), "2|0|2|2|1|0");
    forwarder.expect_books_balance();
    const Lines lines = log.messages();
    ASSERT_EQ(lines.size(), 9u);
    const std::string refused = address(refusing.port());
    const std::string accepting = address(listener.port());
    for (size_t pass : {0u, 5u}) {
      EXPECT_EQ(lines[pass], "Connecting to " + refused);
      EXPECT_TRUE(starts_with(lines[pass + 1], "ERROR - Connect to " + refused +
                                                   " failed: connect(127.0.0.1) failed: "))
          << lines[pass + 1];
      EXPECT_EQ(lines[pass + 2], "Connecting to " + accepting);
      EXPECT_EQ(lines[pass + 3], "Connected to " + accepting);
    }
    const std::string failure = reset ? "send() failed: " : "send() failed: socket closed";
    EXPECT_TRUE(starts_with(lines[4], "ERROR - Send data to " + accepting + " failed: " + failure))
        << lines[4];
  }
}

// A first target that resets every connection it accepts, or accepts and never reads,
// has the next pass skip it once, so the second target gets the stream after one pause;
// a single such target is tried again after each pause.
TEST(SensorQueueProcessor, TargetWhoseConnectionsFailEarlyIsSkippedOnceByTheNextPass) {
  struct Case {
    const char* name;
    bool hung;    // the first target never reads; otherwise it resets each connection
    bool alone;   // no second target
  };
  for (const Case& c : {Case{"resets", false, false}, Case{"never reads", true, false},
                        Case{"resets, single target", false, true}}) {
    SCOPED_TRACE(c.name);
    kx::test::LogCapture log;
    LoopbackListener resetting;
    for (size_t connection = 0; connection < 4; ++connection) {
      resetting.close_after(connection, kHello.size(), true);
    }
    kx::test::HungListener hung;
    LoopbackListener healthy;
    const uint16_t bad_port = c.hung ? hung.port() : resetting.port();
    std::initializer_list<uint16_t> two = {bad_port, healthy.port()};
    std::initializer_list<uint16_t> one = {bad_port};
    // Records that outgrow what the hung collector's socket buffers take.
    // One pause of a second tells one pause from two.
    ProcessorOptions options = short_pauses();
    options.pause_checks = 1;
    options.pause_step = milliseconds(1000);
    Forwarder forwarder(64 * 1000 * 1000, c.alone ? one : two, options);
    forwarder.targets[0].timeout = 1;
    std::string last;
    for (int i = 0; i < (c.hung ? 20 : 1); ++i) {
      last = body_of(c.hung ? 1000 * 1000 : 100, static_cast<char>('a' + i % 26));
      forwarder.push(last);
    }
    forwarder.processor.start();
    if (!c.hung) {
      // Records keep coming: the next one finds the connection reset.
      ASSERT_TRUE(resetting.wait_for_close(0, kPatience));
      std::this_thread::sleep_for(milliseconds(50));
      last = body_of(100, 'z');
      forwarder.push(last);
    }
    const std::string bad = address(bad_port);
    if (c.alone) {
      ASSERT_TRUE(log.wait_for("ERROR - Send data"));
      const auto failed_at = Clock::now();
      for (int i = 0; i < 1000 && log.messages().size() < 4; ++i) {
        std::this_thread::sleep_for(milliseconds(2));
      }
      EXPECT_LT(Clock::now() - failed_at, milliseconds(1700)) << "more than one pause";
    } else {
      // The records that sat in the failed connection's socket are lost; the newest
      // arrives last.
      const std::string tail = frame(last);
      auto ends_with_newest = [&] {
        const std::string received = healthy.received(0);
        return received.size() >= tail.size() &&
               received.compare(received.size() - tail.size(), std::string::npos, tail) == 0;
      };
      for (int i = 0; i < 1000 && !ends_with_newest(); ++i) std::this_thread::sleep_for(milliseconds(10));
      EXPECT_TRUE(ends_with_newest());
      EXPECT_EQ(healthy.received(0).substr(0, kHello.size()), kHello);
    }
    forwarder.processor.stop();

    const Lines lines = log.messages();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Connecting to " + bad);
    EXPECT_EQ(lines[1], "Connected to " + bad);
    const std::string failure = c.hung ? "select() timed out" : "send() failed: ";
    EXPECT_TRUE(starts_with(lines[2], "ERROR - Send data to " + bad + " failed: " + failure))
        << lines[2];
    EXPECT_EQ(lines[3], "Connecting to " + (c.alone ? bad : address(healthy.port())));
  }
}

TEST(SensorQueueProcessor, RecordCutOffMidwayIsSentWholeFirstOnTheNextConnection) {
  kx::test::LogCapture log;
  // Far more than the socket buffers hold, so the reset lands while the body is sent.
  const std::string large = body_of(16 * 1000 * 1000, 'L');
  const std::string newer = body_of(50, 'n');
  LoopbackListener listener(8192);
  listener.close_after(0, 65536, true);
  Forwarder forwarder(20 * 1000 * 1000, {listener.port()});
  forwarder.push(large);
  forwarder.push(newer);
  forwarder.processor.start();

  const std::string expected = kHello + frame(large) + frame(newer);
  ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), milliseconds(60000)));
  forwarder.processor.stop();

  const std::string cut = listener.received(0);
  EXPECT_GE(cut.size(), 65536u);
  EXPECT_LT(cut.size(), kHello.size() + frame(large).size());
  EXPECT_TRUE(cut == (kHello + frame(large)).substr(0, cut.size()));
  EXPECT_TRUE(listener.received(1) == expected) << "the second connection's bytes differ";
  EXPECT_EQ(forwarder.counts(), "2|1|2|0|1|0");
  // Overflow after the stop: the third 8 MB record overwrites the first of the two
  // that fill the ring, and the books still balance.
  const std::string eight_mb = body_of(8 * 1000 * 1000, 'e');
  for (int i = 0; i < 3; ++i) forwarder.push(eight_mb);
  EXPECT_EQ(forwarder.queue.counts().overwritten, 1u);
  EXPECT_EQ(forwarder.queue.counts().overwritten_bytes, 8000004u);
  forwarder.expect_books_balance();
  const Lines lines = log.messages();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(starts_with(lines[2], "ERROR - Send data to " + address(listener.port()) +
                                        " failed: send() failed: "))
      << lines[2];
}

// A batch cut by a failure: the records the system took whole are not sent again, the
// record the cut fell in (or before) is sent whole first on the next connection, and
// the rest of the batch follows in order.
TEST(SensorQueueProcessor, BatchCutByAFailureGoesOnFromTheRecordItCut) {
  std::vector<std::string> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(frame(body_of(100, static_cast<char>('a' + i))));
  const size_t two_records = kHello.size() + 2 * frames[0].size();
  for (size_t cut : {two_records, two_records + 1, two_records + frames[0].size() - 1}) {
    SCOPED_TRACE(cut);
    kx::test::LogCapture log;
    LoopbackListener listener;
    kx::test::WatchedSockets sockets;
    sockets.cut_after(0, cut);
    Forwarder forwarder(65536, {listener.port()}, short_pauses(&sockets));
    std::string all = kHello;
    for (const std::string& framed : frames) {
      forwarder.push(framed.substr(4));
      all += framed;
    }
    forwarder.processor.start();
    const std::string expected = kHello + frames[2] + frames[3] + frames[4];
    ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), kPatience));
    forwarder.processor.stop();

    EXPECT_EQ(listener.received(0), all.substr(0, cut));
    EXPECT_EQ(listener.received(1), expected);
    EXPECT_EQ(sockets.sends_on(1), 2u);
    EXPECT_EQ(forwarder.counts(), "5|1|2|0|1|0");
    forwarder.expect_books_balance();
    ASSERT_EQ(log.messages().size(), 5u);
    EXPECT_TRUE(starts_with(log.messages()[2], "ERROR - Send data to " +
                                                   address(listener.port()) + " failed: send() failed: "));
  }
}

TEST(SensorQueueProcessor, StopEndsAWaitForDataAtOnceAndAPauseOrABlockedSendWithinAboutASecond) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  // The full 10-second pauses: one forwarder waits for data, the other, without targets,
  // only pauses.
  Forwarder waiting(4096, {listener.port()}, ProcessorOptions());
  Forwarder pausing(4096, {}, ProcessorOptions());
  waiting.processor.start();
  pausing.processor.start();
  ASSERT_TRUE(listener.wait_for_bytes(0, kHello.size(), kPatience));
  std::this_thread::sleep_for(milliseconds(100));

  auto start = Clock::now();
  waiting.processor.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_TRUE(listener.wait_for_close(0, kPatience));
  EXPECT_EQ(listener.received(0), kHello);
  start = Clock::now();
  pausing.processor.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_EQ(log.messages(), (Lines{"Connecting to " + address(listener.port()),
                                   "Connected to " + address(listener.port())}));

  // A collector that stopped reading, and a time-out far longer than a stop may take.
  kx::test::HungListener hung;
  Forwarder sending(32 * 1000 * 1000, {hung.port()}, ProcessorOptions());
  sending.targets[0].timeout = 30;
  for (int i = 0; i < 20; ++i) sending.push(body_of(1000 * 1000, 'h'));
  sending.processor.start();
  std::this_thread::sleep_for(milliseconds(500));
  start = Clock::now();
  sending.processor.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(2500)) << "a stop waited for the send time-out";
  EXPECT_EQ(log.messages().back(),
            "ERROR - Send data to " + address(hung.port()) + " failed: stop requested");
}

// The buffer doubles until a 10000-byte record fits (8192, 16384) and stays so; a failed
// doubling is a send failure, tried again after the pause.
TEST(SensorQueueProcessor, BufferDoublesUntilTheRecordFitsAndFailedGrowthIsASendFailure) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  Forwarder forwarder(65536, {listener.port()}, FailingAllocator::failing_on(3));
  const std::string large = body_of(10000, 'g');
  const std::string small = body_of(10, 's');
  forwarder.push(large);
  forwarder.push(small);
  EXPECT_EQ(forwarder.processor.send_capacity(), 0);
  forwarder.processor.start();
  const std::string expected = kHello + frame(large) + frame(small);
  ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), kPatience));
  forwarder.processor.stop();

  EXPECT_EQ(listener.received(0), kHello);
  EXPECT_EQ(listener.received(1), expected);
  const Lines lines = log.messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "ERROR - Send data to " + address(listener.port()) +
                          " failed: realloc(8192) failed: " + kx::test::logged_errno_text(ENOMEM));
  EXPECT_EQ(forwarder.processor.send_capacity(), 16384);
}

TEST(SensorQueueProcessor, BuffersThatCannotBeAllocatedAtStartEndTheThreadWithAnError) {
  struct Case {
    int failing_call;
    std::string message;
  };
  for (const Case& c : {Case{1, "malloc(10) failed: "}, Case{2, "malloc(4096) failed: "}}) {
    SCOPED_TRACE(c.message);
    kx::test::LogCapture log;
    LoopbackListener listener;
    Forwarder forwarder(4096, {listener.port()}, FailingAllocator::failing_on(c.failing_call));
    forwarder.processor.start();
    ASSERT_TRUE(log.wait_for("ERROR"));
    forwarder.processor.stop();
    EXPECT_EQ(log.messages(), Lines{"ERROR - Sensor queue processor failed: " + c.message +
                                    kx::test::logged_errno_text(ENOMEM)});
    EXPECT_EQ(listener.connection_count(), 0u);
  }
}

TEST(SensorQueueProcessor, RecordLongerThanTheLargestBufferIsReportedOnceAndLeftToTheRing) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  ProcessorOptions options = short_pauses();
  options.max_send_capacity = 8192;
  // Room for the long record and one short one; the second short one overwrites the
  // long record.
  Forwarder forwarder(12000, {listener.port()}, options);
  const std::string first = body_of(1000, '1');
  const std::string second = body_of(1000, '2');
  forwarder.push(body_of(10000, 't'));
  forwarder.processor.start();
  ASSERT_TRUE(log.wait_for("ERROR"));
  forwarder.push(first);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(listener.received(0), kHello);
  forwarder.push(second);
  const std::string expected = kHello + frame(first) + frame(second);
  ASSERT_TRUE(listener.wait_for_bytes(0, expected.size(), kPatience));
  forwarder.processor.stop();

  EXPECT_EQ(listener.received(0), expected);
  EXPECT_EQ(listener.connection_count(), 1u);
  const std::string accepting = address(listener.port());
  EXPECT_EQ(log.messages(),
            (Lines{"Connecting to " + accepting, "Connected to " + accepting,
                   "ERROR - Send data to " + accepting +
                       " failed: record longer than 8188 bytes left in the queue"}));
  EXPECT_EQ(forwarder.processor.send_capacity(), 8192);
}

}  // namespace
