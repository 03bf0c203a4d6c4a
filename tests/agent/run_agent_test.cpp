#include "agent/run_agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/executable_path.h"
#include "config/settings.h"
#include "logging/log.h"
#include "wire/wire_format.h"
#include "support/fake_capture.h"
#include "support/loopback.h"
#include "support/test_util.h"

namespace {

using namespace std::chrono_literals;
using kx::test::FakeCapture;

// The run sequence logs to <executable folder>/log/dns-logger.log; each test starts
// with an empty file there and closes the log when it ends.
class RunAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::config::reset_settings();
    kx::agent::reset_stop_request();
    log_dir = kx::agent::executable_directory() + "/log";
    std::filesystem::create_directories(log_dir);
    log_path = log_dir + "/dns-logger.log";
    std::filesystem::remove(log_path);
    config_file = dir.file("agent.conf");
    kx::agent::config_path = config_file.c_str();
  }
  void TearDown() override {
    kx::logging::close_log();
    kx::agent::config_path = nullptr;
    kx::agent::reset_stop_request();
    std::filesystem::remove(log_path);
  }

  kx::agent::CaptureFactory factory() {
    return [this](const kx::config::Config&, const std::string&) {
      fake.start_failure = start_failure;
      ++captures_made;
      return std::make_unique<kx::test::CaptureHandle>(fake);
    };
  }

  // Runs the agent on a thread until "Started!" is logged, then asks it to stop.
  void run_until_started_then_stop() {
    std::thread runner([this] { status = kx::agent::run_agent(factory()); });
    ASSERT_TRUE(wait_for_log_line("Started!")) << kx::test::read_file(log_path);
    kx::agent::request_stop();
    runner.join();
  }

  // Without a log there is no "Started!" to wait for: wait until the capture started.
  void run_until_started_then_stop_without_log() {
    const int starts_before = fake.starts();
    std::thread runner([this] { kx::agent::run_agent(factory()); });
    for (int i = 0; i < 500 && fake.starts() == starts_before; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    kx::agent::request_stop();
    runner.join();
  }

  bool wait_for_log_line(const std::string& message) {
    for (int i = 0; i < 500; ++i) {
      if (kx::test::read_file(log_path).find("]: " + message) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // The messages of the log, without their time and process prefix.
  std::vector<std::string> messages() {
    std::vector<std::string> result;
    for (std::string line : kx::test::split_lines(kx::test::read_file(log_path))) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t cut = line.find("]: ");
      if (cut != std::string::npos) result.push_back(line.substr(cut + 3));
    }
    return result;
  }

  kx::test::TempDir dir;
  std::string log_dir, log_path, config_file;
  std::string start_failure;
  FakeCapture fake;
  std::atomic<int> captures_made{0};
  std::atomic<int> status{-1};
};

TEST_F(RunAgentTest, NormalRunLogsItsLinesInOrderAndStopsTheCapture) {
  kx::test::write_file(config_file, "logging on\nqueue-size 65536\n");
  run_until_started_then_stop();
  const std::vector<std::string> expected = {
      "agent version 3.7.3",
      "Changing directory to: " + kx::agent::executable_directory(),
      "Starting...",
      "Starting sensor queue processor",
      kx::agent::capture_start_line(),
      "Started!",
      "Stopping...",
      "Stopping all sessions",
      "Stopping sensor queue processor",
      "Statistics: captured=0 skipped=0 queued=0 overwritten=0 overwritten_bytes=0 refused=0 "
      "in_queue=0 sent=0 resent=0 connects=0 connect_failures=0 send_failures=0 "
      "capture_dropped=0",
      "Stopped!",
  };
  EXPECT_EQ(messages(), expected);
  EXPECT_EQ(fake.stops(), 1);
  EXPECT_EQ(status.load(), 0);
}

TEST_F(RunAgentTest, StopRequestedBeforeTheWaitStillEndsTheRun) {
  kx::test::write_file(config_file, "logging on\n");
  kx::agent::request_stop();
  std::atomic<bool> returned{false};
  std::thread runner([&] {
    kx::agent::run_agent(factory());
    returned = true;
  });
  for (int i = 0; i < 500 && !returned; ++i) std::this_thread::sleep_for(10ms);
  if (!returned) kx::agent::request_stop();  // keep the test from hanging
  runner.join();
  EXPECT_TRUE(returned.load()) << "the early stop request was forgotten";
  EXPECT_EQ(messages().back(), "Stopped!");
}

// A failed start exits with status 1; its message goes to the log, or to standard error
// when no log is open (the only trace a missing configuration can leave).
TEST_F(RunAgentTest, FailedStartReturnsOneWithItsMessageInTheLogOrOnStandardError) {
  struct Case {
    const char* config;  // nullptr: no configuration file
    const char* start_failure;
    std::string message;
    bool logged;
  };
  const Case cases[] = {
      {nullptr, "", "fopen(/nonexistent/agent.conf) failed: ", false},
      {"logging on\ntarget 127.0.0.1:1 1\n", "pthread_create() failed: no threads left",
       "pthread_create() failed: no threads left", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    kx::config::reset_settings();
    kx::logging::close_log();
    std::filesystem::remove(log_path);
    if (c.config != nullptr) kx::test::write_file(config_file, c.config);
    kx::agent::config_path = c.config != nullptr ? config_file.c_str() : "/nonexistent/agent.conf";
    start_failure = c.start_failure;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kx::agent::run_agent(factory()), 1);
    const std::string standard_error = testing::internal::GetCapturedStderr();
    const std::string line = "ERROR - Run failure: " + c.message;
    if (c.logged) {
      const std::vector<std::string> lines = messages();
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), line);
      EXPECT_EQ(std::count(lines.begin(), lines.end(), "Started!"), 0);
      EXPECT_EQ(standard_error, "");
    } else {
      EXPECT_EQ(standard_error.rfind(line, 0), 0u) << standard_error;
      EXPECT_EQ(standard_error.back(), '\n');
      EXPECT_FALSE(std::filesystem::exists(log_path));
    }
  }
}

// A capture that fails forwards what was queued, then ends the run as a failure; without
// a reachable target the forwarding is given up after the first target's time-out.
TEST_F(RunAgentTest, CaptureFailureForwardsTheQueueThenEndsTheRunWithStatusOne) {
  for (bool reachable : {true, false}) {
    SCOPED_TRACE(reachable ? "collector listening" : "collector refusing");
    kx::config::reset_settings();
    kx::logging::close_log();
    std::filesystem::remove(log_path);
    kx::test::LoopbackListener listener;
    kx::test::DeadPort refusing;
    const uint16_t port = reachable ? listener.port() : refusing.port();
    kx::test::write_file(config_file, "logging on\ntarget 127.0.0.1:" + std::to_string(port) + " 1\n");
    std::thread runner([this] { status = kx::agent::run_agent(factory()); });
    ASSERT_TRUE(wait_for_log_line("Started!"));
    if (reachable) {
      ASSERT_TRUE(listener.wait_for_bytes(0, 10, std::chrono::milliseconds(10000)));
    }
    std::vector<uint8_t> message(kx::wire::dns_message_size(8, 8, 20));
    kx::wire::write_dns_message(message.data(), 1, "10.0.0.5", "10.0.0.1", 0, message.data(), 0);
    for (int i = 0; i < 3; ++i) fake.deliver(message);
    const auto failed_at = std::chrono::steady_clock::now();
    fake.fail("pcap_activate(nosuch0) failed: No such device exists");
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - failed_at, 5s);
    EXPECT_EQ(status.load(), 1);
    if (reachable) {
      EXPECT_EQ(listener.received(0).size(), 10 + 3 * (4 + message.size()));
    }
    const std::vector<std::string> lines = messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Stopped!");
    EXPECT_EQ(lines.back(),
              "ERROR - Run failure: capture failed: pcap_activate(nosuch0) failed: No such device exists");
    kx::agent::reset_stop_request();
  }
}

TEST_F(RunAgentTest, LoggingValueOtherThanLowerCaseOnWritesNoLog) {
  for (const char* value : {"ON", "yes", "on now", "On"}) {
    kx::agent::reset_stop_request();
    kx::config::reset_settings();
    kx::test::write_file(config_file, std::string("logging ") + value + "\n");
    run_until_started_then_stop_without_log();
    EXPECT_FALSE(std::filesystem::exists(log_path)) << value;
  }
}

// The final report accounts for every message: the queued one never sent is lost at the
// stop, with the refused one and those the capture dropped.
TEST_F(RunAgentTest, MessagesFromTheCaptureGoIntoTheQueueAndTheStopAccountsForThem) {
  kx::test::write_file(config_file, "logging on\nqueue-size 100\n");
  fake.dropped = 3;
  std::thread runner([this] { kx::agent::run_agent(factory()); });
  ASSERT_TRUE(wait_for_log_line("Started!"));
  ASSERT_TRUE(fake.has_handler());
  std::vector<uint8_t> message(kx::wire::dns_message_size(8, 8, 20));
  kx::wire::write_dns_message(message.data(), 1, "10.0.0.5", "10.0.0.1", 0, message.data(), 0);
  EXPECT_EQ(fake.deliver(message), 0);
  // A message larger than the queue is refused by raising, to the capture's handler.
  std::vector<uint8_t> too_large(200, 2);
  EXPECT_ANY_THROW(fake.deliver(too_large));
  kx::agent::request_stop();
  runner.join();
  EXPECT_EQ(fake.starts(), 1);
  const std::vector<std::string> lines = messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3],
            "Statistics: captured=2 skipped=0 queued=1 overwritten=0 overwritten_bytes=0 "
            "refused=1 in_queue=1 sent=0 resent=0 connects=0 connect_failures=0 "
            "send_failures=0 capture_dropped=3");
  EXPECT_EQ(lines[lines.size() - 2],
            "ERROR - Lost 5 DNS packet messages since the last report: 0 overwritten in the "
            "queue, 1 refused, 3 dropped by the capture, 1 left in the queue at stop");
}

}  // namespace
