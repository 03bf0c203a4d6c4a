// A scripted stand-in for the Trace Data Helper: synthetic event records with named
// properties, and a TdhApi that answers for them as the platform does, with failures
// scripted per call and per property.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sensor/etw_types.h"
#include "sensor/tdh_api.h"

namespace kx::test {

using Bytes = std::vector<uint8_t>;

// One event: a DNS Server event with ID 256, time stamp 1970-01-01 and no properties
// until given some. record() points the record back at the object it is called on, so
// the record is valid while that object lives and is not moved.
class FakeEvent {
 public:
  struct Property {
    std::string name;
    Bytes value;
    int64_t reported_size;
    Bytes utf16_name;  // the name as the information block holds it, with its NUL
  };

  FakeEvent();
  FakeEvent& provider(const GUID& guid) { return set(&record_.EventHeader.ProviderId, guid); }
  FakeEvent& id(uint16_t value) { return set(&record_.EventHeader.EventDescriptor.Id, value); }
  FakeEvent& timestamp(int64_t t) { return set(&record_.EventHeader.TimeStamp.QuadPart, t); }
  // Replaces the named property, or appends it when it is new. TdhGetPropertySize
  // answers reported_size for it when that is not -1, else the size of the value.
  FakeEvent& property(const std::string& name, const Bytes& value, int64_t reported_size = -1);
  // The same with text and its terminating NUL, as the addresses arrive.
  FakeEvent& text_property(const std::string& name, const std::string& text);

  EVENT_RECORD* record();
  const std::vector<Property>& properties() const { return properties_; }
  // The event information block as TdhGetEventInformation fills it.
  const Bytes& event_information() const;

 private:
  template <typename Field, typename Value>
  FakeEvent& set(Field* field, Value value) {
    *field = static_cast<Field>(value);
    information_.clear();
    return *this;
  }

  EVENT_RECORD record_{};
  std::vector<Property> properties_;
  mutable Bytes information_;  // built on first use after a change
};

// A packet event as the provider lays it out: TCP, InterfaceIP, then Source (256, 258)
// or Destination (257), three more fields, BufferSize and PacketData.
FakeEvent dns_packet_event(uint16_t event_id, const std::string& device, const std::string& server,
                           uint8_t is_tcp, const Bytes& packet, int64_t filetime);

// Bytes first, first + 1, ... of the given length, for recognisable packets.
Bytes counting_bytes(size_t length, uint8_t first = 0);

enum class TdhCall { event_info_size, event_info, property_size, property };

class FakeTdh : public kx::sensor::TdhApi {
 public:
  // The next call of this kind (for the named property only, or for any property when
  // the name is empty) answers status.
  void fail(TdhCall call, uint32_t status, const std::string& property = std::string());

  // Every call made, in order: "TdhGetEventInformation(size)", "TdhGetEventInformation",
  // "TdhGetPropertySize(<name>)", "TdhGetProperty(<name>)".
  const std::vector<std::string>& calls() const { return calls_; }
  void clear_calls() { calls_.clear(); }
  // Off for benchmarks, where the record of calls would be most of the cost.
  bool record_calls = true;

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
  // Takes the failure scripted for this call, if any.
  bool scripted(TdhCall call, const std::string& property, uint32_t* status);
  // Records the call; the property it names, or null with the status to answer.
  const FakeEvent::Property* begin_property_call(TdhCall call, EVENT_RECORD* record,
                                                 const PROPERTY_DATA_DESCRIPTOR* descriptor,
                                                 uint32_t* status);
  // The property a descriptor names, or null when the platform would refuse the
  // descriptor (its name must lie in the block last filled).
  const FakeEvent::Property* named(EVENT_RECORD* record,
                                   const PROPERTY_DATA_DESCRIPTOR* descriptor) const;

  std::vector<Failure> failures_;
  std::vector<std::string> calls_;
  const uint8_t* filled_block_ = nullptr;
  size_t filled_size_ = 0;
};

}  // namespace kx::test
