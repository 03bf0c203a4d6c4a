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
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

std::vector<uint8_t> dns_message() {
  std::vector<uint8_t> message(kx::wire::dns_message_size(8, 8, 20));
  kx::wire::write_dns_message(message.data(), 1, "10.0.0.5", "10.0.0.1", 0, message.data(), 0);
  return message;
}

// The run sequence logs to <executable folder>/log/dns-logger.log; each case starts
// with no file there and fresh settings.
class RunAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(kx::agent::executable_directory() + "/log");
    fresh_run();
  }
  void TearDown() override {
    kx::logging::close_log();
    kx::agent::config_path = nullptr;
    kx::agent::reset_stop_request();
    std::filesystem::remove(log_path);
  }
  void fresh_run(const std::string& config = "") {
    kx::logging::close_log();
    kx::config::reset_settings();
    kx::agent::reset_stop_request();
    std::filesystem::remove(log_path);
    kx::test::write_file(config_file, config);
    kx::agent::config_path = config_file.c_str();
  }
  kx::agent::CaptureFactory factory() {
    return [this](const kx::config::Config&, const std::string&) {
      fake.start_failure = start_failure;
      return std::make_unique<kx::test::CaptureHandle>(fake);
    };
  }
  std::thread start() {
    return std::thread([this] { status = kx::agent::run_agent(factory()); });
  }
  bool logged(const std::string& message) {
    return kx::test::wait_until(
        [&] { return kx::test::read_file(log_path).find("]: " + message) != std::string::npos; }, 5s);
  }
  // The messages of the log, without their time and process prefix.
  Lines messages() {
    Lines result;
    for (std::string line : kx::test::split_lines(kx::test::read_file(log_path))) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t cut = line.find("]: ");
      if (cut != std::string::npos) result.push_back(line.substr(cut + 3));
    }
    return result;
  }

  kx::test::TempDir dir;
  std::string log_path = kx::agent::executable_directory() + "/log/dns-logger.log";
  std::string config_file = dir.file("agent.conf");
  std::string start_failure;
  kx::test::FakeCapture fake;
  std::atomic<int> status{-1};
};

TEST_F(RunAgentTest, NormalRunLogsItsLinesInOrderAndStopsTheCapture) {
  fresh_run("logging on\nqueue-size 65536\n");
  std::thread runner = start();
  ASSERT_TRUE(logged("Started!")) << kx::test::read_file(log_path);
  kx::agent::request_stop();
  runner.join();
  const Lines expected = {
      "agent version 3.7.3", "Changing directory to: " + kx::agent::executable_directory(),
      "Starting...", "Starting sensor queue processor", kx::agent::capture_start_line(),
      "Started!", "Stopping...", "Stopping all sessions", "Stopping sensor queue processor",
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
  fresh_run("logging on\n");
  kx::agent::request_stop();
  std::thread runner = start();
  const bool returned = kx::test::wait_until([&] { return status.load() != -1; }, 5s);
  if (!returned) kx::agent::request_stop();  // keep the test from hanging
  runner.join();
  EXPECT_TRUE(returned) << "the early stop request was forgotten";
  EXPECT_EQ(messages().back(), "Stopped!");
}

// A failed start exits with status 1; its message goes to the log, or to standard error
// when no log is open (the only trace a missing configuration can leave).
TEST_F(RunAgentTest, FailedStartReturnsOneWithItsMessageInTheLogOrOnStandardError) {
  const struct {
    const char* config;  // nullptr: no configuration file
    const char* start_failure;
    std::string message;
  } cases[] = {
      {nullptr, "", "fopen(/nonexistent/agent.conf) failed: "},
      {"logging on\ntarget 127.0.0.1:1 1\n", "pthread_create() failed: no threads left",
       "pthread_create() failed: no threads left"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fresh_run(c.config != nullptr ? c.config : "");
    if (c.config == nullptr) kx::agent::config_path = "/nonexistent/agent.conf";
    start_failure = c.start_failure;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kx::agent::run_agent(factory()), 1);
    const std::string standard_error = testing::internal::GetCapturedStderr();
    const std::string line = "ERROR - Run failure: " + c.message;
    if (c.config != nullptr) {
      const Lines lines = messages();
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
    kx::test::LoopbackListener listener;
    kx::test::DeadPort refusing;
    const uint16_t port = reachable ? listener.port() : refusing.port();
    fresh_run("logging on\ntarget 127.0.0.1:" + std::to_string(port) + " 1\n");
    std::thread runner = start();
    ASSERT_TRUE(logged("Started!"));
    if (reachable) { ASSERT_TRUE(listener.wait_for_bytes(0, 10, 10000ms)); }
    const std::vector<uint8_t> message = dns_message();
    for (int i = 0; i < 3; ++i) fake.deliver(message);
    const auto failed_at = std::chrono::steady_clock::now();
    fake.fail("pcap_activate(nosuch0) failed: No such device exists");
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - failed_at, 5s);
    EXPECT_EQ(status.load(), 1);
    if (reachable) { EXPECT_EQ(listener.received(0).size(), 10 + 3 * (4 + message.size())); }
    const Lines lines = messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Stopped!");
    EXPECT_EQ(lines.back(),
              "ERROR - Run failure: capture failed: pcap_activate(nosuch0) failed: No such device exists");
  }
}

TEST_F(RunAgentTest, LoggingValueOtherThanLowerCaseOnWritesNoLog) {
  for (const char* value : {"ON", "yes", "on now", "On"}) {
    fresh_run(std::string("logging ") + value + "\n");
    const int starts_before = fake.starts();
    std::thread runner = start();
    EXPECT_TRUE(kx::test::wait_until([&] { return fake.starts() > starts_before; }, 5s));
    kx::agent::request_stop();
    runner.join();
    EXPECT_FALSE(std::filesystem::exists(log_path)) << value;
  }
}

// The final report accounts for every message: the queued one never sent is lost at the
// stop, with the refused one and those the capture dropped.
TEST_F(RunAgentTest, MessagesFromTheCaptureGoIntoTheQueueAndTheStopAccountsForThem) {
  fresh_run("logging on\nqueue-size 100\n");
  fake.dropped = 3;
  std::thread runner = start();
  ASSERT_TRUE(logged("Started!"));
  ASSERT_TRUE(fake.has_handler());
  EXPECT_EQ(fake.deliver(dns_message()), 0);
  // A message larger than the queue is refused by raising, to the capture's handler.
  EXPECT_ANY_THROW(fake.deliver(std::vector<uint8_t>(200, 2)));
  kx::agent::request_stop();
  runner.join();
  EXPECT_EQ(fake.starts(), 1);
  const Lines lines = messages();
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
