// Decoding of the DNS Server's packet events into DNS packet messages. Runs on the
// trace's processing thread, one event at a time; a bad event is logged and dropped and
// never stops the trace.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sensor/etw_types.h"
#include "sensor/message_handler.h"
#include "sensor/tdh_api.h"
#include "sys/counter.h"

namespace kx::sensor {

// Microsoft-Windows-DNSServer, {EB79061A-A566-4698-9119-3ED2807060E7}.
inline constexpr GUID kDnsServerProviderGuid = {
    0xEB79061A, 0xA566, 0x4698, {0x91, 0x19, 0x3E, 0xD2, 0x80, 0x70, 0x60, 0xE7}};

// 100-nanosecond intervals from 1601-01-01 (FILETIME) to 1970-01-01.
inline constexpr int64_t kFiletimeUnixEpochOffset = 116444736000000000;

// How the grow-only buffers are (re)allocated: realloc's contract, errno set on failure.
// Tests pass their own to make an allocation fail.
using Reallocate = void* (*)(void* block, size_t size);
void* reallocate_block(void* block, size_t size);

// The decoding part of a capture session's state. The buffers are C heap blocks that
// grow to exactly the size needed when too small, never shrink and are reused for every
// event, so the steady state allocates nothing. Only the processing thread touches them.
struct EventDecodingState {
  explicit EventDecodingState(TdhApi& tdh_api, Reallocate reallocate_with = reallocate_block);
  ~EventDecodingState();
  EventDecodingState(const EventDecodingState&) = delete;
  EventDecodingState& operator=(const EventDecodingState&) = delete;

  TdhApi* tdh;
  Reallocate reallocate;

  // Where each message goes, or nowhere while its handler is null.
  MessageSink sink;
  int64_t epoch_offset = kFiletimeUnixEpochOffset;
  // Events that became no message: other providers and event IDs, device addresses that
  // are not IPv4 text, and failures. Written by the processing thread only.
  sys::Counter skipped;
  // ipv6-clients: device addresses in IPv6 text are framed too.
  bool ipv6_clients = false;

  TRACE_EVENT_INFO* event_info = nullptr;
  uint32_t event_info_capacity = 0;
  char* server_ip = nullptr;
  uint32_t server_ip_capacity = 0;
  int32_t server_ip_length = 0;
  char* device_ip = nullptr;
  uint32_t device_ip_capacity = 0;
  int32_t device_ip_length = 0;
  uint8_t is_tcp = 0;
  uint8_t* message = nullptr;
  uint32_t message_capacity = 0;
  int32_t message_length = 0;
};

// Turns one event record into a DNS packet message for state.sink, or drops it: other
// providers and event IDs, and device addresses that are not IPv4 text (nor, with
// state.ipv6_clients, IPv6 text), silently; every
// failure with one "ERROR - Process ETW event failed: ..." log line. Nothing escapes,
// not even an error raised by the sink, because this runs inside the platform's event
// callback.
void process_event(EventDecodingState& state, EVENT_RECORD* record) noexcept;

// (timestamp - epoch_offset) / 10^7, truncated toward zero, computed without the
// overflow that the plain difference has near the ends of the 64-bit range.
int64_t seconds_since_epoch(int64_t timestamp, int64_t epoch_offset);

}  // namespace kx::sensor
