#include "net/sensor_queue_processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/records.h"
#include "support/wait.h"
#include "sys/threads.h"

namespace {

using kx::net::ProcessorOptions;
using kx::test::LoopbackListener;
using Counts = std::vector<uint64_t>;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

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

// The log of a connection to port, and of its failure when one is given.
Lines connected(uint16_t port, const std::string& failure = "") {
  Lines lines{"Connecting to " + at(port), "Connected to " + at(port)};
  if (!failure.empty()) lines.push_back("ERROR - Send data to " + at(port) + " failed: " + failure);
  return lines;
}

// An expected line ending in '*' only has to begin the logged one: the rest is the
// system's text, which differs between the platforms.
void expect_lines(Lines logged, const Lines& expected) {
  for (size_t i = 0; i < logged.size() && i < expected.size(); ++i) {
    if (expected[i].back() == '*') logged[i] = logged[i].substr(0, expected[i].size() - 1) + "*";
  }
  EXPECT_EQ(logged, expected);
}

// A processor with a queue, watched sockets and 200 ms pauses of its own, forwarding to the
// given loopback ports, then to a collector of its own; the log outlives the thread.
struct Forwarder {
  Forwarder(uint32_t queue_size, ProcessorOptions options, std::vector<uint16_t> ports = {})
      : queue(queue_size), processor(queue, targets, watched(options)) {
    ports.push_back(collector.port());
    for (uint16_t port : ports) targets.push_back(kx::config::Target{"127.0.0.1", port, 5});
  }
  ProcessorOptions watched(ProcessorOptions options) {
    options.pause_step = 20ms;
    options.sockets = &sockets;
    return options;
  }
  // Queues the body of a framed record.
  void push(const std::string& framed) {
    queue.push(reinterpret_cast<const uint8_t*>(framed.data()) + 4,
               static_cast<uint32_t>(framed.size() - 4));
  }
  // sent, resent, connects, connect_failures, send_failures, held, once it is checked that
  // the books balance: every record queued is sent, overwritten, still queued or held.
  Counts counts() {
    const kx::net::ForwardingCounts& c = processor.counts();
    const kx::sensor::QueueCounts q = queue.counts();
    EXPECT_EQ(q.queued, c.sent.value() + q.overwritten + q.in_queue + c.held.value());
    return {c.sent.value(),          c.resent.value(),        c.connects.value(),
            c.connect_failures.value(), c.send_failures.value(), c.held.value()};
  }

  kx::test::LogCapture log;
  LoopbackListener collector;
  kx::test::WatchedSockets sockets;
  kx::sensor::SensorQueue queue;
  std::vector<kx::config::Target> targets;
  kx::net::SensorQueueProcessor processor;
};

// The allocations, over malloc and realloc from the processor's first, until the one that
// fails: 1 the hello, 2 the first send buffer, 3 its first doubling.
std::atomic<int> allocations_left{0};

bool allocation_fails() {
  if (--allocations_left != 0) return false;
  errno = ENOMEM;
  return true;
}

ProcessorOptions failing_on(int allocation) {
  allocations_left = allocation;
  ProcessorOptions options;
  options.allocator = {
      [](size_t size) { return allocation_fails() ? nullptr : std::malloc(size); },
      [](void* block, size_t size) { return allocation_fails() ? nullptr : std::realloc(block, size); },
      std::free};
  return options;
}

// A collector gone while the processor waits is noticed when the next push wakes it,
// before the record leaves the ring; the next pass starts again with the first target. A
// reset reads as its text or, where the peek reports it as the stream's end (wine), a close.
TEST(SensorQueueProcessor, FailsOverInListOrderAndNoticesACollectorGoneWhileIdle) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    kx::test::DeadPort refusing;
    ProcessorOptions options;
    options.short_connection = 0ms;
    Forwarder forwarder(65536, options, {refusing.port()});
    LoopbackListener& collector = forwarder.collector;
    const std::string first = frame(100, 'a');
    const std::string second = frame(200, 'b');
    collector.close_after(0, kHello.size() + first.size(), reset);
    forwarder.push(first);
    // Taking the push's signal here makes the processor's wait after the first record
    // last until the next push, so that it cannot pop that push before it looks.
    forwarder.queue.wait_for_data();
    static std::atomic<int> waits;
    waits = 0;
    kx::sys::cond_wait_after_release_hook = [](kx::sys::pthread_cond_t*) { ++waits; };
    forwarder.processor.start();
    // The push is a fair trial only once the processor's socket has the collector's close
    // to report and the processor waits.
    ASSERT_TRUE(collector.wait_for_bytes(0, kHello.size() + first.size(), 10s));
    ASSERT_TRUE(forwarder.sockets.wait_until_peer_gone(10s));
    ASSERT_TRUE(kx::test::wait_until([] { return waits > 0; }));
    forwarder.push(second);
    ASSERT_TRUE(collector.wait_for_bytes(1, kHello.size() + second.size(), 10s));
    forwarder.processor.stop();
    kx::sys::cond_wait_after_release_hook = nullptr;

    EXPECT_EQ(collector.received(1), kHello + second);
    EXPECT_EQ(forwarder.counts(), (Counts{2, 0, 2, 2, 1, 0}));
    const std::string refused = at(refusing.port());
    const Lines pass = Lines{"Connecting to " + refused, "ERROR - Connect to " + refused +
                             " failed: connect(127.0.0.1) failed: *"} + connected(collector.port());
    const std::string failure = reset ? "*" : "socket closed";
    expect_lines(forwarder.log.messages(), pass + Lines{"ERROR - Send data to " + at(collector.port()) +
                                                        " failed: send() failed: " + failure} + pass);
  }
}

// A target whose connection fails early (reset soon after the hello) is skipped once by the
// next pass, so it cannot starve the targets behind it.
TEST(SensorQueueProcessor, TargetWhoseConnectionFailsEarlyIsSkippedOnceByTheNextPass) {
  LoopbackListener resetting;
  resetting.close_after(0, kHello.size(), true);
  Forwarder forwarder(65536, ProcessorOptions(), {resetting.port()});
  forwarder.processor.start();
  ASSERT_TRUE(resetting.wait_for_close(0, 10s));
  std::this_thread::sleep_for(50ms);  // the reset reaches the processor's socket
  const std::string record = frame(100, 'z');
  forwarder.push(record);
  ASSERT_TRUE(forwarder.collector.wait_for_bytes(0, kHello.size() + record.size(), 10s));
  forwarder.processor.stop();

  EXPECT_EQ(forwarder.collector.received(0), kHello + record);
  expect_lines(forwarder.log.messages(),
               connected(resetting.port(), "send() failed: *") + connected(forwarder.collector.port()));
}

// A failure cuts a batch: the records the system took whole are not sent again, the one
// the cut fell in, or the next one at a cut between records, is sent whole first on the
// next connection, and the rest of the batch follows in the same send.
TEST(SensorQueueProcessor, BatchCutByAFailureGoesOnFromTheRecordItCut) {
  Forwarder forwarder(65536, ProcessorOptions());
  std::string records[5];
  for (int i = 0; i < 5; ++i) records[i] = frame(100, static_cast<char>('a' + i));
  // Two connections: the hello, then the batch up to the cut, then a reset.
  for (size_t cut : {2 * records[0].size(), records[0].size() + 1}) {
    forwarder.sockets.script("send", {});
    forwarder.sockets.script("send", {kx::net::SocketStatus::done, 0, static_cast<uint32_t>(cut)});
    forwarder.sockets.script("send", {kx::net::SocketStatus::failed, ECONNRESET});
  }
  for (const std::string& record : records) forwarder.push(record);
  forwarder.processor.start();
  const LoopbackListener& collector = forwarder.collector;
  ASSERT_TRUE(collector.wait_for_bytes(2, kHello.size() + 2 * records[0].size(), 10s));
  forwarder.processor.stop();

  EXPECT_EQ(collector.received(2), kHello + records[3] + records[4]);
  // Each socket is closed once; the batch goes in one send after the hello.
  const Lines connect = {"open", "non-blocking", "connect", "wait 1",
                         "send " + std::to_string(kHello.size()) + "@0"};
  EXPECT_EQ(forwarder.sockets.take_calls(),
            (connect + Lines{"send 520@0", "send 312@0", "close"} + connect +
             Lines{"send 312@0", "send 207@0", "close"} + connect + Lines{"send 208@0", "close"}));
  EXPECT_EQ(forwarder.counts(), (Counts{5, 2, 3, 0, 2, 0}));
  const std::string reset = "send() failed: " + kx::test::logged_error_text(ECONNRESET);
  const uint16_t port = collector.port();
  EXPECT_EQ(forwarder.log.messages(), connected(port, reset) + connected(port, reset) + connected(port));
}

// A send blocked by a collector that stopped reading ends on the stop, long before the
// send's time-out of 5 seconds.
TEST(SensorQueueProcessor, StopEndsASendBlockedByACollectorThatStoppedReadingWithinAboutASecond) {
  kx::test::HungListener hung;
  Forwarder forwarder(32 * 1000 * 1000, ProcessorOptions(), {hung.port()});
  for (int i = 0; i < 20; ++i) forwarder.push(frame(1000 * 1000, 'h'));
  forwarder.processor.start();
  ASSERT_TRUE(forwarder.log.wait_for("Connected"));
  std::this_thread::sleep_for(500ms);
  const auto start = std::chrono::steady_clock::now();
  forwarder.processor.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_EQ(forwarder.log.messages(), connected(hung.port(), "stop requested"));
}

// Without its buffers the thread ends at once, and says why; it connects nowhere.
TEST(SensorQueueProcessor, BuffersThatCannotBeAllocatedAtStartEndTheThreadWithAnError) {
  for (const auto& [call, allocation] : {std::pair{1, "malloc(10)"}, std::pair{2, "malloc(4096)"}}) {
    SCOPED_TRACE(allocation);
    Forwarder forwarder(4096, failing_on(call));
    forwarder.processor.start();
    ASSERT_TRUE(forwarder.log.wait_for("ERROR"));
    forwarder.processor.stop();
    EXPECT_EQ(forwarder.log.messages(), Lines{"ERROR - Sensor queue processor failed: " +
                                              std::string(allocation) + " failed: " +
                                              kx::test::logged_errno_text(ENOMEM)});
  }
}

// The send buffer doubles as records need it, up to its largest size; a failed doubling
// is a send failure, tried again after the pause. A record longer than the largest buffer
// is reported once, and the records behind it wait until a push drops it from the ring.
TEST(SensorQueueProcessor, BufferGrowsAsRecordsNeedUpToItsLargestSizeWhichLeavesALongerRecordQueued) {
  ProcessorOptions options = failing_on(3);
  options.max_send_capacity = 8192;
  // Room for the long record and one short one; the second short one overwrites the
  // long record.
  Forwarder forwarder(12000, options);
  const LoopbackListener& collector = forwarder.collector;
  const std::string first = frame(1000, '1');
  const std::string second = frame(1000, '2');
  forwarder.push(frame(10000, 't'));
  forwarder.processor.start();
  ASSERT_TRUE(kx::test::wait_until([&] { return forwarder.log.messages().size() == 6; }));
  forwarder.push(first);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(collector.received(1), kHello);
  forwarder.push(second);
  ASSERT_TRUE(collector.wait_for_bytes(1, kHello.size() + first.size() + second.size(), 10s));
  forwarder.processor.stop();

  EXPECT_EQ(collector.received(0), kHello);
  EXPECT_EQ(collector.received(1), kHello + first + second);
  const std::string no_memory = kx::test::logged_errno_text(ENOMEM);
  EXPECT_EQ(forwarder.log.messages(),
            connected(collector.port(), "realloc(8192) failed: " + no_memory) +
                connected(collector.port(), "record longer than 8188 bytes left in the queue"));
  EXPECT_EQ(forwarder.processor.send_capacity(), 8192);
}

}  // namespace
