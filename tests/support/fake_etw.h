// A scripted stand-in for the event tracing calls of the trace session. Its ProcessTrace
// behaves like the platform's: it calls the logfile's callbacks on the calling thread
// for every event handed to deliver(), and blocks until the trace is closed (or returns
// at once, as scripted). Every wait is bounded, so a session that fails to end makes a
// test fail instead of hanging: a ProcessTrace that gave up returns ERROR_TIMEOUT, which
// the session logs as its failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sensor/etw_api.h"
#include "sensor/etw_types.h"
#include "support/fake_tdh.h"

namespace kx::test {

class FakeEtw : public kx::sensor::EtwApi {
 public:
  static constexpr std::chrono::seconds kPatience{10};
  static constexpr TRACEHANDLE kSessionHandle = 0x5E55;
  static constexpr TRACEHANDLE kTraceHandle = 0x7ACE;

  // Set it before the session starts.
  struct Script {
    uint32_t start_status = 0;  // 0: created, 183: exists already, else an error
    uint32_t enable_status = 0;
    uint32_t open_error = 0;  // 0: opened, else fails with this GetLastError
    bool process_returns_at_once = false;
    uint32_t process_status = 0;  // ProcessTrace's result at once, or once it ends
    bool hold_open = false;       // OpenTrace waits for release_open()
  };
  Script script;

  // What the session query answers; change it at any time.
  struct QueryAnswer {
    uint32_t status = 0;  // 0, or the error the query fails with
    uint32_t events_lost = 0;
    uint32_t real_time_buffers_lost = 0;
    uint32_t log_buffers_lost = 0;
    uint32_t log_file_mode = etw::kEventTraceRealTimeMode;
  };
  void answer_queries(const QueryAnswer& answer);
  size_t queries() const;

  // Queues a copy of the event for the running ProcessTrace.
  void deliver(const FakeEvent& event);
  // Waits until every delivered event went through the event callback.
  bool wait_until_delivered();
  // Waits until a call whose text begins with prefix was made count times.
  bool wait_for_call(const std::string& prefix, size_t count = 1);
  void release_open();

  // "StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace", "CloseTrace(trace)",
  // "CloseTrace(invalid)" or "CloseTrace(<other handle>)".
  std::vector<std::string> calls() const;

  // What the calls were given, copied when they were made.
  struct Seen {
    std::string start_name;
    Bytes properties;  // Wnode.BufferSize bytes of the block, as the platform reads it
    GUID enable_provider{};
    // Session handle, control code, level, MatchAnyKeyword, MatchAllKeyword, timeout.
    std::vector<uint64_t> enable_arguments;
    std::string logger_name;
    uint32_t process_trace_mode = 0;
  };
  Seen seen() const;

  uint32_t start_trace(TRACEHANDLE* session, const char* name,
                       EVENT_TRACE_PROPERTIES* properties) override;
  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t match_any_keyword, uint64_t match_all_keyword,
                        uint32_t timeout) override;
  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override;
  uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) override;
  uint32_t close_trace(TRACEHANDLE handle) override;
  uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) override;
  uint32_t last_error() override;

 private:
  void record_call(const std::string& call);  // caller holds mutex_

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  Seen seen_;
  EVENT_TRACE_LOGFILEA logfile_{};
  bool open_ = false;
  bool closed_ = false;
  bool open_released_ = false;
  uint32_t last_error_ = 0;
  QueryAnswer answer_;
  size_t queries_ = 0;
  std::deque<FakeEvent> events_;  // a deque keeps each event in place for its record
  size_t next_event_ = 0;
  size_t events_done_ = 0;
};

}  // namespace kx::test
