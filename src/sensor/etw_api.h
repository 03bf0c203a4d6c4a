// The event tracing calls that the trace session makes, behind a narrow interface so
// that tests can script the platform: sessions that exist or not, failures of each call,
// and a ProcessTrace that delivers events and blocks until the trace is closed.
#pragma once

#include <cstdint>

#include "sensor/etw_types.h"

namespace kx::sensor {

class EtwApi {
 public:
  virtual ~EtwApi() = default;

  // StartTraceA: 0 with the new session's handle in *session, 183 when a session of that
  // name exists already, or an error code.
  virtual uint32_t start_trace(TRACEHANDLE* session, const char* name,
                               EVENT_TRACE_PROPERTIES* properties) = 0;

  // EnableTraceEx2 without enable parameters: 0 or an error code.
  virtual uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                                uint8_t level, uint64_t match_any_keyword,
                                uint64_t match_all_keyword, uint32_t timeout) = 0;

  // OpenTraceA: a consumer handle, or etw::kInvalidProcessTraceHandle with the reason in
  // last_error().
  virtual TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) = 0;

  // ProcessTrace over all of time (no start or end): blocks, calling the logfile's
  // callbacks on this thread, until the trace is closed or the buffer callback answers
  // FALSE; 0 on a normal end or an error code.
  virtual uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) = 0;

  virtual uint32_t close_trace(TRACEHANDLE handle) = 0;

  // ControlTraceA(EVENT_TRACE_CONTROL_QUERY) by session name: 0 with the session's
  // counters and log file mode filled in, or an error code. properties->Wnode.BufferSize
  // and the two name offsets describe the room the platform copies the names into.
  virtual uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) = 0;

  // GetLastError, for the failure of open_trace; call it before any other call.
  virtual uint32_t last_error() = 0;
};

// The real calls (advapi32). Windows builds only.
EtwApi& platform_etw_api();

}  // namespace kx::sensor
