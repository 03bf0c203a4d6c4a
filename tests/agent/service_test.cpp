#include "agent/service.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "agent/errors.h"
#include "agent/run_agent.h"
#include "config/settings.h"
#include "logging/log.h"
#include "support/fake_capture.h"

namespace {

using namespace kx::agent;
using Lines = std::vector<std::string>;

// A status report as text, so that whole lists of them compare at once.
std::string text(const ServiceStatus& s) {
  std::string out;
  for (uint32_t field : {s.service_type, s.current_state, s.controls_accepted, s.win32_exit_code,
                         s.service_specific_exit_code, s.check_point, s.wait_hint}) {
    out += std::to_string(field) + " ";
  }
  return out;
}

// The fields that vary between reports; the others are the same in every report.
std::string report(uint32_t state, uint32_t exit_code = 0, uint32_t specific_exit_code = 0) {
  return text({0x10, state, 5, exit_code, specific_exit_code, 0, 10000});
}

// Plays the service control manager: the dispatcher runs service_main on a thread of its
// own, and each report of the running state sends the scripted controls. A nonzero error
// fails the call.
class FakeServiceControl : public ServiceControlApi {
 public:
  uint32_t dispatcher_error = 0;
  uint32_t registration_error = 0;
  std::vector<uint32_t> controls_when_running;

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
    reports_.push_back(text(s));
    if (s.current_state == kServiceRunning) {
      for (uint32_t control : controls_when_running) handler_(control);
    }
    return true;
  }
  uint32_t last_error() override { return error_; }
  // Read once the dispatcher has returned: every report comes from service_main's thread.
  const Lines& reports() const { return reports_; }

 private:
  Lines reports_;
  ServiceControlHandler handler_ = nullptr;
  uint32_t error_ = 0;
};

int failed_run() { return kRunFailed; }

kx::test::CaptureScript capture;

// The real run sequence over a configuration without targets and a fake capture.
int run_real_agent() {
  return run_agent([](const kx::config::Config&, const std::string&) {
    return std::make_unique<kx::test::FakeCapture>(capture);
  });
}

// Outside the service manager (1063) the agent runs in the console; any other dispatcher
// failure raises. A failed run is reported with a service-specific error, so that
// recovery actions apply, and that code overrides a win32 code given with it. Stop and
// shutdown end the run, even arriving before it has begun; interrogate (4) and an unknown
// control change nothing and report nothing.
TEST(Service, DispatchRunsTheAgentAndReportsHowItEnded) {
  const Lines stopped_by_control = {report(kServiceRunning), report(kServiceStopPending),
                                    report(kServiceStopped)};
  const struct {
    const char* name;
    uint32_t dispatcher_error, registration_error;
    int (*run)();
    std::vector<uint32_t> controls;
    int status;
    Lines reports;
    std::string raised;
  } cases[] = {
      {"console", kErrorFailedServiceControllerConnect, 0, failed_run, {}, 1, {}, ""},
      {"dispatcher failed", 5, 0, failed_run, {}, 0, {},
       "StartServiceCtrlDispatcher() failed: " + kx::logging::system_error_text(5)},
      {"registration failed", 0, 1060, failed_run, {}, 0, {report(kServiceStopped, 1060)}, ""},
      {"run failed", 0, 0, failed_run, {}, 1,
       {report(kServiceRunning), report(kServiceStopped, kErrorServiceSpecificError, 1)}, ""},
      {"both codes", 0, 0, [] { return report_service_status(kServiceStopPending, 7, 42); }, {}, 0,
       {report(kServiceRunning), report(kServiceStopPending, 1066, 42), report(kServiceStopped)}, ""},
      {"stop", 0, 0, run_real_agent, {4, 200, kServiceControlStop}, 0, stopped_by_control, ""},
      {"shutdown", 0, 0, run_real_agent, {4, 200, kServiceControlShutdown}, 0, stopped_by_control, ""},
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
    EXPECT_EQ(scm.reports(), c.reports);
  }
  kx::config::reset_settings();
  reset_stop_request();
}

}  // namespace
