#include "agent/run_agent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "agent/executable_path.h"
#include "config/settings.h"
#include "support/fake_capture.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/records.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The run sequence logs to <executable folder>/log/dns-logger.log; each run starts with
// no file there, fresh settings and a fresh capture script.
class RunAgentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    fresh_run("");
    kx::agent::config_path = nullptr;
  }
  void fresh_run(const std::string& config) {
    kx::logging::close_log();
    kx::config::reset_settings();
    kx::agent::reset_stop_request();
    std::filesystem::create_directories(kx::agent::executable_directory() + "/log");
    std::filesystem::remove(log_path);
    kx::test::write_file(config_file, config);
    kx::agent::config_path = config_file.c_str();
    script = std::make_unique<kx::test::CaptureScript>();
  }
  int run() {
    return kx::agent::run_agent([this](const kx::config::Config&, const std::string&) {
      return std::make_unique<kx::test::FakeCapture>(*script);
    });
  }
  std::future<int> start() {
    return std::async(std::launch::async, [this] { return run(); });
  }
  bool started() {
    return kx::test::wait_until([&] { return script->starts > 0; }, 5s);
  }
  Lines messages() { return kx::test::log_messages(log_path); }
  // The lines of a run up to the capture's start.
  static Lines start_lines() {
    return {"agent version 3.7.3", "Changing directory to: " + kx::agent::executable_directory(),
            "Starting...", "Starting sensor queue processor", kx::agent::capture_start_line()};
  }

  kx::test::TempDir dir;
  std::string log_path = kx::agent::executable_directory() + "/log/dns-logger.log";
  std::string config_file = dir.file("agent.conf");
  std::unique_ptr<kx::test::CaptureScript> script;
};

// A stop request ends the run, also one made before the run waits for it (a service stop
// during start-up); only the exact value "on" turns the log on.
TEST_F(RunAgentTest, StopRequestEndsTheRunWithItsLinesInOrder) {
  Lines all = start_lines();
  all.insert(all.end(), {"Started!", "Stopping...", "Stopping all sessions", "Stopping sensor queue processor",
                         "Statistics: captured=0 skipped=0 queued=0 overwritten=0 overwritten_bytes=0 "
                         "refused=0 in_queue=0 sent=0 resent=0 connects=0 connect_failures=0 "
                         "send_failures=0 capture_dropped=0",
                         "Stopped!"});
  const struct { const char* logging; bool stop_first; } cases[] = {
      {"on", false}, {"on", true}, {"ON", false}, {"On", false}, {"yes", false}, {"on now", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.logging) + (c.stop_first ? ", stop requested first" : ""));
    fresh_run(std::string("logging ") + c.logging + "\nqueue-size 65536\n");
    if (c.stop_first) kx::agent::request_stop();
    std::future<int> status = start();
    EXPECT_TRUE(started());
    if (!c.stop_first) kx::agent::request_stop();
    const bool ended = status.wait_for(5s) == std::future_status::ready;
    if (!ended) kx::agent::request_stop();  // keep the test from hanging
    EXPECT_EQ(status.get(), 0);
    EXPECT_TRUE(ended) << "the stop request was forgotten";
    EXPECT_EQ(messages(), std::string(c.logging) == "on" ? all : Lines{});
    EXPECT_EQ(script->starts.load(), 1);
    EXPECT_EQ(script->stops.load(), 1);
  }
}

// A capture that cannot start ends the run with status 1 and its message in the open log,
// not on standard error.
TEST_F(RunAgentTest, FailedStartReturnsOneWithItsMessageInTheLog) {
  const std::string no_thread = "pthread_create() failed: no threads left";
  Lines logged = start_lines();
  logged.push_back("ERROR - Run failure: " + no_thread);
  fresh_run("logging on\n");
  script->start_failure = no_thread;
  testing::internal::CaptureStderr();
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(messages(), logged);
}

// A capture that fails forwards what was queued, then ends the run as a failure; without
// a reachable target the forwarding is given up after the first target's time-out.
TEST_F(RunAgentTest, CaptureFailureForwardsTheQueueThenEndsTheRunWithStatusOne) {
  const kx::test::Bytes message = kx::test::message_body(1, "10.0.0.5");
  for (bool reachable : {true, false}) {
    SCOPED_TRACE(reachable ? "collector listening" : "collector refusing");
    kx::test::LoopbackListener listener;
    kx::test::DeadPort refusing;
    fresh_run("logging on\ntarget 127.0.0.1:" + std::to_string(reachable ? listener.port() : refusing.port()) +
              " 1\n");
    std::future<int> status = start();
    ASSERT_TRUE(started());
    if (reachable) {
      EXPECT_TRUE(listener.wait_for_bytes(0, 10, 10000ms)) << "no hello";
    }
    for (int i = 0; i < 3; ++i) script->deliver(message);
    const auto failed_at = std::chrono::steady_clock::now();
    script->fail("pcap_activate(nosuch0) failed: No such device exists");
    EXPECT_EQ(status.get(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - failed_at, 5s);
    if (reachable) {
      // The listener reads on a thread of its own: every byte is in once it has seen the close.
      EXPECT_TRUE(listener.wait_for_close(0, 5000ms));
      EXPECT_EQ(listener.received(0).size(), 10 + 3 * (4 + message.size()));
    }
    const Lines lines = messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"Stopped!", "ERROR - Run failure: capture failed: pcap_activate(nosuch0) failed: "
                                 "No such device exists"}));
  }
}

// The final report accounts for every message: the queued one never sent is lost at the
// stop, with the refused one and those the capture dropped.
TEST_F(RunAgentTest, MessagesFromTheCaptureGoIntoTheQueueAndTheStopAccountsForThem) {
  fresh_run("logging on\nqueue-size 100\n");
  script->dropped = 3;
  std::future<int> status = start();
  ASSERT_TRUE(started());
  EXPECT_EQ(script->deliver(kx::test::message_body(1, "10.0.0.5")), 0);
  // A message larger than the queue is refused by raising, to the capture's handler.
  EXPECT_ANY_THROW(script->deliver(kx::test::Bytes(200, 2)));
  kx::agent::request_stop();
  EXPECT_EQ(status.get(), 0);
  const Lines lines = messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end() - 1),
            (Lines{"Statistics: captured=2 skipped=0 queued=1 overwritten=0 overwritten_bytes=0 "
                   "refused=1 in_queue=1 sent=0 resent=0 connects=0 connect_failures=0 "
                   "send_failures=0 capture_dropped=3",
                   "ERROR - Lost 5 DNS packet messages since the last report: 0 overwritten in the "
                   "queue, 1 refused, 3 dropped by the capture, 1 left in the queue at stop"}));
}

}  // namespace
