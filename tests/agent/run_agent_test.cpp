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
      return std::make_unique<FakeCapture>(start_failure);
    };
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

}  // namespace
