#include "sensor/etw_api.h"

namespace kx::sensor {
namespace {

class WindowsEtwApi final : public EtwApi {
 public:
  uint32_t start_trace(TRACEHANDLE* session, const char* name,
                       EVENT_TRACE_PROPERTIES* properties) override {
    return StartTraceA(session, name, properties);
  }

  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t match_any_keyword, uint64_t match_all_keyword,
                        uint32_t timeout) override {
    return EnableTraceEx2(session, &provider, control_code, level, match_any_keyword,
                          match_all_keyword, timeout, nullptr);
  }

  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override {
    TRACEHANDLE handle = OpenTraceA(logfile);
    // The platform's invalid value is spelled in pointer terms; map it to ours here.
    if (handle == INVALID_PROCESSTRACE_HANDLE) return etw::kInvalidProcessTraceHandle;
    return handle;
  }

  uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) override {
    return ProcessTrace(handles, handle_count, nullptr, nullptr);
  }

  uint32_t close_trace(TRACEHANDLE handle) override { return CloseTrace(handle); }

  uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) override {
    return ControlTraceA(0, name, properties, etw::kEventTraceControlQuery);
  }

  uint32_t last_error() override { return GetLastError(); }
};

}  // namespace

EtwApi& platform_etw_api() {
  static WindowsEtwApi api;
  return api;
}

}  // namespace kx::sensor
