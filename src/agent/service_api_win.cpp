#include <windows.h>

#include "agent/service.h"

namespace kx::agent {
namespace {

// The platform calls back with its own calling convention and types.
ServiceMain current_service_main = nullptr;
ServiceControlHandler current_handler = nullptr;

VOID WINAPI platform_service_main(DWORD argc, LPSTR* argv) {
  current_service_main(static_cast<uint32_t>(argc), argv);
}

VOID WINAPI platform_control_handler(DWORD control) {
  current_handler(static_cast<uint32_t>(control));
}

class SystemServiceApi : public ServiceControlApi {
 public:
  bool start_dispatcher(ServiceMain service_main) override {
    current_service_main = service_main;
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, platform_service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
  }

  void* register_handler(ServiceControlHandler handler) override {
    current_handler = handler;
    return reinterpret_cast<void*>(RegisterServiceCtrlHandlerA("", platform_control_handler));
  }

  bool set_status(void* handle, const ServiceStatus& status) override {
    SERVICE_STATUS platform = {};
    platform.dwServiceType = status.service_type;
    platform.dwCurrentState = status.current_state;
    platform.dwControlsAccepted = status.controls_accepted;
    platform.dwWin32ExitCode = status.win32_exit_code;
    platform.dwServiceSpecificExitCode = status.service_specific_exit_code;
    platform.dwCheckPoint = status.check_point;
    platform.dwWaitHint = status.wait_hint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &platform) != FALSE;
  }

  uint32_t last_error() override { return GetLastError(); }
};

}  // namespace

ServiceControlApi& system_service_api() {
  static SystemServiceApi api;
  return api;
}

}  // namespace kx::agent
