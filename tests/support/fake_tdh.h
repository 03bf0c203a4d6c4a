// A scripted stand-in for the Trace Data Helper: synthetic event records with a
// provider, an event ID, a time stamp and named properties, and a TdhApi that answers
// for them the way the platform does (size query, fill, property size and value), with
// failures scripted per call and per property.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sensor/etw_types.h"
#include "sensor/tdh_api.h"

namespace kx::test {

// One event. Copyable; record() points the record back at the object it is called on,
// so the record is valid while that object lives and is not moved.
class FakeEvent {
 public:
  // A DNS Server event with ID 256, time stamp 1970-01-01 and no properties.
  FakeEvent();

  FakeEvent& provider(const GUID& guid);
  FakeEvent& id(uint16_t event_id);
  FakeEvent& timestamp(int64_t filetime);
  FakeEvent& user_context(void* context);
  // Appends a property with these value bytes.
  FakeEvent& property(const std::string& name, const std::vector<uint8_t>& value);
  // Appends a property holding text and its terminating NUL, as the addresses arrive.
  FakeEvent& text_property(const std::string& name, const std::string& text);
  // Makes TdhGetPropertySize answer size for the named property instead of its real size.
  FakeEvent& reported_size(const std::string& name, uint32_t size);

  EVENT_RECORD* record();

  struct Property {
    std::string name;
    std::vector<uint8_t> value;
    bool size_overridden = false;
    uint32_t reported_size = 0;
  };
  const std::vector<Property>& properties() const { return properties_; }
  // The event information block as TdhGetEventInformation fills it.
  std::vector<uint8_t> event_information() const;

 private:
  EVENT_RECORD record_{};
  std::vector<Property> properties_;
};

// A packet event as the provider's templates lay it out: TCP, InterfaceIP, then Source
// (256, 258) or Destination (257), three more fields, BufferSize and PacketData.
FakeEvent dns_packet_event(uint16_t event_id, const std::string& device, const std::string& server,
                           uint8_t is_tcp, const std::vector<uint8_t>& packet,
                           int64_t filetime);

// Bytes 0, 1, 2, ... of the given length, for recognisable packets.
std::vector<uint8_t> counting_bytes(size_t length, uint8_t first = 0);

enum class TdhCall { event_info_size, event_info, property_size, property };

class FakeTdh : public kx::sensor::TdhApi {
 public:
  // From now on, calls of this kind answer status (for the named property only, or for
  // every property when the name is empty), until clear_failures.
  void fail(TdhCall call, uint32_t status, const std::string& property = std::string());
  void clear_failures() { failures_.clear(); }

  // Every call made, in order: "TdhGetEventInformation(size)", "TdhGetEventInformation",
  // "TdhGetPropertySize(<name>)", "TdhGetProperty(<name>)".
  const std::vector<std::string>& calls() const { return calls_; }
  void clear_calls() { calls_.clear(); }

  uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override;
  uint32_t get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override;
  uint32_t get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override;

 private:
  struct Failure {
    TdhCall call;
    uint32_t status;
    std::string property;
  };
  bool scripted_failure(TdhCall call, const std::string& property, uint32_t* status) const;
  // The property a descriptor names, or null when the descriptor is not one the
  // platform would accept (its name must lie in the last block filled for this event).
  const FakeEvent::Property* named_property(EVENT_RECORD* record,
                                            const PROPERTY_DATA_DESCRIPTOR* descriptor) const;

  std::vector<Failure> failures_;
  std::vector<std::string> calls_;
  const uint8_t* filled_block_ = nullptr;
  uint32_t filled_size_ = 0;
};

}  // namespace kx::test
