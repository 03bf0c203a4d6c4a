// A scripted stand-in for the Trace Data Helper: synthetic event records with named
// properties, and a TdhApi that answers for them as the platform does, failing the calls
// an event scripts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sensor/event_decoder.h"

namespace kx::test {

using Bytes = std::vector<uint8_t>;

enum class TdhCall { event_info_size, event_info, property_size, property };

// One event: a DNS Server event with ID 256, time stamp 1970-01-01 and no properties
// until given some. record() points the record back at the object it is called on, so
// the record is valid while that object lives and is not moved.
class FakeEvent {
 public:
  struct Property {
    std::string name;
    Bytes value;
    int64_t reported_size = -1;  // TdhGetPropertySize's answer; -1: the size of the value
    uint32_t name_offset = 0;    // of its UTF-16 name in the information block
  };

  FakeEvent() {
    provider(sensor::kDnsServerProviderGuid).id(256).timestamp(sensor::kFiletimeUnixEpochOffset);
  }
  FakeEvent& provider(const GUID& guid) { return set(&record_.EventHeader.ProviderId, guid); }
  FakeEvent& id(uint16_t value) { return set(&record_.EventHeader.EventDescriptor.Id, value); }
  FakeEvent& timestamp(int64_t t) { return set(&record_.EventHeader.TimeStamp.QuadPart, t); }

  // Replaces the named property, or appends it when it is new.
  FakeEvent& property(const std::string& name, const Bytes& value, int64_t reported_size = -1) {
    Property& p = named(name);
    p.value = value;
    p.reported_size = reported_size;
    return *this;
  }
  // The same with text and its terminating NUL, as the addresses arrive.
  FakeEvent& text_property(const std::string& name, const std::string& text) {
    Bytes value(text.begin(), text.end());
    value.push_back(0);
    return property(name, value);
  }
  // Makes the call answer status for the named property, or for the event information
  // when no property is named.
  FakeEvent& fail(TdhCall call, uint32_t status, const std::string& property = std::string()) {
    failures_[{call, property}] = status;
    return *this;
  }
  // Whether the call fails for the named property (or the event information), and how.
  bool fails(TdhCall call, const std::string& property, uint32_t* status) const {
    auto failure = failures_.find({call, property});
    if (failure != failures_.end()) *status = failure->second;
    return failure != failures_.end();
  }

  // Also lays out the information block: the structure, one entry per property, then
  // each name in UTF-16LE with its NUL.
  EVENT_RECORD* record() {
    const size_t array = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
    information_.assign(std::max(sizeof(TRACE_EVENT_INFO), array + properties_.size() * kEntry), 0);
    TRACE_EVENT_INFO info{};
    info.ProviderGuid = record_.EventHeader.ProviderId;
    info.EventDescriptor = record_.EventHeader.EventDescriptor;
    info.PropertyCount = info.TopLevelPropertyCount = static_cast<uint32_t>(properties_.size());
    memcpy(information_.data(), &info, array);
    for (size_t i = 0; i < properties_.size(); ++i) {
      EVENT_PROPERTY_INFO entry{};
      entry.NameOffset = properties_[i].name_offset = static_cast<uint32_t>(information_.size());
      memcpy(information_.data() + array + i * kEntry, &entry, kEntry);
      for (char c : properties_[i].name) information_.insert(information_.end(), {uint8_t(c), 0});
      information_.insert(information_.end(), {0, 0});
    }
    record_.UserData = this;
    return &record_;
  }

  const std::vector<Property>& properties() const { return properties_; }
  const Bytes& event_information() const { return information_; }

 private:
  static constexpr size_t kEntry = sizeof(EVENT_PROPERTY_INFO);

  template <typename Field, typename Value>
  FakeEvent& set(Field* field, Value value) {
    *field = static_cast<Field>(value);
    return *this;
  }
  Property& named(const std::string& name) {
    auto same = [&name](const Property& p) { return p.name == name; };
    auto found = std::find_if(properties_.begin(), properties_.end(), same);
    if (found != properties_.end()) return *found;
    properties_.emplace_back().name = name;
    return properties_.back();
  }

  EVENT_RECORD record_{};
  std::vector<Property> properties_;
  Bytes information_;
  std::map<std::pair<TdhCall, std::string>, uint32_t> failures_;
};

// A packet event as the provider lays it out: TCP, InterfaceIP, then Source (256, 258)
// or Destination (257), three more fields, BufferSize and PacketData.
inline FakeEvent dns_packet_event(uint16_t event_id, const std::string& device,
                                  const std::string& server, uint8_t is_tcp, const Bytes& packet,
                                  int64_t filetime) {
  FakeEvent event;
  auto size = static_cast<uint16_t>(packet.size());
  event.id(event_id).timestamp(filetime).property("TCP", {is_tcp});
  event.text_property("InterfaceIP", server);
  event.text_property(event_id == 257 ? "Destination" : "Source", device);
  event.property("Port", {0x35, 0x00}).property("XID", {0x12, 0x34}).property("Flags", {0, 1});
  event.property("BufferSize", {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)});
  return event.property("PacketData", packet);
}

// A message handler that keeps a copy of each message in the std::vector<Bytes> at user.
inline int32_t collect(const uint8_t* data, uint32_t length, void* user) {
  static_cast<std::vector<Bytes>*>(user)->emplace_back(data, data + length);
  return 0;
}

// Bytes first, first + 1, ... of the given length, for recognisable packets.
inline Bytes counting_bytes(size_t length, uint8_t first = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

class FakeTdh : public kx::sensor::TdhApi {
 public:
  uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    TdhCall call = buffer != nullptr ? TdhCall::event_info : TdhCall::event_info_size;
    uint32_t status = 0;
    if (event->fails(call, std::string(), &status)) return status;
    const Bytes& block = event->event_information();
    if (buffer == nullptr || *buffer_size < block.size()) {
      *buffer_size = static_cast<uint32_t>(block.size());
      return etw::kErrorInsufficientBuffer;
    }
    memcpy(buffer, block.data(), block.size());
    filled_block_ = reinterpret_cast<uintptr_t>(buffer);
    return etw::kErrorSuccess;
  }

  uint32_t get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override {
    uint32_t status = 0;
    const FakeEvent::Property* p = named(TdhCall::property_size, record, descriptor, &status);
    if (p == nullptr) return status;
    *property_size = static_cast<uint32_t>(p->reported_size >= 0 ? p->reported_size
                                                                 : int64_t(p->value.size()));
    return etw::kErrorSuccess;
  }

  uint32_t get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override {
    uint32_t status = 0;
    const FakeEvent::Property* p = named(TdhCall::property, record, descriptor, &status);
    if (p == nullptr) return status;
    if (buffer_size < p->value.size()) return etw::kErrorInsufficientBuffer;
    if (!p->value.empty()) memcpy(buffer, p->value.data(), p->value.size());
    return etw::kErrorSuccess;
  }

 private:
  // The property the descriptor names, or null with the status to answer. The platform
  // refuses a name that does not lie in the block it filled last.
  const FakeEvent::Property* named(TdhCall call, EVENT_RECORD* record,
                                   const PROPERTY_DATA_DESCRIPTOR* descriptor, uint32_t* status) {
    *status = etw::kErrorInvalidParameter;
    if (descriptor->ArrayIndex != etw::kWholeProperty || descriptor->Reserved != 0) return nullptr;
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    for (const FakeEvent::Property& p : event->properties()) {
      if (descriptor->PropertyName != filled_block_ + p.name_offset) continue;
      return event->fails(call, p.name, status) ? nullptr : &p;
    }
    return nullptr;
  }

  uintptr_t filled_block_ = 0;
};

}  // namespace kx::test
