#include "net/sensor_queue_processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "logging/log.h"
#include "net/socket_api.h"
#include "net/wire_format.h"
#include "sensor/sensor_queue.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace {

using kx::config::Target;
using kx::net::ProcessorOptions;
using kx::net::SensorQueueProcessor;
using kx::sensor::SensorQueue;
using kx::test::LoopbackListener;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(10000);

const std::string kHello("\x00\x00\x00\x06\x01" "3.7.3", 10);

std::string frame(const std::string& body) {
  uint8_t header[4];
  kx::wire::store_be32(header, static_cast<uint32_t>(body.size()));
  return std::string(reinterpret_cast<const char*>(header), 4) + body;
}

std::string body_of(size_t size, char seed) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(seed + i * 7 + i / 253);
  return body;
}

void push(SensorQueue& queue, const std::string& body) {
  queue.push(reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()));
}

Target target_at(uint16_t port) {
  Target target;
  target.ip = "127.0.0.1";
  target.port = port;
  target.timeout = 5;
  return target;
}

ProcessorOptions short_pauses() {
  ProcessorOptions options;
  options.pause_step = milliseconds(20);
  return options;
}

std::string address(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Windows' system texts end in a line break of their own, and its log file turns every
// line feed into CR LF: compare texts without trailing line-break characters.
std::string without_line_break(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string errno_text_of(int code) { return without_line_break(kx::logging::errno_text(code)); }


// Allocation calls that fail on a chosen call, counted from the processor's first.
struct FailingAllocator {
  static inline std::atomic<int> calls{0};
  static inline std::atomic<int> fail_malloc_call{0};   // 1-based; 0: never
  static inline std::atomic<int> fail_realloc_call{0};  // 1-based; 0: never
  static inline std::atomic<int> reallocs{0};

  static void* allocate(size_t size) {
    if (++calls == fail_malloc_call) {
      errno = ENOMEM;
      return nullptr;
    }
    return std::malloc(size);
  }
  static void* reallocate(void* block, size_t size) {
    if (++reallocs == fail_realloc_call) {
      errno = ENOMEM;
      return nullptr;
    }
    return std::realloc(block, size);
  }
  static kx::net::Allocator failing_on(int malloc_call, int realloc_call) {
    calls = 0;
    reallocs = 0;
    fail_malloc_call = malloc_call;
    fail_realloc_call = realloc_call;
    return {allocate, reallocate, std::free};
  }
};

// The platform's socket calls, watched: the sockets opened, in order, the sends made on
// each, and a look at the first one's peer from the test's own thread.
class WatchedSockets : public kx::net::SocketApi {
 public:
  using SocketHandle = kx::net::SocketHandle;
  using SocketStatus = kx::net::SocketStatus;

  size_t sends_on(size_t socket) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket < sends_.size() ? sends_[socket] : 0;
  }
  size_t peer_looks() const { return peer_looks_; }

  // Waits until the first socket has the peer's close or reset to report. Only looks:
  // reading the reset would take it away from the processor.
  bool wait_until_first_peer_gone(milliseconds timeout) {
    SocketHandle first = first_socket();
    return first != kx::net::kInvalidSocket && kx::test::wait_readable(first, timeout);
  }

  SocketHandle open_tcp(int32_t* error) override {
    SocketHandle sock = real().open_tcp(error);
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(sock);
    sends_.push_back(0);
    return sock;
  }
  SocketStatus set_non_blocking(SocketHandle s, int32_t* error) override {
    return real().set_non_blocking(s, error);
  }
  SocketStatus start_connect(SocketHandle s, const char* ip, uint16_t port,
                             int32_t* error) override {
    return real().start_connect(s, ip, port, error);
  }
  SocketStatus wait_writable(SocketHandle s, uint32_t seconds, int32_t* error) override {
    return real().wait_writable(s, seconds, error);
  }
  SocketStatus pending_error(SocketHandle s, int32_t* pending, int32_t* error) override {
    return real().pending_error(s, pending, error);
  }
  SocketStatus send(SocketHandle s, const uint8_t* data, uint32_t length, uint32_t* sent,
                    int32_t* error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < sockets_.size(); ++i) {
        if (sockets_[i] == s) ++sends_[i];
      }
    }
    return real().send(s, data, length, sent, error);
  }
  kx::net::PeerState peer_state(SocketHandle s, int32_t* error) override {
    ++peer_looks_;
    return real().peer_state(s, error);
  }
  void shutdown_and_close(SocketHandle s) override {
    {
      // A closed handle may be handed out again; it is no longer the one watched.
      std::lock_guard<std::mutex> lock(mutex_);
      for (SocketHandle& sock : sockets_) {
        if (sock == s) sock = kx::net::kInvalidSocket;
      }
    }
    real().shutdown_and_close(s);
  }

 private:
  static kx::net::SocketApi& real() { return kx::net::system_socket_api(); }
  SocketHandle first_socket() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sockets_.empty() ? kx::net::kInvalidSocket : sockets_[0];
  }

  mutable std::mutex mutex_;
  std::vector<SocketHandle> sockets_;
  std::vector<size_t> sends_;
  std::atomic<size_t> peer_looks_{0};
};

class SensorQueueProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::net::init_sockets();
    kx::logging::open_log(log_dir_.file("agent.log").c_str());
  }
  void TearDown() override { kx::logging::close_log(); }

  // The logged messages, without their time and process prefix and without the empty
  // lines that a system text's own line break leaves.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> messages;
    for (const std::string& line :
         kx::test::split_lines(kx::test::read_file(log_dir_.file("agent.log")))) {
      std::string message = without_line_break(line);
      if (message.empty()) continue;
      size_t at = message.find("]: ");
      messages.push_back(at == std::string::npos ? message : message.substr(at + 3));
    }
    return messages;
  }

  bool wait_for_log_lines(size_t count) const {
    const auto deadline = Clock::now() + kPatience;
    while (log_lines().size() < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  }

  kx::test::TempDir log_dir_;
};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(SensorQueueProcessorTest, FailsOverInListOrderAndResendsTheFailedRecordAfterTheNextHello) {
  kx::test::RefusingPort refusing;
  LoopbackListener listener;
  const std::string first = body_of(100, 'a');
  const std::string second = body_of(200, 'b');
  listener.reset_after(0, kHello.size() + frame(first).size());
  SensorQueue queue(65536);
  push(queue, first);
  std::vector<Target> targets = {target_at(refusing.port()), target_at(listener.port())};
  SensorQueueProcessor processor(queue, targets, short_pauses());
  processor.start();

  ASSERT_TRUE(listener.wait_for_close(0, kPatience));
  // The processor finds out about the reset when this push wakes it, before it pops.
  push(queue, second);
  ASSERT_TRUE(listener.wait_for_bytes(1, kHello.size() + frame(second).size(), kPatience));
  processor.stop();

  EXPECT_EQ(listener.received(0), kHello + frame(first));
  EXPECT_EQ(listener.received(1), kHello + frame(second));
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 9u);
  const std::string refused = address(refusing.port());
  const std::string accepting = address(listener.port());
  for (size_t pass : {0u, 5u}) {
    SCOPED_TRACE(pass);
    EXPECT_EQ(lines[pass], "Connecting to " + refused);
    EXPECT_TRUE(starts_with(lines[pass + 1], "ERROR - Connect to " + refused +
                                                 " failed: connect(127.0.0.1) failed: "))
        << lines[pass + 1];
    EXPECT_EQ(lines[pass + 2], "Connecting to " + accepting);
    EXPECT_EQ(lines[pass + 3], "Connected to " + accepting);
  }
  EXPECT_TRUE(starts_with(lines[4], "ERROR - Send data to " + accepting + " failed: send() failed: "))
      << lines[4];
}

TEST_F(SensorQueueProcessorTest, RecordCutOffMidwayIsSentWholeFirstOnTheNextConnection) {
  // Far more than the socket buffers hold, so the reset lands while the body is sent.
  const std::string large = body_of(16 * 1000 * 1000, 'L');
  const std::string newer = body_of(50, 'n');
  LoopbackListener::Options small_window;
  small_window.receive_buffer = 8192;
  LoopbackListener listener(small_window);
  listener.reset_after(0, 65536);
  SensorQueue queue(20 * 1000 * 1000);
  push(queue, large);
  push(queue, newer);
  std::vector<Target> targets = {target_at(listener.port())};
  SensorQueueProcessor processor(queue, targets, short_pauses());
  processor.start();

  const std::string expected = kHello + frame(large) + frame(newer);
  ASSERT_TRUE(listener.wait_for_bytes(1, expected.size(), milliseconds(60000)));
  processor.stop();

  const std::string cut = listener.received(0);
  EXPECT_GE(cut.size(), 65536u);
  EXPECT_LT(cut.size(), kHello.size() + frame(large).size());
  EXPECT_TRUE(cut == (kHello + frame(large)).substr(0, cut.size()));
  EXPECT_TRUE(listener.received(1) == expected) << "the second connection's bytes differ";
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(starts_with(lines[2], "ERROR - Send data to " + address(listener.port()) +
                                        " failed: send() failed: "))
      << lines[2];
}

TEST_F(SensorQueueProcessorTest, CollectorGoneWhileIdleIsNoticedBeforeARecordLeavesTheRing) {
  struct Case {
    const char* name;
    bool reset;
    // The start of the error's message. A reset reads as the reset's text or, where the
    // platform's peek reports it as the end of the stream (wine), as a close.
    std::string failure;
  };
  const Case cases[] = {
      {"orderly close", false, "send() failed: socket closed"},
      {"reset", true, "send() failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx::logging::close_log();
    kx::test::write_file(log_dir_.file("agent.log"), "");
    kx::logging::open_log(log_dir_.file("agent.log").c_str());
    LoopbackListener listener;
    SensorQueue queue(4096);
    std::vector<Target> targets = {target_at(listener.port())};
    WatchedSockets sockets;
    ProcessorOptions options = short_pauses();
    options.sockets = &sockets;
    SensorQueueProcessor processor(queue, targets, options);
    processor.start();
    ASSERT_TRUE(listener.wait_for_bytes(0, kHello.size(), kPatience));
    if (c.reset) {
      listener.reset_after(0, kHello.size());
      ASSERT_TRUE(listener.wait_for_close(0, kPatience));
    } else {
      listener.close_connection(0);
    }
    // Only once this side has seen the collector go is the push a fair trial.
    ASSERT_TRUE(sockets.wait_until_first_peer_gone(kPatience));

    const std::string record = body_of(100, 'r');
    push(queue, record);
    ASSERT_TRUE(listener.wait_for_bytes(1, kHello.size() + frame(record).size(), kPatience));
    processor.stop();

    EXPECT_EQ(sockets.sends_on(0), 1u) << "something after the hello went to the dead connection";
    EXPECT_EQ(listener.received(1), kHello + frame(record));
    const std::vector<std::string> lines = log_lines();
    const std::string accepting = address(listener.port());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(starts_with(lines[2], "ERROR - Send data to " + accepting + " failed: " +
                                          c.failure))
        << lines[2];
    EXPECT_EQ(lines[3], "Connecting to " + accepting);
    EXPECT_EQ(lines[4], "Connected to " + accepting);
  }
}

TEST_F(SensorQueueProcessorTest, RecordsThatFollowEachOtherAreSentWithoutLookingAtThePeer) {
  LoopbackListener listener;
  SensorQueue queue(65536);
  std::string expected = kHello;
  for (int i = 0; i < 50; ++i) {
    const std::string body = body_of(100, static_cast<char>('A' + i % 26));
    push(queue, body);
    expected += frame(body);
  }
  std::vector<Target> targets = {target_at(listener.port())};
  WatchedSockets sockets;
  ProcessorOptions options = short_pauses();
  options.sockets = &sockets;
  SensorQueueProcessor processor(queue, targets, options);
  processor.start();
  ASSERT_TRUE(listener.wait_for_bytes(0, expected.size(), kPatience));
  processor.stop();
  EXPECT_TRUE(listener.received(0) == expected) << "the received bytes differ";
  // One look at most: after the wait that the pushes' signal ends at once.
  EXPECT_LE(sockets.peer_looks(), 1u);
}

TEST_F(SensorQueueProcessorTest, StopWhileWaitingForDataEndsAtOnceAndClosesTheConnection) {
  LoopbackListener listener;
  SensorQueue queue(4096);
  std::vector<Target> targets = {target_at(listener.port())};
  SensorQueueProcessor processor(queue, targets);  // the full 10-second pause
  processor.start();
  ASSERT_TRUE(listener.wait_for_bytes(0, kHello.size(), kPatience));
  std::this_thread::sleep_for(milliseconds(50));

  const auto start = Clock::now();
  processor.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_TRUE(listener.wait_for_close(0, kPatience));
  EXPECT_EQ(listener.received(0), kHello);
}

TEST_F(SensorQueueProcessorTest, StopWithoutTargetsEndsWithinAboutOneSecond) {
  SensorQueue queue(4096);
  std::vector<Target> none;
  SensorQueueProcessor processor(queue, none);
  processor.start();
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = Clock::now();
  processor.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(SensorQueueProcessorTest, LongRecordDoublesTheBufferUntilItFitsAndTheBufferStays) {
  LoopbackListener listener;
  SensorQueue queue(65536);
  const std::string large = body_of(10000, 'x');
  const std::string small = body_of(10, 's');
  push(queue, large);
  push(queue, small);
  std::vector<Target> targets = {target_at(listener.port())};
  SensorQueueProcessor processor(queue, targets, short_pauses());
  EXPECT_EQ(processor.send_capacity(), 0);
  processor.start();
  const std::string expected = kHello + frame(large) + frame(small);
  ASSERT_TRUE(listener.wait_for_bytes(0, expected.size(), kPatience));
  processor.stop();
  EXPECT_EQ(listener.received(0), expected);
  EXPECT_EQ(processor.send_capacity(), 16384);
}

TEST_F(SensorQueueProcessorTest, FailedGrowthIsASendFailureAndIsTriedAgainAfterThePause) {
  LoopbackListener listener;
  SensorQueue queue(65536);
  const std::string large = body_of(10000, 'g');
  push(queue, large);
  std::vector<Target> targets = {target_at(listener.port())};
  ProcessorOptions options = short_pauses();
  options.allocator = FailingAllocator::failing_on(0, 1);
  SensorQueueProcessor processor(queue, targets, options);
  processor.start();
  ASSERT_TRUE(listener.wait_for_bytes(1, kHello.size() + frame(large).size(), kPatience));
  processor.stop();

  EXPECT_EQ(listener.received(0), kHello);
  EXPECT_EQ(listener.received(1), kHello + frame(large));
  const std::vector<std::string> lines = log_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "ERROR - Send data to " + address(listener.port()) +
                          " failed: realloc(8192) failed: " + errno_text_of(ENOMEM));
  EXPECT_EQ(processor.send_capacity(), 16384);
}

TEST_F(SensorQueueProcessorTest, BuffersThatCannotBeAllocatedAtStartEndTheThreadWithAnError) {
  struct Case {
    int failing_call;
    std::string message;
  };
  const Case cases[] = {
      {1, "malloc(10) failed: "},
      {2, "malloc(4096) failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    kx::logging::close_log();
    kx::test::write_file(log_dir_.file("agent.log"), "");
    kx::logging::open_log(log_dir_.file("agent.log").c_str());
    LoopbackListener listener;
    SensorQueue queue(4096);
    std::vector<Target> targets = {target_at(listener.port())};
    ProcessorOptions options = short_pauses();
    options.allocator = FailingAllocator::failing_on(c.failing_call, 0);
    SensorQueueProcessor processor(queue, targets, options);
    processor.start();
    ASSERT_TRUE(wait_for_log_lines(1));
    processor.stop();
    EXPECT_EQ(log_lines(), std::vector<std::string>{"ERROR - Sensor queue processor failed: " +
                                                    c.message + errno_text_of(ENOMEM)});
    EXPECT_EQ(listener.connection_count(), 0u);
  }
}

TEST_F(SensorQueueProcessorTest, RecordLongerThanTheLargestBufferIsReportedOnceAndLeftToTheRing) {
  LoopbackListener listener;
  // Room for the long record and one short one; the second short one overwrites the
  // long record.
  SensorQueue queue(12000);
  const std::string too_long = body_of(10000, 't');
  const std::string first = body_of(1000, '1');
  const std::string second = body_of(1000, '2');
  push(queue, too_long);
  std::vector<Target> targets = {target_at(listener.port())};
  ProcessorOptions options = short_pauses();
  options.max_send_capacity = 8192;
  SensorQueueProcessor processor(queue, targets, options);
  processor.start();
  ASSERT_TRUE(wait_for_log_lines(3));
  push(queue, first);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(listener.received(0), kHello);
  push(queue, second);
  const std::string expected = kHello + frame(first) + frame(second);
  ASSERT_TRUE(listener.wait_for_bytes(0, expected.size(), kPatience));
  processor.stop();

  EXPECT_EQ(listener.received(0), expected);
  EXPECT_EQ(listener.connection_count(), 1u);
  const std::string accepting = address(listener.port());
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{
                "Connecting to " + accepting, "Connected to " + accepting,
                "ERROR - Send data to " + accepting +
                    " failed: record longer than 8192 bytes left in the queue"}));
  EXPECT_EQ(processor.send_capacity(), 8192);
}

}  // namespace
