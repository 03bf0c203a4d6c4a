// The three Trace Data Helper calls that event decoding makes, behind a narrow interface
// so that tests can drive the decoder with scripted events. Every call is made without a
// TDH context, and each returns the platform's status (0 on success).
#pragma once

#include <cstdint>

#include "sensor/etw_types.h"

namespace kx::sensor {

class TdhApi {
 public:
  virtual ~TdhApi() = default;

  // TdhGetEventInformation: with a null buffer (and *buffer_size 0) it answers 122 and
  // the size needed; with a buffer of that size it fills it and answers 0.
  virtual uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                         uint32_t* buffer_size) = 0;

  // TdhGetPropertySize for the one property the descriptor names.
  virtual uint32_t get_property_size(EVENT_RECORD* record,
                                     PROPERTY_DATA_DESCRIPTOR* descriptor,
                                     uint32_t* property_size) = 0;

  // TdhGetProperty for the one property the descriptor names, into buffer_size bytes;
  // a value larger than the buffer is refused.
  virtual uint32_t get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                                uint32_t buffer_size, uint8_t* buffer) = 0;
};

// The real calls (tdh.dll). Windows builds only.
TdhApi& platform_tdh_api();

}  // namespace kx::sensor
