// A scripted stand-in for the Trace Data Helper: synthetic event records with named
// properties, answered as the platform answers, failing the calls an event scripts.
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

// A DNS Server event with ID 256, stamped 1970-01-01, without properties until given
// some. record() points the record back at this object, which must outlive it unmoved.
class FakeEvent {
 public:
  struct Property {
    std::string name;
    Bytes value;
    int64_t reported_size;  // TdhGetPropertySize's answer; -1: the size of the value
  };
  std::vector<Property> properties;
  Bytes information;  // laid out by record(): the structure, the entries, the UTF-16LE names

  FakeEvent() {
    provider(sensor::kDnsServerProviderGuid).id(256).timestamp(sensor::kFiletimeUnixEpochOffset);
  }
  FakeEvent& provider(const GUID& guid) { return set(&record_.EventHeader.ProviderId, guid); }
  FakeEvent& id(uint16_t value) { return set(&record_.EventHeader.EventDescriptor.Id, value); }
  FakeEvent& timestamp(int64_t t) { return set(&record_.EventHeader.TimeStamp.QuadPart, t); }

  // Replaces the named property, or appends it when it is new.
  FakeEvent& property(const std::string& name, const Bytes& value, int64_t reported_size = -1) {
    auto same = [&name](const Property& p) { return p.name == name; };
    auto found = std::find_if(properties.begin(), properties.end(), same);
    if (found == properties.end()) found = properties.insert(found, Property{});
    *found = {name, value, reported_size};
    return *this;
  }
  // The same with text and its terminating NUL, as the addresses arrive.
  FakeEvent& text_property(const std::string& name, const std::string& text) {
    Bytes value(text.begin(), text.end());
    value.push_back(0);
    return property(name, value);
  }
  FakeEvent& fail(TdhCall call, uint32_t status, const std::string& property = std::string()) {
    failures_[{call, property}] = status;
    return *this;
  }
  // What the call answers for the named property ("": the event information); 0: success.
  uint32_t failure(TdhCall call, const std::string& property) const {
    auto found = failures_.find({call, property});
    return found != failures_.end() ? found->second : 0;
  }

  EVENT_RECORD* record() {
    const size_t array = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
    information.assign(std::max(sizeof(TRACE_EVENT_INFO), array + properties.size() * kEntry), 0);
    TRACE_EVENT_INFO info{};
    info.ProviderGuid = record_.EventHeader.ProviderId;
    info.EventDescriptor = record_.EventHeader.EventDescriptor;
    info.PropertyCount = info.TopLevelPropertyCount = static_cast<uint32_t>(properties.size());
    memcpy(information.data(), &info, array);
    for (size_t i = 0; i < properties.size(); ++i) {
      EVENT_PROPERTY_INFO entry{};
      entry.NameOffset = static_cast<uint32_t>(information.size());
      memcpy(information.data() + array + i * kEntry, &entry, kEntry);
      for (char c : properties[i].name) information.insert(information.end(), {uint8_t(c), 0});
      information.insert(information.end(), {0, 0});
    }
    record_.UserData = this;
    return &record_;
  }

 private:
  static constexpr size_t kEntry = sizeof(EVENT_PROPERTY_INFO);

  template <typename Field, typename Value>
  FakeEvent& set(Field* field, Value value) {
    *field = static_cast<Field>(value);
    return *this;
  }

  EVENT_RECORD record_{};
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

class FakeTdh : public kx::sensor::TdhApi {
 public:
  uint32_t get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    TdhCall call = buffer != nullptr ? TdhCall::event_info : TdhCall::event_info_size;
    if (uint32_t status = event->failure(call, "")) return status;
    if (buffer == nullptr || *buffer_size < event->information.size()) {
      *buffer_size = static_cast<uint32_t>(event->information.size());
      return etw::kErrorInsufficientBuffer;
    }
    memcpy(buffer, event->information.data(), event->information.size());
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
  // The property named at the descriptor's pointer, or null with the status to answer.
  static const FakeEvent::Property* named(TdhCall call, EVENT_RECORD* record,
                                          const PROPERTY_DATA_DESCRIPTOR* descriptor,
                                          uint32_t* status) {
    *status = etw::kErrorInvalidParameter;
    if (descriptor->ArrayIndex != etw::kWholeProperty || descriptor->Reserved != 0) return nullptr;
    std::string name;
    const auto* c = reinterpret_cast<const char*>(descriptor->PropertyName);
    for (; c[0] != 0 || c[1] != 0; c += 2) name += *c;
    const auto* event = static_cast<const FakeEvent*>(record->UserData);
    for (const FakeEvent::Property& p : event->properties) {
      if (p.name != name) continue;
      *status = event->failure(call, name);
      return *status == 0 ? &p : nullptr;
    }
    return nullptr;
  }
};

}  // namespace kx::test
