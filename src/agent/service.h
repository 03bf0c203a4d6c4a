// The Windows service glue: the dispatcher hand-over with its console fallback, the
// service entry, the control handler and the status reports. The service control
// manager is reached through ServiceControlApi so the logic can be driven by a fake.
#pragma once

#include <cstdint>

namespace kx::agent {

// The seven fields of the platform's SERVICE_STATUS, in its order.
struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServiceAcceptStopAndShutdown = 5;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlShutdown = 5;
inline constexpr uint32_t kServiceWaitHintMs = 10000;
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorServiceSpecificError = 1066;

using ServiceMain = void (*)(uint32_t argc, char** argv);
using ServiceControlHandler = void (*)(uint32_t control);

class ServiceControlApi {
 public:
  virtual ~ServiceControlApi() = default;
  // StartServiceCtrlDispatcherA with the one entry ("" , service_main); returns once the
  // service has stopped. false on failure, the code in last_error().
  virtual bool start_dispatcher(ServiceMain service_main) = 0;
  // RegisterServiceCtrlHandlerA("", handler); null on failure.
  virtual void* register_handler(ServiceControlHandler handler) = 0;
  virtual bool set_status(void* handle, const ServiceStatus& status) = 0;
  virtual uint32_t last_error() = 0;
};

// The real service control manager (Windows builds only).
ServiceControlApi& system_service_api();

// Hands the process to the service control manager; when it was not started by it
// (1063), runs the agent on this thread. run returns the run's exit status (non-zero: a
// failed run, which the service reports as SERVICE_STOPPED with
// ERROR_SERVICE_SPECIFIC_ERROR and that status as its service-specific code). Returns
// the run's exit status. Another failure raises kx::error::UnknownError
// "StartServiceCtrlDispatcher() failed: ...".
int dispatch_service_or_run(ServiceControlApi& api, int (*run)());

void service_main(uint32_t argc, char** argv);
void service_control_handler(uint32_t control);
int report_service_status(uint32_t current_state, uint32_t win32_exit_code,
                          uint32_t service_specific_exit_code);

}  // namespace kx::agent
