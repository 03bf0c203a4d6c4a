#include "agent/service.h"

#include "agent/errors.h"
#include "agent/run_agent.h"
#include "logging/log.h"

namespace kx::agent {
namespace {

// Set by dispatch_service_or_run before the dispatcher can call back.
ServiceControlApi* service_api = nullptr;
int (*service_run)() = nullptr;
// The run's exit status, written by service_main before the dispatcher returns.
int service_exit_status = 0;
// Written once by service_main after registration, read by the control handler.
void* service_status_handle = nullptr;

ServiceStatus status_of(uint32_t state, uint32_t win32_exit_code, uint32_t specific_exit_code) {
  ServiceStatus status;
  status.service_type = kServiceWin32OwnProcess;
  status.current_state = state;
  status.controls_accepted = kServiceAcceptStopAndShutdown;
  status.win32_exit_code = win32_exit_code;
  status.service_specific_exit_code = specific_exit_code;
  status.check_point = 0;
  status.wait_hint = kServiceWaitHintMs;
  return status;
}

void send_status(uint32_t state) { service_api->set_status(service_status_handle, status_of(state, 0, 0)); }

}  // namespace

int dispatch_service_or_run(ServiceControlApi& api, int (*run)()) {
  service_api = &api;
  service_run = run;
  service_exit_status = 0;
  if (api.start_dispatcher(service_main)) return service_exit_status;
  uint32_t code = api.last_error();
  if (code == kErrorFailedServiceControllerConnect) return run();
  kx::error::raise_system_error<kx::error::UnknownError>("StartServiceCtrlDispatcher", "",
                                                        static_cast<int32_t>(code));
}

void service_main(uint32_t, char**) {
  service_status_handle = service_api->register_handler(service_control_handler);
  if (service_status_handle == nullptr) {
    report_service_status(kServiceStopped, service_api->last_error(), 0);
    return;
  }
  send_status(kServiceRunning);
  service_exit_status = service_run();
  // A failed run is reported as such, so that the service's recovery actions apply.
  report_service_status(kServiceStopped, 0, static_cast<uint32_t>(service_exit_status));
}

void service_control_handler(uint32_t control) {
  if (control != kServiceControlStop && control != kServiceControlShutdown) return;
  send_status(kServiceStopPending);
  // Remembered even when the run is still starting: its wait then ends at once.
  request_stop();
}

int report_service_status(uint32_t current_state, uint32_t win32_exit_code,
                          uint32_t service_specific_exit_code) {
  uint32_t exit_code =
      service_specific_exit_code != 0 ? kErrorServiceSpecificError : win32_exit_code;
  service_api->set_status(service_status_handle,
                          status_of(current_state, exit_code, service_specific_exit_code));
  return 0;
}

}  // namespace kx::agent
