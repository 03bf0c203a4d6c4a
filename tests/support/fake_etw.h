// A scripted stand-in for the trace session's event tracing calls. Like the platform's,
// its ProcessTrace calls the logfile's callbacks for every scripted event on the calling
// thread, then blocks until the trace is closed; the wait is bounded, so a session that
// fails to end fails its test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sensor/etw_api.h"
#include "support/fake_tdh.h"

namespace kx::test {

class FakeEtw : public kx::sensor::EtwApi {
 public:
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

  Bytes start_properties;  // the Wnode.BufferSize bytes of the block StartTrace was given

  // The calls made: "StartTrace(<name>)", "EnableTraceEx2(<session>, <dns or other>,
  // <control code>, <level>)", "OpenTrace(<name>, <mode>)", "ProcessTrace" once its events
  // are through, "CloseTrace(<trace, invalid or the handle>)".
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  uint32_t start_trace(TRACEHANDLE* session, const char* name,
                       EVENT_TRACE_PROPERTIES* properties) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("StartTrace(" + std::string(name) + ")");
    const auto* bytes = reinterpret_cast<const uint8_t*>(properties);
    start_properties.assign(bytes, bytes + properties->Wnode.BufferSize);
    if (script.start_status == etw::kErrorSuccess) *session = 0x5E55;
    return script.start_status;
  }

  uint32_t enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                        uint8_t level, uint64_t, uint64_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dns = memcmp(&provider, &sensor::kDnsServerProviderGuid, sizeof provider) == 0;
    calls_.push_back("EnableTraceEx2(" + std::to_string(session) + (dns ? ", dns, " : ", other, ") +
                     std::to_string(control_code) + ", " + std::to_string(level) + ")");
    return script.enable_status;
  }

  TRACEHANDLE open_trace(EVENT_TRACE_LOGFILEA* logfile) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("OpenTrace(" + std::string(logfile->LoggerName) + ", " +
                     std::to_string(logfile->ProcessTraceMode) + ")");
    if (script.open_error != 0) return etw::kInvalidProcessTraceHandle;
    memcpy(&logfile_, logfile, sizeof logfile_);  // the platform keeps its own copy
    closed_ = false;
    return kTraceHandle;
  }

  uint32_t process_trace(TRACEHANDLE* handles, uint32_t handle_count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ours = handle_count == 1 && handles[0] == kTraceHandle && !closed_;
    // The platform calls back without holding anything the test could wait on.
    lock.unlock();
    for (size_t i = 0; ours && i < script.events.size(); ++i) {
      EVENT_RECORD* record = script.events[i].record();
      record->UserContext = logfile_.Context;
      logfile_.EventRecordCallback(record);
      if (!logfile_.BufferCallback(&logfile_)) break;
    }
    lock.lock();
    calls_.push_back("ProcessTrace");
    if (!ours) return etw::kErrorInvalidHandle;
    if (script.process_fails_at_once != 0) return script.process_fails_at_once;
    if (!closed_changed_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; })) {
      return 1460;  // ERROR_TIMEOUT, which the session logs as its failure
    }
    return script.process_status;
  }

  uint32_t close_trace(TRACEHANDLE handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bool ours = handle == kTraceHandle;
    bool invalid = handle == etw::kInvalidProcessTraceHandle;
    calls_.push_back("CloseTrace(" + (ours ? "trace" : invalid ? "invalid" : std::to_string(handle)) +
                     ")");
    if (!ours || closed_) return etw::kErrorInvalidHandle;
    closed_ = true;
    closed_changed_.notify_all();
    return etw::kErrorSuccess;
  }

  // Like the platform, refuses a block without room behind the structure for the names.
  uint32_t query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) override {
    const int64_t end = int64_t{properties->Wnode.BufferSize} - 256;
    const uint32_t structure = sizeof(EVENT_TRACE_PROPERTIES);
    if (std::string(name) != "tevrin-agent" || properties->LoggerNameOffset < structure ||
        properties->LogFileNameOffset < structure || properties->LoggerNameOffset > end ||
        properties->LogFileNameOffset > end) {
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
  mutable std::mutex mutex_;
  std::condition_variable closed_changed_;
  std::vector<std::string> calls_;
  EVENT_TRACE_LOGFILEA logfile_{};
  bool closed_ = true;  // until OpenTrace opens it
};

}  // namespace kx::test
