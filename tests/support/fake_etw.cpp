#include "support/fake_etw.h"

#include <cstring>

namespace kx::test {

void FakeEtw::record_call(const std::string& call) {
  calls_.push_back(call);
  changed_.notify_all();
}

void FakeEtw::deliver(const FakeEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
  changed_.notify_all();
}

bool FakeEtw::wait_until_delivered() {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kPatience, [this] { return events_done_ == events_.size(); });
}

bool FakeEtw::wait_for_call(const std::string& prefix, size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] {
    size_t seen = 0;
    for (const std::string& call : calls_) seen += call.compare(0, prefix.size(), prefix) == 0;
    return seen >= count;
  });
}

void FakeEtw::release_open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_released_ = true;
  changed_.notify_all();
}

std::vector<std::string> FakeEtw::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

FakeEtw::Seen FakeEtw::seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

uint32_t FakeEtw::start_trace(TRACEHANDLE* session, const char* name,
                              EVENT_TRACE_PROPERTIES* properties) {
  std::lock_guard<std::mutex> lock(mutex_);
  record_call("StartTrace");
  seen_.start_name = name;
  const auto* bytes = reinterpret_cast<const uint8_t*>(properties);
  seen_.properties.assign(bytes, bytes + properties->Wnode.BufferSize);
  if (script.start_status == etw::kErrorSuccess) *session = kSessionHandle;
  return script.start_status;
}

uint32_t FakeEtw::enable_trace(TRACEHANDLE session, const GUID& provider, uint32_t control_code,
                               uint8_t level, uint64_t match_any_keyword,
                               uint64_t match_all_keyword, uint32_t timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  record_call("EnableTraceEx2");
  seen_.enable_provider = provider;
  seen_.enable_arguments = {session, control_code, level, match_any_keyword, match_all_keyword,
                            timeout};
  return script.enable_status;
}

TRACEHANDLE FakeEtw::open_trace(EVENT_TRACE_LOGFILEA* logfile) {
  std::unique_lock<std::mutex> lock(mutex_);
  record_call("OpenTrace");
  seen_.logger_name = logfile->LoggerName != nullptr ? logfile->LoggerName : "";
  seen_.process_trace_mode = logfile->ProcessTraceMode;
  if (script.hold_open) changed_.wait_for(lock, kPatience, [this] { return open_released_; });
  if (script.open_error != 0) {
    last_error_ = script.open_error;
    return etw::kInvalidProcessTraceHandle;
  }
  // The platform keeps its own copy of the description.
  memcpy(&logfile_, logfile, sizeof logfile_);
  open_ = true;
  closed_ = false;
  return kTraceHandle;
}

uint32_t FakeEtw::process_trace(TRACEHANDLE* handles, uint32_t handle_count) {
  std::unique_lock<std::mutex> lock(mutex_);
  record_call("ProcessTrace");
  if (handle_count != 1 || handles[0] != kTraceHandle || !open_ || closed_) {
    return etw::kErrorInvalidHandle;
  }
  if (script.process_returns_at_once) return script.process_status;
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (true) {
    while (next_event_ < events_.size()) {
      EVENT_RECORD* record = events_[next_event_++].record();
      record->UserContext = logfile_.Context;
      // The platform calls back without holding anything the test could wait on.
      lock.unlock();
      logfile_.EventRecordCallback(record);
      ULONG go_on = logfile_.BufferCallback(&logfile_);
      lock.lock();
      ++events_done_;
      changed_.notify_all();
      if (!go_on) return script.process_status;
    }
    if (closed_) return script.process_status;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return 1460;
  }
}

uint32_t FakeEtw::close_trace(TRACEHANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool ours = handle == kTraceHandle;
  std::string name = handle == etw::kInvalidProcessTraceHandle ? "invalid" : std::to_string(handle);
  record_call("CloseTrace(" + (ours ? "trace" : name) + ")");
  if (!ours || !open_ || closed_) return etw::kErrorInvalidHandle;
  closed_ = true;
  return etw::kErrorSuccess;
}

void FakeEtw::answer_queries(const QueryAnswer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = answer;
}

size_t FakeEtw::queries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_;
}

// Like the platform, refuses a block without room behind the structure for the names.
uint32_t FakeEtw::query_trace(const char* name, EVENT_TRACE_PROPERTIES* properties) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++queries_;
  const uint32_t size = properties->Wnode.BufferSize;
  const uint32_t needed = static_cast<uint32_t>(sizeof(EVENT_TRACE_PROPERTIES)) + 2 * 256;
  if (std::string(name) != "tevrin-agent" || size < needed ||
      properties->LoggerNameOffset < sizeof(EVENT_TRACE_PROPERTIES) ||
      properties->LogFileNameOffset < sizeof(EVENT_TRACE_PROPERTIES) ||
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

uint32_t FakeEtw::last_error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

}  // namespace kx::test
