// A scripted stand-in for the event tracing calls of the trace session. Its ProcessTrace
// behaves like the platform's: it calls the logfile's callbacks on the calling thread
// for every scripted event, and blocks until the trace is closed (or returns at once, as
// scripted). Every wait is bounded, so a session that fails to end makes a test fail
// instead of hanging: a ProcessTrace that gave up returns ERROR_TIMEOUT, which the
// session logs as its failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sensor/etw_api.h"
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
    uint32_t open_error = 0;            // 0: opened, else fails with this GetLastError
    bool open_waits_for_close = false;  // OpenTrace returns only after a CloseTrace
    uint32_t process_fails_at_once = 0;  // 0: ProcessTrace blocks until the trace is closed
    uint32_t process_status = 0;         // ProcessTrace's result once it ends
    std::vector<FakeEvent> events;  // what each ProcessTrace delivers
  } script;

  // Wnode.BufferSize bytes of the block StartTrace was given, as the platform reads
  // them. Read it once the session's thread has ended.
  Bytes start_properties;

  // What the session query answers from now on.
  struct QueryAnswer {
    uint32_t status;  // 0, or the error the query fails with
    uint32_t events_lost;
    uint32_t real_time_buffers_lost;
    uint32_t log_buffers_lost;
    uint32_t log_file_mode;
  };
  void answer_queries(const QueryAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
  }

  // Waits until a call whose text begins with prefix was made count times.
  bool wait_for_call(const std::string& prefix, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return made(prefix) >= count; });
  }

  // The calls made and their arguments: "StartTrace(<name>)", "EnableTraceEx2(<session>,
  // <provider>, <control code>, <level>, <any keyword>, <all keyword>, <timeout>)" with the
  // DNS Server provider as "dns", "OpenTrace(<name>, <mode in hex>)", "ProcessTrace" and
  // "CloseTrace(trace)", "CloseTrace(invalid)" or "CloseTrace(<other handle>)".
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  uint32_t start_trace(TRACEHANDLE* session, const char* name,
                       EVENT_TRACE_PROPERTIES* properties) override {
    std::lock_guard<std::mutex> lock(mutex_);
    record_call("StartTrace(" + std::string(name) + ")");
    const auto* bytes = reinterpret_cast<const uint8_t*>(properties);
    start_properties.assign(bytes, bytes + properties->Wnode.BufferSize);
    if (script.start_status == etw::kErrorSuccess) *session = kSessionHandle;
    return script.start_status;
  }

  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t match_any_keyword, uint64_t match_all_keyword,
                        uint32_t timeout) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dns = memcmp(&provider, &sensor::kDnsServerProviderGuid, sizeof provider) == 0;
    std::string call = "EnableTraceEx2(" + std::to_string(session) + (dns ? ", dns" : ", other");
    for (uint64_t n : {uint64_t{control_code}, uint64_t{level}, match_any_keyword,
                       match_all_keyword, uint64_t{timeout}}) {
      call += ", " + std::to_string(n);
    }
    record_call(call + ")");
    return script.enable_status;
  }

  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override {
    std::unique_lock<std::mutex> lock(mutex_);
    char mode[16];
    snprintf(mode, sizeof mode, "%x", static_cast<unsigned>(logfile->ProcessTraceMode));
    record_call("OpenTrace(" + std::string(logfile->LoggerName) + ", " + mode + ")");
    if (script.open_waits_for_close) {
      changed_.wait_for(lock, kPatience, [this] { return made("CloseTrace") > 0; });
    }
    if (script.open_error != 0) return etw::kInvalidProcessTraceHandle;
    // The platform keeps its own copy of the description.
    memcpy(&logfile_, logfile, sizeof logfile_);
    open_ = true;
    closed_ = false;
    return kTraceHandle;
  }

  // The call is recorded once the scripted events are through, so a test that waits for
  // it can stop the session without cutting them short.
  uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ours = handle_count == 1 && handles[0] == kTraceHandle && open_ && !closed_;
    // The platform calls back without holding anything the test could wait on.
    lock.unlock();
    for (size_t i = 0; ours && i < script.events.size(); ++i) {
      EVENT_RECORD* record = script.events[i].record();
      record->UserContext = logfile_.Context;
      logfile_.EventRecordCallback(record);
      if (!logfile_.BufferCallback(&logfile_)) break;
    }
    lock.lock();
    record_call("ProcessTrace");
    if (!ours) return etw::kErrorInvalidHandle;
    if (script.process_fails_at_once != 0) return script.process_fails_at_once;
    if (!changed_.wait_for(lock, kPatience, [this] { return closed_; })) return 1460;
    return script.process_status;
  }

  uint32_t close_trace(TRACEHANDLE handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool ours = handle == kTraceHandle;
    bool invalid = handle == etw::kInvalidProcessTraceHandle;
    std::string name = ours ? "trace" : invalid ? "invalid" : std::to_string(handle);
    record_call("CloseTrace(" + name + ")");
    if (!ours || !open_ || closed_) return etw::kErrorInvalidHandle;
    closed_ = true;
    return etw::kErrorSuccess;
  }

  // Like the platform, refuses a block without room behind the structure for the names.
  uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t size = properties->Wnode.BufferSize;
    const uint32_t structure = sizeof(EVENT_TRACE_PROPERTIES);
    if (std::string(name) != "tevrin-agent" || size < structure + 2 * 256 ||
        properties->LoggerNameOffset < structure || properties->LogFileNameOffset < structure ||
        properties->LoggerNameOffset + 256 > size || properties->LogFileNameOffset + 256 > size) {
      return etw::kErrorInvalidParameter;
    }
    if (answer_.status != etw::kErrorSuccess) return answer_.status;
    properties->EventsLost = answer_.events_lost;
    properties->RealTimeBuffersLost = answer_.real_time_buffers_lost;
    properties->LogBuffersLost = answer_.log_buffers_lost;
    properties->LogFileMode = answer_.log_file_mode;
    return etw::kErrorSuccess;
  }

  uint32_t last_error() override { return script.open_error; }

 private:
  // The caller holds mutex_.
  void record_call(const std::string& call) {
    calls_.push_back(call);
    changed_.notify_all();
  }
  size_t made(const std::string& prefix) const {
    size_t count = 0;
    for (const std::string& call : calls_) count += call.compare(0, prefix.size(), prefix) == 0;
    return count;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  EVENT_TRACE_LOGFILEA logfile_{};
  bool open_ = false;
  bool closed_ = false;
  QueryAnswer answer_{};
};

}  // namespace kx::test
