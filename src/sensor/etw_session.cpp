#include "sensor/etw_session.h"

#include <cerrno>
#include <cstdlib>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "agent/errors.h"
#include "logging/log.h"

namespace kx::sensor {
namespace {

constexpr uint32_t kQueryPerformanceCounterClock = 1;
constexpr uint32_t kBufferKilobytes = 128;
constexpr uint32_t kFlushSeconds = 1;

struct FreeBlock {
  void operator()(void* block) const { free(block); }
};
using PropertiesBlock = std::unique_ptr<EVENT_TRACE_PROPERTIES, FreeBlock>;

PropertiesBlock allocate_session_properties(const EtwSessionState& state) {
  errno = 0;
  void* block = state.decoding.reallocate(nullptr, kSessionPropertiesSize);
  if (block == nullptr) {
    int error = errno != 0 ? errno : ENOMEM;
    kx::error::raise_errno_error<net::NetError>(
        "malloc", "EVENT_TRACE_PROPERTIES:" + std::to_string(kSessionPropertiesSize), error);
  }
  return PropertiesBlock(static_cast<EVENT_TRACE_PROPERTIES*>(block));
}

// A real-time session with 128 KB buffers flushed every second, time-stamped with the
// performance counter; every field not named here stays 0.
void fill_session_properties(EVENT_TRACE_PROPERTIES* properties) {
  memset(properties, 0, kSessionPropertiesSize);
  properties->Wnode.BufferSize = static_cast<uint32_t>(kSessionPropertiesSize);
  properties->Wnode.Guid = kEtwSessionGuid;
  properties->Wnode.ClientContext = kQueryPerformanceCounterClock;
  properties->Wnode.Flags = etw::kWnodeFlagTracedGuid;
  properties->BufferSize = kBufferKilobytes;
  properties->LogFileMode = etw::kEventTraceRealTimeMode;
  properties->FlushTimer = kFlushSeconds;
  properties->LoggerNameOffset = static_cast<uint32_t>(sizeof(EVENT_TRACE_PROPERTIES));
  memcpy(reinterpret_cast<char*>(properties) + sizeof(EVENT_TRACE_PROPERTIES), kEtwSessionName,
         sizeof kEtwSessionName);
}

// Creates the session and enables the provider on it, or finds the session of an
// earlier run and leaves it as it is.
void start_or_find_session(EtwSessionState& state, EVENT_TRACE_PROPERTIES* properties) {
  TRACEHANDLE session = 0;
  uint32_t status = state.etw->start_trace(&session, kEtwSessionName, properties);
  if (status == etw::kErrorSuccess) {
    logging::log_message("Enable DNS server provider for ETW trace...");
    status = state.etw->enable_trace(session, kDnsServerProviderGuid,
                                     etw::kEventControlCodeEnableProvider,
                                     etw::kTraceLevelInformation, 0, 0, 0);
    if (status != etw::kErrorSuccess) {
      kx::error::raise_system_error<net::NetError>("EnableTraceEx2", "", status);
    }
  } else if (status == etw::kErrorAlreadyExists) {
    logging::log_message("ETW trace with name %s already started!", kEtwSessionName);
  } else {
    kx::error::raise_system_error<net::NetError>("StartTrace", "", status);
  }
  if (state.loss != nullptr) state.loss->take_baseline();
}

TRACEHANDLE open_trace(EtwSessionState& state) {
  logging::log_message("Opening ETW trace...");
  EVENT_TRACE_LOGFILEA logfile;
  memset(&logfile, 0, sizeof logfile);
  // The platform only reads the name.
  logfile.LoggerName = const_cast<char*>(kEtwSessionName);
  logfile.ProcessTraceMode = etw::kProcessTraceModeRealTime | etw::kProcessTraceModeEventRecord;
  logfile.BufferCallback = buffer_callback;
  logfile.EventRecordCallback = event_record_callback;
  logfile.Context = &state;
  TRACEHANDLE handle = state.etw->open_trace(&logfile);
  if (handle == etw::kInvalidProcessTraceHandle) {
    uint32_t error = state.etw->last_error();
    kx::error::raise_system_error<net::NetError>("OpenTrace", "", error);
  }
  state.trace_handle.store(handle);
  return handle;
}

void process_and_close_trace(EtwSessionState& state, TRACEHANDLE handle) {
  // A stop that came before the handle was stored closed nothing, and ProcessTrace would
  // wait for events that may never come. The flag is read after the store and stop
  // reads the handle after setting the flag, so one of the two sides closes the trace.
  if (!state.stop.load()) {
    logging::log_message("Entering ETW trace processing loop...");
    TRACEHANDLE handles[1] = {handle};
    uint32_t status = state.etw->process_trace(handles, 1);
    if (status != etw::kErrorSuccess) {
      kx::error::raise_system_error<net::NetError>("ProcessTrace", "", status);
    }
  }
  logging::log_message("Closing ETW trace...");
  state.etw->close_trace(handle);
  logging::log_message("ETW session finished");
}

uint32_t KX_THREAD_CALL session_thread(void* state) {
  run_session(*static_cast<EtwSessionState*>(state));
  return 0;
}

// The properties block of a query: the structure and room for the logger and log file
// names that the platform copies behind it.
constexpr uint32_t kQueryNameRoom = 1024;
struct QueryBlock {
  EVENT_TRACE_PROPERTIES properties;
  char names[2 * kQueryNameRoom];
};

}  // namespace

void EtwLoss::take_baseline() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (has_baseline_) return;
  uint64_t lost = 0;
  if (!query(&lost)) return;
  baseline_ = lost;
  has_baseline_ = true;
}

CaptureCounts EtwLoss::read() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t lost = 0;
  if (query(&lost)) {
    // A baseline the start could not take is taken now: losses from here on count.
    if (!has_baseline_) {
      baseline_ = lost;
      has_baseline_ = true;
    }
    // A session deleted and made again from outside starts its counters afresh.
    if (lost < baseline_) baseline_ = 0;
    if (lost - baseline_ > dropped_) dropped_ = lost - baseline_;
  }
  CaptureCounts counts;
  counts.dropped = dropped_;
  char details[48];
  snprintf(details, sizeof details, " etw_log_file_mode=0x%08" PRIx32, log_file_mode_);
  counts.details = details;
  return counts;
}

bool EtwLoss::query(uint64_t* lost) {
  QueryBlock block;
  memset(&block, 0, sizeof block);
  block.properties.Wnode.BufferSize = static_cast<uint32_t>(sizeof block);
  block.properties.LoggerNameOffset = static_cast<uint32_t>(offsetof(QueryBlock, names));
  block.properties.LogFileNameOffset =
      static_cast<uint32_t>(offsetof(QueryBlock, names) + kQueryNameRoom);
  uint32_t status = etw_->query_trace(kEtwSessionName, &block.properties);
  if (status != etw::kErrorSuccess) {
    if (!failure_logged_) {
      logging::log_message("ERROR - ControlTrace(%s) failed: %s", kEtwSessionName,
                           logging::system_error_text(static_cast<int32_t>(status)).c_str());
      failure_logged_ = true;
    }
    return false;
  }
  *lost = uint64_t{block.properties.EventsLost} + block.properties.RealTimeBuffersLost +
          block.properties.LogBuffersLost;
  log_file_mode_ = block.properties.LogFileMode;
  return true;
}

EtwSessionState::EtwSessionState(EtwApi& etw_api, TdhApi& tdh_api, Reallocate reallocate)
    : etw(&etw_api), decoding(tdh_api, reallocate) {}

void run_session(EtwSessionState& state) {
  logging::log_message("Starting ETW trace...");
  try {
    PropertiesBlock properties = allocate_session_properties(state);
    fill_session_properties(properties.get());
    start_or_find_session(state, properties.get());
    TRACEHANDLE handle = open_trace(state);
    process_and_close_trace(state, handle);
  } catch (const std::exception& error) {
    logging::log_message("ERROR - ETW session failed: %s", error.what());
    // ProcessTrace may end with an error once stop has closed the trace: that is no
    // failure of the capture.
    if (state.failure_handler != nullptr && !state.stop.load()) {
      state.failure_handler(error.what(), state.failure_user);
    }
  }
}

ULONG KX_ETW_CALL buffer_callback(EVENT_TRACE_LOGFILEA* logfile) {
  auto* state = static_cast<EtwSessionState*>(logfile->Context);
  return state->stop.load() ? 0 : 1;
}

void KX_ETW_CALL event_record_callback(EVENT_RECORD* record) {
  auto* state = static_cast<EtwSessionState*>(record->UserContext);
  if (state == nullptr) return;
  process_event(state->decoding, record);
}

EtwSession::EtwSession(EtwApi& etw_api, TdhApi& tdh_api, Reallocate reallocate)
    : etw_(&etw_api), tdh_(&tdh_api), reallocate_(reallocate), loss_(etw_api) {}

EtwSession::~EtwSession() { stop(); }

void EtwSession::set_message_handler(MessageHandler handler, void* user) {
  sink_ = {handler, user};
}

void EtwSession::set_failure_handler(CaptureFailureHandler handler, void* user) {
  failure_handler_ = handler;
  failure_user_ = user;
}

void EtwSession::start() {
  if (state_ != nullptr) return;
  state_ = std::make_unique<EtwSessionState>(*etw_, *tdh_, reallocate_);
  state_->failure_handler = failure_handler_;
  state_->failure_user = failure_user_;
  state_->decoding.sink = {forward_message, this};
  state_->loss = &loss_;
  state_->decoding.ipv6_clients = ipv6_clients_;
  int status = sys::pthread_create(&state_->thread, nullptr, session_thread, state_.get());
  if (status != 0) {
    state_->thread = sys::pthread_t{};
    kx::error::raise_system_error<net::NetError>("pthread_create", "", status);
  }
}

void EtwSession::stop() {
  if (state_ == nullptr) return;
  if (state_->thread.handle != nullptr) {
    state_->stop.store(true);
    logging::log_message("Closing ETW trace...");
    etw_->close_trace(state_->trace_handle.load());
    sys::pthread_join(state_->thread, nullptr);
    state_->thread = sys::pthread_t{};
  }
  skipped_before_ += state_->decoding.skipped.value();
  state_.reset();
}

CaptureCounts EtwSession::counts() {
  CaptureCounts counts = loss_.read();
  counts.captured = captured_.value();
  counts.skipped = skipped_before_ + (state_ ? state_->decoding.skipped.value() : 0);
  return counts;
}

int32_t EtwSession::forward_message(const uint8_t* data, uint32_t length, void* user) {
  auto* session = static_cast<EtwSession*>(user);
  if (session->sink_.handler == nullptr) return 0;
  session->captured_.add(1);
  return send_message(session->sink_, data, length);
}

}  // namespace kx::sensor
