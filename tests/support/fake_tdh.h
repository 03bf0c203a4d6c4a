// A scripted stand-in for the Trace Data Helper: synthetic event records with named
// properties, and a TdhApi that answers for them as the platform does, with one failure
// scripted at a time.
#pragma once

#include <cstdint>
#include <optional>
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
    int64_t reported_size;  // TdhGetPropertySize's answer; -1: the size of the value
    uint32_t name_offset;   // of its UTF-16 name in the information block
  };

  FakeEvent();
  FakeEvent& provider(const GUID& guid) { return set(&record_.EventHeader.ProviderId, guid); }
  FakeEvent& id(uint16_t value) { return set(&record_.EventHeader.EventDescriptor.Id, value); }
  FakeEvent& timestamp(int64_t t) { return set(&record_.EventHeader.TimeStamp.QuadPart, t); }
  // Replaces the named property, or appends it when it is new.
  FakeEvent& property(const std::string& name, const Bytes& value, int64_t reported_size = -1);
  // The same with text and its terminating NUL, as the addresses arrive.
  FakeEvent& text_property(const std::string& name, const std::string& text);

  // Also lays out the information block for the properties given so far.
  EVENT_RECORD* record();
  const std::vector<Property>& properties() const { return properties_; }
  // The block as TdhGetEventInformation fills it.
  const Bytes& event_information() const { return information_; }

 private:
  template <typename Field, typename Value>
  FakeEvent& set(Field* field, Value value) {
    *field = static_cast<Field>(value);
    return *this;
  }

  EVENT_RECORD record_{};
  std::vector<Property> properties_;
  Bytes information_;
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
  void fail(TdhCall call, uint32_t status, const std::string& property = std::string()) {
    failure_ = Failure{call, status, property};
  }

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
  // Takes the failure scripted for this call, if there is one.
  bool scripted(TdhCall call, const std::string& property, uint32_t* status);
  // The property the descriptor names, or null with the status to answer. The platform
  // refuses a name that does not lie in the block it filled last.
  const FakeEvent::Property* named(TdhCall call, EVENT_RECORD* record,
                                   const PROPERTY_DATA_DESCRIPTOR* descriptor, uint32_t* status);

  std::optional<Failure> failure_;
  uintptr_t filled_block_ = 0;
};

}  // namespace kx::test
