#include "agent/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "agent/run_agent.h"
#include "config/settings.h"
#include "support/fake_capture.h"
#include "support/test_util.h"

namespace {

using namespace kx::agent;

// Plays the service control manager: the dispatcher runs service_main on a thread of its
// own, and each status report can trigger a scripted control. A nonzero error fails the call.
class FakeServiceControl : public ServiceControlApi {
 public:
  uint32_t dispatcher_error = 0;
  uint32_t registration_error = 0;
  std::function<void(uint32_t state)> on_report;

  bool start_dispatcher(ServiceMain service_main) override {
    if ((error_ = dispatcher_error) != 0) return false;
    std::thread(service_main, 0u, nullptr).join();
    return true;
  }
  void* register_handler(ServiceControlHandler handler) override {
    handler_ = handler;
    return (error_ = registration_error) != 0 ? nullptr : this;
  }
  bool set_status(void* handle, const ServiceStatus& status) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_EQ(handle, registration_error != 0 ? nullptr : static_cast<void*>(this));
      reports_.push_back(status);
    }
    if (on_report) on_report(status.current_state);
    return true;
  }
  uint32_t last_error() override { return error_; }
  void send_control(uint32_t control) { handler_(control); }
  std::vector<ServiceStatus> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  std::mutex mutex_;
  std::vector<ServiceStatus> reports_;
  ServiceControlHandler handler_ = nullptr;
  uint32_t error_ = 0;
};

std::atomic<int> run_calls{0};
int count_run() { return ++run_calls, 1; }

// When set, the fake capture of run_real_agent fails as soon as it has started.
const char* capture_failure = nullptr;

// The real run sequence over a configuration without targets and a fake capture.
int run_real_agent() {
  return run_agent([](const kx::config::Config&, const std::string&) {
    auto capture = std::make_unique<kx::test::FakeCapture>();
    if (capture_failure != nullptr) capture->failure_after_start = capture_failure;
    return capture;
  });
}

void expect_reports(const std::vector<ServiceStatus>& reports,
                    const std::vector<std::vector<uint32_t>>& expected) {
  ASSERT_EQ(reports.size(), expected.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    SCOPED_TRACE(i);
    const ServiceStatus& status = reports[i];
    EXPECT_EQ(status.service_type, 0x10u);
    EXPECT_EQ(status.current_state, expected[i][0]);
    EXPECT_EQ(status.controls_accepted, 5u);
    EXPECT_EQ(status.win32_exit_code, expected[i][1]);
    EXPECT_EQ(status.service_specific_exit_code, expected[i].size() > 2 ? expected[i][2] : 0);
    EXPECT_EQ(status.check_point, 0u);
    EXPECT_EQ(status.wait_hint, 10000u);
  }
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh("queue-size 65536\n", nullptr); }
  void TearDown() override {
    config_path = nullptr;
    reset_stop_request();
  }
  void fresh(const char* config, const char* failure) {
    run_calls = 0;
    capture_failure = failure;
    kx::config::reset_settings();
    reset_stop_request();
    kx::test::write_file(config_file, config);
    config_path = config_file.c_str();
  }
  kx::test::TempDir dir;
  std::string config_file = dir.file("agent.conf");
};

// Outside the service manager the agent runs in the console with its status; any other
// dispatcher failure raises.
TEST_F(ServiceTest, DispatcherFailureRunsInTheConsoleOnlyWhenNotStartedAsAService) {
  for (uint32_t error : {kErrorFailedServiceControllerConnect, 5u}) {
    SCOPED_TRACE(error);
    fresh("", nullptr);
    FakeServiceControl scm;
    scm.dispatcher_error = error;
    std::string raised;
    try {
      EXPECT_EQ(dispatch_service_or_run(scm, count_run), 1);
    } catch (const kx::error::UnknownError& e) {
      raised = e.what();
    }
    const bool console = error == kErrorFailedServiceControllerConnect;
    EXPECT_EQ(run_calls.load(), console ? 1 : 0);
    EXPECT_EQ(raised.rfind("StartServiceCtrlDispatcher() failed: ", 0), console ? std::string::npos : 0u)
        << raised;
    EXPECT_TRUE(scm.reports().empty());
  }
}

TEST_F(ServiceTest, FailedRegistrationReportsStoppedWithItsCodeAndDoesNotRun) {
  FakeServiceControl scm;
  scm.registration_error = 1060;
  EXPECT_EQ(dispatch_service_or_run(scm, count_run), 0);
  EXPECT_EQ(run_calls.load(), 0);
  expect_reports(scm.reports(), {{kServiceStopped, 1060}});
}

// A failed run is reported with a service-specific error, so that recovery actions apply.
TEST_F(ServiceTest, FailedRunIsReportedStoppedWithServiceSpecificErrorOne) {
  for (bool missing_config : {true, false}) {
    SCOPED_TRACE(missing_config ? "missing configuration" : "capture failed");
    fresh("", missing_config ? nullptr : "StartTrace() failed: Access is denied.");
    if (missing_config) config_path = "/nonexistent/agent.conf";
    FakeServiceControl scm;
    EXPECT_EQ(dispatch_service_or_run(scm, run_real_agent), 1);
    expect_reports(scm.reports(),
                   {{kServiceRunning, 0}, {kServiceStopped, kErrorServiceSpecificError, 1}});
  }
}

// Interrogate (4) and an unknown control change nothing and report nothing; a stop that
// arrives with the first report, before the run sequence has begun, still ends the run.
TEST_F(ServiceTest, StopAndShutdownControlsEndTheRunOtherControlsAreIgnored) {
  const std::pair<uint32_t, bool> cases[] = {
      {kServiceControlStop, false}, {kServiceControlShutdown, false}, {kServiceControlStop, true}};
  for (const auto& c : cases) {
    const uint32_t control = c.first;
    const bool during_start_up = c.second;
    SCOPED_TRACE(std::to_string(control) + (during_start_up ? " during start-up" : ""));
    reset_stop_request();
    FakeServiceControl scm;
    std::thread controller;
    scm.on_report = [&](uint32_t state) {
      if (state != kServiceRunning) return;
      if (during_start_up) return scm.send_control(control);
      controller = std::thread([&scm, control] {
        scm.send_control(4);
        scm.send_control(200);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        scm.send_control(control);
      });
    };
    EXPECT_EQ(dispatch_service_or_run(scm, run_real_agent), 0);
    if (controller.joinable()) controller.join();
    expect_reports(scm.reports(), {{kServiceRunning, 0}, {kServiceStopPending, 0}, {kServiceStopped, 0}});
  }
}

TEST_F(ServiceTest, ServiceSpecificCodeIsReportedAs1066) {
  FakeServiceControl scm;
  scm.on_report = [&](uint32_t state) {
    if (state == kServiceRunning) report_service_status(kServiceStopPending, 7, 42);
  };
  config_path = "/nonexistent/agent.conf";
  dispatch_service_or_run(scm, run_real_agent);
  auto reports = scm.reports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[1].win32_exit_code, 1066u);
  EXPECT_EQ(reports[1].service_specific_exit_code, 42u);
}

}  // namespace
