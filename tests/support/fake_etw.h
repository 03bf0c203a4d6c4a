// A scripted stand-in for the trace session's event tracing calls. Like the platform's,
// its ProcessTrace calls the logfile's callbacks for every scripted event on the calling
// thread, then blocks until the trace is closed. Every wait is bounded, so a session
// that fails to end fails its test instead of hanging it.
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
  static constexpr TRACEHANDLE kTraceHandle = 0x7ACE;

  // Set it before the session starts.
  struct Script {
    uint32_t start_status = 0;  // 0: created, 183: exists already, else an error
    uint32_t enable_status = 0;
    uint32_t open_error = 0;  // 0: opened, else fails with this GetLastError
    uint32_t process_fails_at_once = 0;  // 0: ProcessTrace blocks until the trace is closed
    uint32_t process_status = 0;         // ProcessTrace's result once it ends
    std::vector<FakeEvent> events;  // what each ProcessTrace delivers
  } script;

  // What the session query answers. The session queries when it starts and when its
  // counts are read, so a test changes it only while the session waits in ProcessTrace.
  struct QueryAnswer {
    uint32_t status;  // 0, or the error the query fails with
    uint32_t events_lost;
    uint32_t real_time_buffers_lost;
    uint32_t log_buffers_lost;
    uint32_t log_file_mode;
  } answer{};

  // The Wnode.BufferSize bytes of the block StartTrace was given. Read it once the
  // session's thread has ended.
  Bytes start_properties;

  // Waits until a call whose text begins with prefix was made count times.
  bool wait_for_call(const std::string& prefix, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return made(prefix) >= count; });
  }

  // The calls made and their arguments: "StartTrace(<name>)", "EnableTraceEx2(<session>,
  // <provider: dns or other>, <control code>, <level>, <any keyword>, <all keyword>,
  // <timeout>)", "OpenTrace(<name>, <mode in hex>)", "ProcessTrace" and
  // "CloseTrace(<trace, invalid or the handle>)".
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
    if (script.start_status == etw::kErrorSuccess) *session = 0x5E55;
    return script.start_status;
  }

  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t match_any_keyword, uint64_t match_all_keyword,
                        uint32_t timeout) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dns = memcmp(&provider, &sensor::kDnsServerProviderGuid, sizeof provider) == 0;
    char call[160];
    snprintf(call, sizeof call, "EnableTraceEx2(%llu, %s, %u, %u, %llu, %llu, %u)",
             static_cast<unsigned long long>(session), dns ? "dns" : "other", control_code, level,
             static_cast<unsigned long long>(match_any_keyword),
             static_cast<unsigned long long>(match_all_keyword), timeout);
    record_call(call);
    return script.enable_status;
  }

  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override {
    std::lock_guard<std::mutex> lock(mutex_);
    char call[160];
    snprintf(call, sizeof call, "OpenTrace(%s, %x)", logfile->LoggerName,
             static_cast<unsigned>(logfile->ProcessTraceMode));
    record_call(call);
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
    record_call("CloseTrace(" + (ours ? "trace" : invalid ? "invalid" : std::to_string(handle)) +
                ")");
    if (!ours || !open_ || closed_) return etw::kErrorInvalidHandle;
    closed_ = true;
    return etw::kErrorSuccess;
  }

  // Like the platform, refuses a block without room behind the structure for the names.
  uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t size = properties->Wnode.BufferSize;
    const uint32_t structure = sizeof(EVENT_TRACE_PROPERTIES);
    if (std::string(name) != "tevrin-agent" || properties->LoggerNameOffset < structure ||
        properties->LogFileNameOffset < structure || properties->LoggerNameOffset + 256 > size ||
        properties->LogFileNameOffset + 256 > size) {
      return etw::kErrorInvalidParameter;
    }
    if (answer.status != etw::kErrorSuccess) return answer.status;
    properties->EventsLost = answer.events_lost;
    properties->RealTimeBuffersLost = answer.real_time_buffers_lost;
    properties->LogBuffersLost = answer.log_buffers_lost;
    properties->LogFileMode = answer.log_file_mode;
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
};

}  // namespace kx::test
