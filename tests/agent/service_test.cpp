#include "agent/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "agent/run_agent.h"
#include "config/settings.h"
#include "support/fake_capture.h"
#include "support/test_util.h"

namespace {

using namespace kx::agent;

// Plays the service control manager: the dispatcher runs service_main on a thread of its
// own, and each status report can trigger a scripted control.
class FakeServiceControl : public ServiceControlApi {
 public:
  bool dispatcher_succeeds = true;
  uint32_t dispatcher_error = 0;
  bool registration_succeeds = true;
  uint32_t registration_error = 0;
  std::function<void(uint32_t state)> on_report;

  bool start_dispatcher(ServiceMain service_main) override {
    if (!dispatcher_succeeds) {
      error_ = dispatcher_error;
      return false;
    }
    std::thread service_thread(service_main, 0u, nullptr);
    service_thread.join();
    return true;
  }

  void* register_handler(ServiceControlHandler handler) override {
    handler_ = handler;
    if (!registration_succeeds) {
      error_ = registration_error;
      return nullptr;
    }
    return this;
  }

  bool set_status(void* handle, const ServiceStatus& status) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handles_.push_back(handle);
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
  std::vector<void*> handles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_;
  }

 private:
  std::mutex mutex_;
  std::vector<ServiceStatus> reports_;
  std::vector<void*> handles_;
  ServiceControlHandler handler_ = nullptr;
  uint32_t error_ = 0;
};

std::atomic<int> run_calls{0};
int run_status = 0;
int count_run() {
  run_calls.fetch_add(1);
  return run_status;
}

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

void expect_report(const ServiceStatus& status, uint32_t state, uint32_t win32_exit_code,
                   uint32_t specific_exit_code = 0) {
  EXPECT_EQ(status.service_type, 0x10u);
  EXPECT_EQ(status.current_state, state);
  EXPECT_EQ(status.controls_accepted, 5u);
  EXPECT_EQ(status.win32_exit_code, win32_exit_code);
  EXPECT_EQ(status.service_specific_exit_code, specific_exit_code);
  EXPECT_EQ(status.check_point, 0u);
  EXPECT_EQ(status.wait_hint, 10000u);
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_calls = 0;
    run_status = 0;
    capture_failure = nullptr;
    kx::config::reset_settings();
    reset_stop_request();
    config_file = dir.file("agent.conf");
    kx::test::write_file(config_file, "queue-size 65536\n");
    config_path = config_file.c_str();
  }
  void TearDown() override {
    config_path = nullptr;
    reset_stop_request();
  }
  kx::test::TempDir dir;
  std::string config_file;
};

TEST_F(ServiceTest, NotStartedByTheServiceManagerRunsTheAgentInTheConsoleWithItsStatus) {
  run_status = 1;
  FakeServiceControl scm;
  scm.dispatcher_succeeds = false;
  scm.dispatcher_error = kErrorFailedServiceControllerConnect;
  EXPECT_EQ(dispatch_service_or_run(scm, count_run), 1);
  EXPECT_EQ(run_calls.load(), 1);
  EXPECT_TRUE(scm.reports().empty());
}

TEST_F(ServiceTest, OtherDispatcherFailuresRaise) {
  FakeServiceControl scm;
  scm.dispatcher_succeeds = false;
  scm.dispatcher_error = 5;
  try {
    dispatch_service_or_run(scm, count_run);
    FAIL() << "expected an error";
  } catch (const kx::error::UnknownError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("StartServiceCtrlDispatcher() failed: ", 0), 0u)
        << error.what();
  }
  EXPECT_EQ(run_calls.load(), 0);
}

TEST_F(ServiceTest, FailedRegistrationReportsStoppedWithItsCodeAndDoesNotRun) {
  FakeServiceControl scm;
  scm.registration_succeeds = false;
  scm.registration_error = 1060;
  EXPECT_EQ(dispatch_service_or_run(scm, count_run), 0);
  EXPECT_EQ(run_calls.load(), 0);
  auto reports = scm.reports();
  ASSERT_EQ(reports.size(), 1u);
  expect_report(reports[0], kServiceStopped, 1060);
}

// A failed run is reported with a service-specific error, so that recovery actions apply.
TEST_F(ServiceTest, FailedRunIsReportedStoppedWithServiceSpecificErrorOne) {
  for (bool missing_config : {true, false}) {
    SCOPED_TRACE(missing_config ? "missing configuration" : "capture failed");
    reset_stop_request();
    kx::config::reset_settings();
    config_path = missing_config ? "/nonexistent/agent.conf" : config_file.c_str();
    capture_failure = missing_config ? nullptr : "StartTrace() failed: Access is denied.";
    FakeServiceControl scm;
    EXPECT_EQ(dispatch_service_or_run(scm, run_real_agent), 1);
    auto reports = scm.reports();
    ASSERT_EQ(reports.size(), 2u);
    expect_report(reports[0], kServiceRunning, 0);
    expect_report(reports[1], kServiceStopped, kErrorServiceSpecificError, 1);
    for (void* handle : scm.handles()) EXPECT_EQ(handle, &scm);
  }
}

TEST_F(ServiceTest, StopAndShutdownControlsEndTheRunOtherControlsAreIgnored) {
  for (uint32_t control : {kServiceControlStop, kServiceControlShutdown}) {
    reset_stop_request();
    FakeServiceControl scm;
    std::thread controller;
    scm.on_report = [&](uint32_t state) {
      if (state != kServiceRunning) return;
      controller = std::thread([&scm, control] {
        // Interrogate (4) and an unknown control change nothing and report nothing.
        scm.send_control(4);
        scm.send_control(200);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        scm.send_control(control);
      });
    };
    EXPECT_EQ(dispatch_service_or_run(scm, run_real_agent), 0);
    controller.join();
    auto reports = scm.reports();
    ASSERT_EQ(reports.size(), 3u) << "control " << control;
    expect_report(reports[0], kServiceRunning, 0);
    expect_report(reports[1], kServiceStopPending, 0);
    expect_report(reports[2], kServiceStopped, 0);
  }
}

TEST_F(ServiceTest, StopControlDuringStartUpStillEndsTheRun) {
  FakeServiceControl scm;
  // The control arrives with the first report, before the run sequence has begun.
  scm.on_report = [&](uint32_t state) {
    if (state == kServiceRunning) scm.send_control(kServiceControlStop);
  };
  EXPECT_EQ(dispatch_service_or_run(scm, run_real_agent), 0);
  auto reports = scm.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].current_state, kServiceStopPending);
  EXPECT_EQ(reports[2].current_state, kServiceStopped);
}

TEST_F(ServiceTest, ServiceSpecificCodeIsReportedAs1066) {
  FakeServiceControl scm;
  scm.on_report = [&](uint32_t state) {
    if (state == kServiceRunning) report_service_status(kServiceStopPending, 7, 42);
  };
  scm.dispatcher_succeeds = true;
  config_path = "/nonexistent/agent.conf";
  dispatch_service_or_run(scm, run_real_agent);
  auto reports = scm.reports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[1].win32_exit_code, 1066u);
  EXPECT_EQ(reports[1].service_specific_exit_code, 42u);
}

}  // namespace
