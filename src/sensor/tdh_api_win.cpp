#include "sensor/tdh_api.h"

namespace kx::sensor {
namespace {

class WindowsTdhApi final : public TdhApi {
 public:
  uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    ULONG size = *buffer_size;
    ULONG status = TdhGetEventInformation(record, 0, nullptr, buffer, &size);
    *buffer_size = size;
    return status;
  }

  uint32_t get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override {
    ULONG size = 0;
    ULONG status = TdhGetPropertySize(record, 0, nullptr, 1, descriptor, &size);
    *property_size = size;
    return status;
  }

  uint32_t get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override {
    return TdhGetProperty(record, 0, nullptr, 1, descriptor, buffer_size, buffer);
  }
};

}  // namespace

TdhApi& platform_tdh_api() {
  static WindowsTdhApi api;
  return api;
}

}  // namespace kx::sensor
