#include "agent/service.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/errors.h"
#include "agent/run_agent.h"
#include "config/settings.h"
#include "logging/log.h"
#include "support/fake_capture.h"

namespace {

using namespace kx::agent;
// The fields that vary between status reports: state, win32 and service-specific exit code.
using Report = std::array<uint32_t, 3>;
using Reports = std::vector<Report>;

// Plays the service control manager: the dispatcher runs service_main on a thread of its
// own, and each report of the running state sends the scripted controls. A nonzero error
// fails the call.
class FakeServiceControl : public ServiceControlApi {
 public:
  uint32_t dispatcher_error = 0;
  uint32_t registration_error = 0;
  std::vector<uint32_t> controls_when_running;
  // Read once the dispatcher has returned: every report comes from service_main's thread.
  Reports reports;

  bool start_dispatcher(ServiceMain service_main) override {
    if ((error_ = dispatcher_error) != 0) return false;
    std::thread(service_main, 0u, nullptr).join();
    return true;
  }
  void* register_handler(ServiceControlHandler handler) override {
    handler_ = handler;
    return (error_ = registration_error) != 0 ? nullptr : this;
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
  uint32_t last_error() override { return error_; }

 private:
  ServiceControlHandler handler_ = nullptr;
  uint32_t error_ = 0;
};

int failed_run() { return kRunFailed; }

kx::test::FakeCapture capture;

// The real run sequence over a configuration without targets and a fake capture.
int run_real_agent() {
  return run_agent([](const kx::config::Config&, const std::string&) { return capture.source(); });
}

// Outside the service manager (1063) the agent runs in the console; any other dispatcher
// failure raises. A failed run is reported with a service-specific error, so that
// recovery actions apply. Stop and shutdown end the run; interrogate (4) changes nothing
// and reports nothing.
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
