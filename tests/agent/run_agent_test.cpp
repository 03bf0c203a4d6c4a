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
#include "net/wire_format.h"
#include "support/fake_capture.h"
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
      return std::make_unique<kx::test::CaptureHandle>(fake);
    };
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
};

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

TEST_F(RunAgentTest, CaptureStartFailureEndsTheRunAfterStoppingTheProcessor) {
  kx::test::write_file(config_file, "logging on\ntarget 127.0.0.1:1 1\n");
  start_failure = "pthread_create() failed: no threads left";
  kx::agent::run_agent(factory());
  const std::vector<std::string> lines = messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "ERROR - Run failure: pthread_create() failed: no threads left");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Started!"), 0);
}

TEST_F(RunAgentTest, MessagesFromTheCaptureGoIntoTheQueue) {
  kx::test::write_file(config_file, "logging on\nqueue-size 100\n");
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
}

}  // namespace
