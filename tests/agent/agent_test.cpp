#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/capture_source.h"
#include "agent/errors.h"
#include "agent/executable_path.h"
#include "agent/run_agent.h"
#include "agent/service.h"
#include "agent/statistics.h"
#include "config/settings.h"
#include "logging/log.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/records.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using namespace kx::agent;

Statistics losses(uint64_t overwritten, uint64_t refused, uint64_t dropped, uint64_t in_queue) {
  Statistics s;
  std::tie(s.overwritten, s.refused, s.capture_dropped, s.in_queue) =
      std::tie(overwritten, refused, dropped, in_queue);
  return s;
}

TEST(Statistics, LineHoldsEveryKeyInOrderAndThenTheCapturesDetails) {
  const Statistics s = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 18446744073709551615u,
                        " etw_log_file_mode=0x00000100"};
  EXPECT_EQ(statistics_line(s),
            "Statistics: captured=1 skipped=2 queued=3 overwritten=4 overwritten_bytes=5 "
            "refused=6 in_queue=7 sent=8 resent=9 connects=10 connect_failures=11 "
            "send_failures=12 capture_dropped=18446744073709551615 "
            "etw_log_file_mode=0x00000100");
}

TEST(Statistics, LostLineCountsWhatWasLostSinceThePreviousReport) {
  struct Case { const char* name; Statistics previous, now; std::string expected; };
  const Case cases[] = {
      {"records in the ring are no loss while running", losses(5, 1, 2, 9), losses(5, 1, 2, 3), ""},
      {"each cause since the last report", losses(5, 1, 2, 0), losses(15, 3, 32, 4),
       "ERROR - Lost 42 DNS packet messages since the last report: 10 overwritten in the queue, 2 refused, "
       "30 dropped by the capture"},
      {"a reading older than the previous one is no loss", losses(5, 1, 2, 0), losses(4, 1, 2, 0), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lost_line(c.previous, c.now, false), c.expected) << c.name;
  }
}

// The reporter reports at each interval, none with interval 0, and once at the stop;
// each time against the report before it.
TEST(StatisticsReporter, ReportsEveryIntervalAndOnceMoreAtTheStop) {
  const Statistics readings[] = {losses(0, 0, 0, 1), losses(3, 0, 0, 1), losses(3, 0, 0, 2)};
  const struct { int interval; size_t reads; Lines expected; } cases[] = {
      {1, 2,
       {statistics_line(readings[0]), statistics_line(readings[1]), lost_line(readings[0], readings[1], false),
        statistics_line(readings[2]), lost_line(readings[1], readings[2], true)}},
      {0, 0, {statistics_line(readings[0]), lost_line(Statistics(), readings[0], true)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    kx::test::LogCapture log;
    std::atomic<size_t> reads{0};
    StatisticsReporter reporter([&] { return readings[std::min<size_t>(reads++, 2)]; },
                                std::chrono::seconds(c.interval));
    reporter.start();
    kx::test::wait_until([&] { return reads >= std::max<size_t>(c.reads, 1); },
                         c.interval > 0 ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(50));
    reporter.stop();
    ASSERT_EQ(reads.load(), c.reads) << "not one report per interval";
    reporter.report_final();
    EXPECT_EQ(log.messages(), c.expected);
  }
}

// A capture session the run holds by reference, so the test still reads it after the run.
struct FakeCapture {
  std::string start_failure;
  uint64_t dropped = 0;
  std::atomic<uint64_t> delivered{0};
  // The run sets the handlers before start(): once starts is above 0 the test may use them.
  std::atomic<int> starts{0};
  int stops = 0;
  bool started = false;
  kx::sensor::MessageHandler handler = nullptr;
  void* user = nullptr;
  kx::sensor::CaptureFailureHandler failure_handler = nullptr;
  void* failure_user = nullptr;

  std::unique_ptr<CaptureSource> source() { return std::make_unique<SessionCapture<FakeCapture&>>(*this); }
  void set_message_handler(kx::sensor::MessageHandler message_handler, void* message_user) {
    handler = message_handler;
    user = message_user;
  }
  void set_failure_handler(kx::sensor::CaptureFailureHandler on_failure, void* on_failure_user) {
    failure_handler = on_failure;
    failure_user = on_failure_user;
  }
  void start() {
    if (!start_failure.empty()) throw std::runtime_error(start_failure);
    started = true;
    ++starts;
  }
  // As for a real capture, only a stop of a started one counts.
  void stop() {
    if (started) ++stops;
    started = false;
  }
  kx::sensor::CaptureCounts counts() { return {delivered, 0, dropped, ""}; }
  int32_t deliver(const std::vector<uint8_t>& message) {
    ++delivered;
    return handler(message.data(), static_cast<uint32_t>(message.size()), user);
  }
  void fail(const char* message) { failure_handler(message, failure_user); }
};

// Each run starts with no log file, fresh settings and a fresh capture script.
class RunAgentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    fresh_run("");
    config_path = nullptr;
  }
  void fresh_run(const std::string& config) {
    kx::logging::close_log();
    kx::config::reset_settings();
    reset_stop_request();
    std::filesystem::create_directories(executable_directory() + "/log");
    std::filesystem::remove(log_path);
    kx::test::write_file(config_file, config);
    config_path = config_file.c_str();
    script = std::make_unique<FakeCapture>();
  }
  int run() {
    return run_agent([this](const kx::config::Config&, const std::string&) { return script->source(); });
  }
  bool started() { return kx::test::wait_until([&] { return script->starts > 0; }, 5s); }
  Lines messages() { return kx::test::log_messages(log_path); }

  kx::test::TempDir dir;
  std::string log_path = executable_directory() + "/log/dns-logger.log";
  std::string config_file = dir.file("agent.conf");
  std::unique_ptr<FakeCapture> script;
};

// A stop request ends the run, also one made before the run waits for it (a service stop
// during start-up); only the exact value "on" turns the log on. The final report accounts
// for every message: queued and never sent, refused, or dropped by the capture.
TEST_F(RunAgentTest, RunEndsOnAStopRequestOrAFailedStartWithItsLinesInOrder) {
  const auto stopped = [](const Lines& report) {
    Lines lines = {"Started!", "Stopping...", "Stopping all sessions", "Stopping sensor queue processor"};
    lines.insert(lines.end(), report.begin(), report.end());
    lines.push_back("Stopped!");
    return lines;
  };
  const std::string no_thread = "pthread_create() failed: no threads left";
  const std::string on = "logging on\nqueue-size 100\n";
  const struct {
    const char* name;
    std::string config, start_failure;
    bool stop_first, deliver;
    int status;
    Lines tail;
  } cases[] = {
      {"stop requested first", on, "", true, false, 0, stopped({statistics_line(Statistics())})},
      {"log off", "logging ON\nqueue-size 100\n", "", false, false, 0, {}},
      {"failed start", on, no_thread, false, false, 1, {"ERROR - Run failure: " + no_thread}},
      {"messages delivered", on, "", false, true, 0,
       stopped({"Statistics: captured=2 skipped=0 queued=1 overwritten=0 overwritten_bytes=0 refused=1 "
                "in_queue=1 sent=0 resent=0 connects=0 connect_failures=0 send_failures=0 capture_dropped=3",
                "ERROR - Lost 5 DNS packet messages since the last report: 0 overwritten in the queue, "
                "1 refused, 3 dropped by the capture, 1 left in the queue at stop"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_run(c.config);
    script->start_failure = c.start_failure;
    script->dropped = c.deliver ? 3 : 0;
    if (c.stop_first) request_stop();
    std::future<int> status = std::async(std::launch::async, [this] { return run(); });
    const int runs = c.start_failure.empty() ? 1 : 0;
    EXPECT_TRUE(runs == 0 || started());
    if (c.deliver) {
      EXPECT_EQ(script->deliver(kx::test::message_body(1, "10.0.0.5")), 0);
      // A message larger than the queue is refused by raising, to the capture's handler.
      EXPECT_ANY_THROW(script->deliver(kx::test::Bytes(200, 2)));
    }
    if (!c.stop_first) request_stop();
    const bool ended = status.wait_for(5s) == std::future_status::ready;
    if (!ended) request_stop();  // keep the test from hanging
    EXPECT_EQ(status.get(), c.status);
    EXPECT_TRUE(ended) << "the stop request was forgotten";
    Lines expected;
    if (c.config.rfind("logging on", 0) == 0) {
      expected = {"agent version 3.7.3", "Changing directory to: " + executable_directory(), "Starting...",
                  "Starting sensor queue processor", capture_start_line()};
    }
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(script->stops, runs);
  }
}

// A capture that fails forwards what was queued, for at most the first target's time-out
// (1 s here; the second row's target refuses), then ends the run as a failure.
TEST_F(RunAgentTest, CaptureFailureForwardsTheQueueThenEndsTheRunWithStatusOne) {
  const kx::test::Bytes message = kx::test::message_body(1, "10.0.0.5");
  for (bool refusing : {false, true}) {
    kx::test::LoopbackListener listener;
    kx::test::DeadPort dead;
    fresh_run("logging on\ntarget 127.0.0.1:" + std::to_string(refusing ? dead.port() : listener.port()) + " 1\n");
    std::future<int> status = std::async(std::launch::async, [this] { return run(); });
    ASSERT_TRUE(started());
    EXPECT_TRUE(refusing || listener.wait_for_bytes(0, 10, 10000ms)) << "no hello";
    for (int i = 0; i < 3; ++i) script->deliver(message);
    script->fail("pcap_activate(nosuch0) failed: No such device exists");
    EXPECT_EQ(status.wait_for(5s), std::future_status::ready) << "the drain outlasted the time-out";
    request_stop();  // ends such a drain, so that the failure is reported
    EXPECT_EQ(status.get(), 1);
    // The listener reads on a thread of its own: every byte is in once it has seen the close.
    EXPECT_TRUE(refusing || listener.wait_for_close(0, 5000ms));
    EXPECT_EQ(listener.received(0).size(), refusing ? 0 : 10 + 3 * (4 + message.size()));
    const Lines lines = messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"Stopped!", "ERROR - Run failure: capture failed: pcap_activate(nosuch0) failed: "
                                 "No such device exists"}));
  }
}

TEST(ExecutableDirectory, CutsAtTheLastSeparatorOnly) {
  const struct { const char* path; char separator; const char* directory; } cases[] = {
      {"C:\\Program Files\\tevrin\\agent.exe", '\\', "C:\\Program Files\\tevrin"},
      {"/usr/local/bin/agent", '/', "/usr/local/bin"},
      // Only the platform's separator counts: a forward slash is part of a name on Windows.
      {"C:/tools/agent.exe", '\\', "."},
  };
  for (const auto& c : cases) EXPECT_EQ(directory_of(c.path, c.separator), c.directory) << c.path;
}

// The fields that vary between status reports: state, win32 and service-specific exit code.
using Report = std::array<uint32_t, 3>;
using Reports = std::vector<Report>;

// Plays the service control manager: service_main runs on a thread of its own, and each
// report of the running state sends the scripted controls. A nonzero error fails the call.
class FakeServiceControl : public ServiceControlApi {
 public:
  uint32_t dispatcher_error = 0;
  uint32_t registration_error = 0;
  std::vector<uint32_t> controls_when_running;
  // Read once the dispatcher has returned: every report comes from service_main's thread.
  Reports reports;

  bool start_dispatcher(ServiceMain service_main) override {
    if (dispatcher_error != 0) return false;
    std::thread(service_main, 0u, nullptr).join();
    return true;
  }
  void* register_handler(ServiceControlHandler handler) override {
    handler_ = handler;
    return registration_error != 0 ? nullptr : this;
  }
  bool set_status(void* handle, const ServiceStatus& s) override {
    EXPECT_EQ(handle, registration_error != 0 ? nullptr : static_cast<void*>(this));
    EXPECT_EQ(std::tie(s.service_type, s.controls_accepted, s.check_point, s.wait_hint),
              std::make_tuple(0x10u, 5u, 0u, 10000u));
    reports.push_back({s.current_state, s.win32_exit_code, s.service_specific_exit_code});
    if (s.current_state == kServiceRunning) {
      for (uint32_t control : controls_when_running) handler_(control);
    }
    return true;
  }
  // Registration is only tried once the dispatcher has started.
  uint32_t last_error() override {
    return dispatcher_error != 0 ? dispatcher_error : registration_error;
  }

 private:
  ServiceControlHandler handler_ = nullptr;
};

int failed_run() { return kRunFailed; }

FakeCapture capture;

int run_real_agent() {
  return run_agent([](const kx::config::Config&, const std::string&) { return capture.source(); });
}

// Outside the service manager (1063) the agent runs in the console; any other dispatcher
// failure raises. A failed run is reported with a service-specific error, so that recovery
// actions apply. Interrogate (4) changes nothing and reports nothing.
TEST(Service, DispatchRunsTheAgentAndReportsHowItEnded) {
  const Reports stopped_by_control = {
      {kServiceRunning, 0, 0}, {kServiceStopPending, 0, 0}, {kServiceStopped, 0, 0}};
  const struct {
    const char* name;
    uint32_t dispatcher_error, registration_error;
    std::vector<uint32_t> controls;
    int (*run)();
    int status;
    Reports reports;
    std::string raised;
  } cases[] = {
      {"console", kErrorFailedServiceControllerConnect, 0, {}, failed_run, 1, {}, ""},
      {"dispatcher failed", 5, 0, {}, failed_run, 0, {},
       "StartServiceCtrlDispatcher() failed: " + kx::logging::system_error_text(5)},
      {"registration failed", 0, 1060, {}, failed_run, 0, {{kServiceStopped, 1060, 0}}, ""},
      {"run failed", 0, 0, {}, failed_run, 1, {{kServiceRunning, 0, 0}, {kServiceStopped, 1066, 1}}, ""},
      {"stop", 0, 0, {4, kServiceControlStop}, run_real_agent, 0, stopped_by_control, ""},
      {"shutdown", 0, 0, {4, kServiceControlShutdown}, run_real_agent, 0, stopped_by_control, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_stop_request();
    // Without a configuration file the real run keeps this size.
    kx::config::queue_size = 65536;
    FakeServiceControl scm;
    scm.dispatcher_error = c.dispatcher_error;
    scm.registration_error = c.registration_error;
    scm.controls_when_running = c.controls;
    std::string raised;
    try {
      EXPECT_EQ(dispatch_service_or_run(scm, c.run), c.status);
    } catch (const kx::error::UnknownError& e) {
      raised = e.what();
    }
    EXPECT_EQ(raised, c.raised);
    EXPECT_EQ(scm.reports, c.reports);
  }
  kx::config::reset_settings();
  reset_stop_request();
}

}  // namespace
