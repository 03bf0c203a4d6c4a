#include "net/sensor_queue_processor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sensor/sensor_queue.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/records.h"
#include "support/wait.h"
#include "sys/threads.h"

namespace {

using kx::net::ProcessorOptions;
using kx::test::LoopbackListener;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(10000);
const std::string kHello = kx::test::text(kx::test::hello_record());

// A framed record whose body is size bytes that differ from record to record.
std::string frame(size_t size, char seed) {
  kx::test::Bytes body(size);
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(seed + i * 7 + i / 253);
  return kx::test::text(kx::test::record(body));
}

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

Lines operator+(Lines lines, const Lines& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

Lines connected(uint16_t port) { return {"Connecting to " + at(port), "Connected to " + at(port)}; }

// The log of a connection to port that failed with failure, then of the next one.
Lines failed_once(uint16_t port, const std::string& failure) {
  return connected(port) + Lines{"ERROR - Send data to " + at(port) + " failed: " + failure} +
         connected(port);
}

// An expected line ending in '*' only has to begin the logged one: the rest is the
// system's text, which differs between the platforms.
void expect_lines(const Lines& logged, const Lines& expected) {
  std::vector<testing::Matcher<const std::string&>> matchers;
  for (const std::string& line : expected) {
    if (line.back() == '*') {
      matchers.push_back(testing::StartsWith(line.substr(0, line.size() - 1)));
    } else {
      matchers.push_back(line);
    }
  }
  EXPECT_THAT(logged, testing::ElementsAreArray(matchers));
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
  // Queues the body of a framed record.
  void push(const std::string& framed) {
    queue.push(reinterpret_cast<const uint8_t*>(framed.data()) + 4,
               static_cast<uint32_t>(framed.size() - 4));
  }
  // sent|resent|connects|connect_failures|send_failures|held, once it is checked that the
  // books balance: every record queued is sent, overwritten, still queued or held.
  std::string counts() {
    const kx::net::ForwardingCounts& c = processor.counts();
    const kx::sensor::QueueCounts q = queue.counts();
    EXPECT_EQ(q.queued, c.sent.value() + q.overwritten + q.in_queue + c.held.value());
    std::string text;
    for (const kx::sys::Counter* n :
         {&c.sent, &c.resent, &c.connects, &c.connect_failures, &c.send_failures, &c.held}) {
      text += (text.empty() ? "" : "|") + std::to_string(n->value());
    }
    return text;
  }

  kx::sensor::SensorQueue queue;
  std::vector<kx::config::Target> targets;
  kx::net::SensorQueueProcessor processor;
};

// Allocations of which the nth fails, counted over malloc and realloc from the
// processor's first: 1 the hello, 2 the first send buffer, 3 its first doubling.
std::atomic<int> allocations{0};
std::atomic<int> failing_allocation{0};

bool allocation_fails() {
  if (++allocations != failing_allocation) return false;
  errno = ENOMEM;
  return true;
}

ProcessorOptions failing_on(int allocation) {
  allocations = 0;
  failing_allocation = allocation;
  ProcessorOptions options = short_pauses();
  options.allocator = {
      [](size_t size) { return allocation_fails() ? nullptr : std::malloc(size); },
      [](void* block, size_t size) { return allocation_fails() ? nullptr : std::realloc(block, size); },
      std::free};
  return options;
}

// The collector goes away after the first record, while the processor waits for more:
// that is noticed when the next push wakes it, before the record leaves the ring, and the
// next pass starts again with the first target. A reset reads as the reset's text or,
// where the platform's peek reports it as the end of the stream (wine), as a close.
TEST(SensorQueueProcessor, FailsOverInListOrderAndNoticesACollectorGoneWhileIdle) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    kx::test::LogCapture log;
    kx::test::DeadPort refusing;
    LoopbackListener listener;
    const std::string first = frame(100, 'a');
    const std::string second = frame(200, 'b');
    listener.close_after(0, kHello.size() + first.size(), reset);
    kx::test::WatchedSockets sockets;
    ProcessorOptions options = short_pauses(&sockets);
    options.short_connection = milliseconds(0);
    Forwarder forwarder(65536, {refusing.port(), listener.port()}, options);
    forwarder.push(first);
    // Taking the push's signal here makes the processor's wait after the first record
    // last until the next push, so that it cannot pop that push before it looks.
    forwarder.queue.wait_for_data();
    static std::atomic<int> waits;
    waits = 0;
    kx::sys::cond_wait_after_release_hook = [](kx::sys::pthread_cond_t*) { ++waits; };
    forwarder.processor.start();
    // The push is a fair trial only once this side has seen the collector go (socket 0
    // tried the refusing port) and the processor waits.
    ASSERT_TRUE(listener.wait_for_close(0, kPatience));
    ASSERT_TRUE(sockets.wait_until_peer_gone(1, kPatience));
    ASSERT_TRUE(kx::test::wait_until([] { return waits > 0; }));
    forwarder.push(second);
    ASSERT_TRUE(listener.wait_for_bytes(1, kHello.size() + second.size(), kPatience));
    forwarder.processor.stop();
    kx::sys::cond_wait_after_release_hook = nullptr;

    EXPECT_EQ(listener.received(0), kHello + first);
    EXPECT_EQ(listener.received(1), kHello + second);
    EXPECT_EQ(forwarder.counts(), "2|0|2|2|1|0");
    const std::string refused = at(refusing.port());
    const Lines pass = Lines{"Connecting to " + refused, "ERROR - Connect to " + refused +
                             " failed: connect(127.0.0.1) failed: *"} + connected(listener.port());
    const std::string failure = reset ? "*" : "socket closed";
    expect_lines(log.messages(), pass + Lines{"ERROR - Send data to " + at(listener.port()) +
                                              " failed: send() failed: " + failure} + pass);
  }
}

// A first target that resets every connection it accepts, or accepts and never reads,
// has the next pass skip it once, so the second target gets the stream after one pause;
// a single such target is tried again after each pause.
TEST(SensorQueueProcessor, TargetWhoseConnectionsFailEarlyIsSkippedOnceByTheNextPass) {
  struct Case {
    const char* name;
    bool hung;   // the first target never reads; otherwise it resets each connection
    bool alone;  // no second target
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
    const uint16_t bad = c.hung ? hung.port() : resetting.port();
    // One pause of a second tells one pause from two. A send time-out counts as early
    // however long the connection lasted.
    ProcessorOptions options = short_pauses();
    options.pause_checks = 1;
    options.pause_step = milliseconds(1000);
    options.short_connection = milliseconds(c.hung ? 0 : 10000);
    Forwarder forwarder(64 * 1000 * 1000, {bad, healthy.port()}, options);
    if (c.alone) forwarder.targets.pop_back();
    forwarder.targets[0].timeout = 1;
    // Records that outgrow what the hung collector's socket buffers take.
    std::string last;
    for (int i = 0; i < (c.hung ? 20 : 1); ++i) {
      last = frame(c.hung ? 1000 * 1000 : 100, static_cast<char>('a' + i));
      forwarder.push(last);
    }
    forwarder.processor.start();
    if (!c.hung) {
      // Records keep coming: the next one finds the connection reset.
      ASSERT_TRUE(resetting.wait_for_close(0, kPatience));
      std::this_thread::sleep_for(milliseconds(50));
      last = frame(100, 'z');
      forwarder.push(last);
    }
    ASSERT_TRUE(log.wait_for("ERROR - Send data"));
    const auto failed_at = Clock::now();
    ASSERT_TRUE(kx::test::wait_until([&] { return log.messages().size() >= 4; }));
    EXPECT_LT(Clock::now() - failed_at, milliseconds(1700)) << "more than one pause";
    // The records that sat in the failed connection's socket are lost; the newest
    // arrives last.
    const auto newest_last = testing::AllOf(testing::StartsWith(kHello), testing::EndsWith(last));
    EXPECT_TRUE(c.alone || kx::test::wait_until([&] {
                  return testing::Value(healthy.received(0), newest_last);
                })) << "hello first, the newest record last";
    forwarder.processor.stop();

    Lines lines = log.messages();
    lines.resize(4);
    const std::string failure = c.hung ? "select() timed out" : "send() failed: *";
    expect_lines(lines, connected(bad) + Lines{"ERROR - Send data to " + at(bad) + " failed: " + failure,
                                               "Connecting to " + at(c.alone ? bad : healthy.port())});
  }
}

// A failure cuts a batch: the records the system took whole are not sent again, the one
// the cut fell in (or before) is sent whole first on the next connection, and the rest
// of the batch follows in the same send. The cut comes where the socket is watched, or
// from the collector's reset amid a record far larger than the socket buffers.
TEST(SensorQueueProcessor, BatchCutByAFailureGoesOnFromTheRecordItCut) {
  std::vector<std::string> small;
  for (int i = 0; i < 5; ++i) small.push_back(frame(100, static_cast<char>('a' + i)));
  const size_t two = kHello.size() + 2 * small[0].size();
  struct Case {
    size_t cut;  // the bytes the first socket takes; 0: the collector resets it after 64 KiB
    std::vector<std::string> records;
    size_t resent;  // the first record of the second connection
  };
  const Case cases[] = {{two, small, 2}, {two + 1, small, 2}, {two + small[0].size() - 1, small, 2},
                        {0, {frame(16 * 1000 * 1000, 'L'), small[0]}, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cut);
    kx::test::LogCapture log;
    LoopbackListener listener;
    kx::test::WatchedSockets sockets;
    if (c.cut == 0) {
      listener.close_after(0, 65536, true);
    } else {
      // The hello, then the batch up to the cut, then a reset.
      sockets.script("send", {});
      sockets.script("send", {kx::net::SocketStatus::done, 0, static_cast<uint32_t>(c.cut - kHello.size())});
      sockets.script("send", {kx::net::SocketStatus::failed, ECONNRESET});
    }
    Forwarder forwarder(20 * 1000 * 1000, {listener.port()}, short_pauses(&sockets));
    std::string all = kHello;
    std::string expected = kHello;
    for (size_t i = 0; i < c.records.size(); ++i) {
      forwarder.push(c.records[i]);
      all += c.records[i];
      if (i >= c.resent) expected += c.records[i];
    }
    forwarder.processor.start();
    ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), milliseconds(60000)));
    forwarder.processor.stop();

    // Compared without printing: the large record would flood the output.
    const std::string cut = listener.received(0);
    const size_t start = all.size() - expected.size() + kHello.size();
    EXPECT_TRUE(cut.size() >= start && cut.size() < start + c.records[c.resent].size());
    EXPECT_TRUE(cut == all.substr(0, cut.size())) << "the first connection's bytes differ";
    EXPECT_TRUE(listener.received(1) == expected) << "the second connection's bytes differ";
    const Lines calls = sockets.take_calls();
    const auto second = std::find(calls.rbegin(), calls.rend(), "open").base();
    const auto sends = std::count_if(second, calls.end(), [](const std::string& call) {
      return call.compare(0, 4, "send") == 0;
    });
    EXPECT_TRUE(c.cut == 0 || sends == 2) << "not the hello and the rest in one send each";
    EXPECT_EQ(forwarder.counts(), std::to_string(c.records.size()) + "|1|2|0|1|0");
    expect_lines(log.messages(), failed_once(listener.port(), "send() failed: *"));
  }
}

TEST(SensorQueueProcessor, StopEndsAWaitForDataAtOnceAndAPauseOrABlockedSendWithinAboutASecond) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  kx::test::HungListener hung;
  // The full 10-second pauses: one forwarder waits for data, one without targets only
  // pauses, and one sends to a collector that stopped reading, with a time-out far longer
  // than a stop may take.
  Forwarder waiting(4096, {listener.port()}, ProcessorOptions());
  Forwarder pausing(4096, {}, ProcessorOptions());
  Forwarder sending(32 * 1000 * 1000, {hung.port()}, ProcessorOptions());
  sending.targets[0].timeout = 30;
  for (int i = 0; i < 20; ++i) sending.push(frame(1000 * 1000, 'h'));
  for (Forwarder* forwarder : {&waiting, &pausing, &sending}) forwarder->processor.start();
  ASSERT_TRUE(listener.wait_for_bytes(0, kHello.size(), kPatience));
  std::this_thread::sleep_for(milliseconds(500));

  const std::tuple<const char*, Forwarder*, milliseconds> stops[] = {
      {"waiting", &waiting, milliseconds(500)}, {"pausing", &pausing, milliseconds(1500)},
      {"sending", &sending, milliseconds(2500)}};
  for (const auto& [name, forwarder, limit] : stops) {
    const auto start = Clock::now();
    forwarder->processor.stop();
    EXPECT_LT(Clock::now() - start, limit) << name;
  }
  EXPECT_TRUE(listener.wait_for_close(0, kPatience));
  EXPECT_EQ(listener.received(0), kHello);
  EXPECT_THAT(log.messages(), testing::UnorderedElementsAreArray(
                                  connected(listener.port()) + connected(hung.port()) +
                                  Lines{"ERROR - Send data to " + at(hung.port()) +
                                        " failed: stop requested"}));
}

// The buffer doubles until a 10000-byte record fits (8192, 16384) and stays so; a failed
// doubling is a send failure, tried again after the pause.
TEST(SensorQueueProcessor, BufferDoublesUntilTheRecordFitsAndFailedGrowthIsASendFailure) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  Forwarder forwarder(65536, {listener.port()}, failing_on(3));
  const std::string records[] = {frame(10000, 'g'), frame(10, 's')};
  for (const std::string& record : records) forwarder.push(record);
  EXPECT_EQ(forwarder.processor.send_capacity(), 0);
  forwarder.processor.start();
  const std::string expected = kHello + records[0] + records[1];
  ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), kPatience));
  forwarder.processor.stop();

  EXPECT_EQ(listener.received(0), kHello);
  EXPECT_EQ(listener.received(1), expected);
  expect_lines(log.messages(), failed_once(listener.port(), "realloc(8192) failed: " +
                                                                kx::test::logged_errno_text(ENOMEM)));
  EXPECT_EQ(forwarder.processor.send_capacity(), 16384);
}

// Without its buffers the thread ends at once, and says why; it connects nowhere.
TEST(SensorQueueProcessor, BuffersThatCannotBeAllocatedAtStartEndTheThreadWithAnError) {
  for (const auto& [call, allocation] : {std::pair{1, "malloc(10)"}, std::pair{2, "malloc(4096)"}}) {
    SCOPED_TRACE(allocation);
    kx::test::LogCapture log;
    LoopbackListener listener;
    Forwarder forwarder(4096, {listener.port()}, failing_on(call));
    forwarder.processor.start();
    ASSERT_TRUE(log.wait_for("ERROR"));
    forwarder.processor.stop();
    EXPECT_EQ(log.messages(), Lines{"ERROR - Sensor queue processor failed: " + std::string(allocation) +
                                    " failed: " + kx::test::logged_errno_text(ENOMEM)});
  }
}

// Reported once; the records behind it wait until a push drops it from the ring.
TEST(SensorQueueProcessor, RecordLongerThanTheLargestBufferIsReportedOnceAndLeftToTheRing) {
  kx::test::LogCapture log;
  LoopbackListener listener;
  ProcessorOptions options = short_pauses();
  options.max_send_capacity = 8192;
  // Room for the long record and one short one; the second short one overwrites the
  // long record.
  Forwarder forwarder(12000, {listener.port()}, options);
  const std::string first = frame(1000, '1');
  const std::string second = frame(1000, '2');
  forwarder.push(frame(10000, 't'));
  forwarder.processor.start();
  ASSERT_TRUE(log.wait_for("ERROR"));
  forwarder.push(first);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(listener.received(0), kHello);
  forwarder.push(second);
  ASSERT_TRUE(listener.wait_for_bytes(0, kHello.size() + first.size() + second.size(), kPatience));
  forwarder.processor.stop();

  EXPECT_EQ(listener.received(0), kHello + first + second);
  expect_lines(log.messages(), connected(listener.port()) +
                                   Lines{"ERROR - Send data to " + at(listener.port()) +
                                         " failed: record longer than 8188 bytes left in the queue"});
  EXPECT_EQ(forwarder.processor.send_capacity(), 8192);
}

}  // namespace
