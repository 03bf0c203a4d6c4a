// The real-time ETW session "tevrin-agent" and its processing thread, the agent's source
// of DNS packet messages on Windows. The thread creates the session on the agent's
// first start (and finds it on every later one), enables the DNS Server provider when it
// created it, attaches as a real-time consumer and sits in ProcessTrace, which hands
// every event to process_event on that thread. A failure of the session ends the thread
// only, with one log line, and is handed to the failure handler, which ends the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "sensor/capture_counts.h"
#include "sensor/etw_api.h"
#include "sensor/etw_types.h"
#include "sensor/event_decoder.h"
#include "sensor/message_handler.h"
#include "sensor/tdh_api.h"
#include "sys/counter.h"
#include "sys/threads.h"

namespace kx::sensor {

inline constexpr char kEtwSessionName[] = "tevrin-agent";
// {01A1C6BA-3C9C-4C71-B8BD-544941E1A09E}
inline constexpr GUID kEtwSessionGuid = {
    0x01A1C6BA, 0x3C9C, 0x4C71, {0xB8, 0xBD, 0x54, 0x49, 0x41, 0xE1, 0xA0, 0x9E}};
// The properties structure followed directly by the session name and its NUL.
inline constexpr size_t kSessionPropertiesSize =
    sizeof(EVENT_TRACE_PROPERTIES) + sizeof kEtwSessionName;

// The session's own loss counters (events lost, real-time and log buffers lost), read
// through the query call. The session outlives every run of the agent, so its counters
// include earlier runs: the values at this run's start are the baseline, and only the
// growth since then is reported. Safe from any thread.
class EtwLoss {
 public:
  explicit EtwLoss(EtwApi& etw_api) : etw_(&etw_api) {}

  // Takes the baseline unless there is one; the processing thread calls it once the
  // session exists. A read without a baseline takes it.
  void take_baseline();

  // Lost events since the baseline, and the session's log file mode. A failing query is
  // logged once and leaves the last values.
  CaptureCounts read();

 private:
  // Caller holds mutex_. False when the query failed.
  bool query(uint64_t* lost);

  EtwApi* etw_;
  std::mutex mutex_;
  bool has_baseline_ = false;
  bool failure_logged_ = false;
  uint64_t baseline_ = 0;
  uint64_t dropped_ = 0;
  uint32_t log_file_mode_ = 0;
};

// What the processing thread and the platform's callbacks share; the callbacks find it
// through the trace's context. Only the stop flag and the trace handle cross threads.
struct EtwSessionState {
  EtwSessionState(EtwApi& etw_api, TdhApi& tdh_api, Reallocate reallocate);

  EtwApi* etw;
  // Consumer handle from OpenTraceA, read by stop for CloseTrace.
  std::atomic<TRACEHANDLE> trace_handle{etw::kInvalidProcessTraceHandle};
  // Set by stop, read by buffer_callback and once the trace is open.
  std::atomic<bool> stop{false};
  // Told when the session fails other than through a stop; set before the thread starts.
  CaptureFailureHandler failure_handler = nullptr;
  void* failure_user = nullptr;
  sys::pthread_t thread;  // null handle: no thread
  EventDecodingState decoding;
  EtwLoss* loss = nullptr;
};

class EtwSession {
 public:
  // An idle session over the platform's calls. Windows builds only. ipv6_clients: the
  // ipv6-clients setting (device addresses in IPv6 text are framed too).
  explicit EtwSession(bool ipv6_clients = false)
      : EtwSession(platform_etw_api(), platform_tdh_api()) {
    ipv6_clients_ = ipv6_clients;
  }
  // An idle session over the given calls; the allocator serves the properties block and
  // the decoding buffers.
  EtwSession(EtwApi& etw_api, TdhApi& tdh_api, Reallocate reallocate = reallocate_block);
  ~EtwSession();
  EtwSession(const EtwSession&) = delete;
  EtwSession& operator=(const EtwSession&) = delete;

  // Stores the pair every message is handed to, replacing any earlier one. Call it
  // before start: the processing thread reads the pair without a lock.
  void set_message_handler(MessageHandler handler, void* user);

  // Stores the handler told when the session fails (not when a stop ends it). Call it
  // before start.
  void set_failure_handler(CaptureFailureHandler handler, void* user);

  // Starts the processing thread with a fresh state; does nothing when started. Raises
  // NetError when the thread cannot be created (the state then stays until stop).
  void start();

  // Sets the stop flag, closes the trace and joins the thread, then releases the state;
  // does nothing when idle. Returns only after the thread has ended.
  void stop();

  // Cumulative since creation, also after stop. Safe from any thread while start and
  // stop do not run: they make and release the state whose counts it reads.
  CaptureCounts counts();

 private:
  // The message sink of every state: passes each message to the installed handler, or
  // drops it (result 0) when none is installed.
  static int32_t forward_message(const uint8_t* data, uint32_t length, void* user);

  EtwApi* etw_;
  TdhApi* tdh_;
  Reallocate reallocate_;
  bool ipv6_clients_ = false;
  std::unique_ptr<EtwSessionState> state_;
  EtwLoss loss_;
  // The processing thread's counts, kept here so that they outlive its state.
  sys::Counter captured_;
  uint64_t skipped_before_ = 0;  // of states already released
  MessageSink sink_;
  CaptureFailureHandler failure_handler_ = nullptr;
  void* failure_user_ = nullptr;
};

// The body of the processing thread: start or find the session, open it, process it,
// close it. Every failure ends up as one "ERROR - ETW session failed: %s" line and, unless
// a stop caused it, a call of the state's failure handler; nothing is raised.
void run_session(EtwSessionState& state);

// TRUE (go on) while the stop flag of the state in the logfile's context is clear.
ULONG KX_ETW_CALL buffer_callback(EVENT_TRACE_LOGFILEA* logfile);

// Hands the record to process_event with the state in its user context.
void KX_ETW_CALL event_record_callback(EVENT_RECORD* record);

}  // namespace kx::sensor
