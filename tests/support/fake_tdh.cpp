#include "support/fake_tdh.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sensor/event_decoder.h"

namespace kx::test {
namespace {

FakeEvent* event_of(EVENT_RECORD* record) {
  return record != nullptr ? static_cast<FakeEvent*>(record->UserData) : nullptr;
}

}  // namespace

FakeEvent::FakeEvent() {
  provider(sensor::kDnsServerProviderGuid).id(256).timestamp(sensor::kFiletimeUnixEpochOffset);
}

FakeEvent& FakeEvent::property(const std::string& name, const Bytes& value,
                               int64_t reported_size) {
  auto same = [&name](const Property& p) { return p.name == name; };
  auto found = std::find_if(properties_.begin(), properties_.end(), same);
  if (found == properties_.end()) found = properties_.insert(found, Property{name, {}, -1, 0});
  found->value = value;
  found->reported_size = reported_size;
  return *this;
}

FakeEvent& FakeEvent::text_property(const std::string& name, const std::string& text) {
  Bytes value(text.begin(), text.end());
  value.push_back(0);
  return property(name, value);
}

// The structure, one entry per property, then each name in UTF-16LE with its NUL.
EVENT_RECORD* FakeEvent::record() {
  const size_t array = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
  const size_t count = properties_.size();
  information_.assign(std::max(sizeof(TRACE_EVENT_INFO), array + count * sizeof(EVENT_PROPERTY_INFO)),
                      0);
  TRACE_EVENT_INFO info{};
  info.ProviderGuid = record_.EventHeader.ProviderId;
  info.EventDescriptor = record_.EventHeader.EventDescriptor;
  info.PropertyCount = info.TopLevelPropertyCount = static_cast<uint32_t>(count);
  memcpy(information_.data(), &info, array);
  for (size_t i = 0; i < count; ++i) {
    EVENT_PROPERTY_INFO entry{};
    entry.NameOffset = properties_[i].name_offset = static_cast<uint32_t>(information_.size());
    memcpy(information_.data() + array + i * sizeof entry, &entry, sizeof entry);
    for (char c : properties_[i].name) information_.insert(information_.end(), {uint8_t(c), 0});
    information_.insert(information_.end(), {0, 0});
  }
  record_.UserData = this;
  return &record_;
}

FakeEvent dns_packet_event(uint16_t event_id, const std::string& device, const std::string& server,
                           uint8_t is_tcp, const Bytes& packet, int64_t filetime) {
  FakeEvent event;
  auto size = static_cast<uint16_t>(packet.size());
  event.id(event_id).timestamp(filetime).property("TCP", {is_tcp});
  event.text_property("InterfaceIP", server);
  event.text_property(event_id == 257 ? "Destination" : "Source", device);
  event.property("Port", {0x35, 0x00}).property("XID", {0x12, 0x34}).property("Flags", {0, 1});
  event.property("BufferSize", {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)});
  return event.property("PacketData", packet);
}

Bytes counting_bytes(size_t length, uint8_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

bool FakeTdh::scripted(TdhCall call, const std::string& property, uint32_t* status) {
  if (!failure_ || failure_->call != call) return false;
  if (!failure_->property.empty() && failure_->property != property) return false;
  *status = failure_->status;
  failure_.reset();
  return true;
}

uint32_t FakeTdh::get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                        uint32_t* buffer_size) {
  FakeEvent* event = event_of(record);
  uint32_t status = 1168;  // ERROR_NOT_FOUND
  TdhCall call = buffer == nullptr ? TdhCall::event_info_size : TdhCall::event_info;
  if (event == nullptr || scripted(call, std::string(), &status)) return status;
  const Bytes& block = event->event_information();
  if (buffer == nullptr || *buffer_size < block.size()) {
    *buffer_size = static_cast<uint32_t>(block.size());
    return etw::kErrorInsufficientBuffer;
  }
  memcpy(buffer, block.data(), block.size());
  filled_block_ = reinterpret_cast<uintptr_t>(buffer);
  return etw::kErrorSuccess;
}

const FakeEvent::Property* FakeTdh::named(TdhCall call, EVENT_RECORD* record,
                                          const PROPERTY_DATA_DESCRIPTOR* descriptor,
                                          uint32_t* status) {
  *status = etw::kErrorInvalidParameter;
  FakeEvent* event = event_of(record);
  if (event == nullptr || descriptor->ArrayIndex != etw::kWholeProperty ||
      descriptor->Reserved != 0) {
    return nullptr;
  }
  for (const FakeEvent::Property& property : event->properties()) {
    if (descriptor->PropertyName == filled_block_ + property.name_offset) {
      return scripted(call, property.name, status) ? nullptr : &property;
    }
  }
  return nullptr;
}

uint32_t FakeTdh::get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                                    uint32_t* property_size) {
  uint32_t status = 0;
  const FakeEvent::Property* p = named(TdhCall::property_size, record, descriptor, &status);
  if (p == nullptr) return status;
  *property_size = static_cast<uint32_t>(p->reported_size >= 0 ? p->reported_size
                                                               : int64_t(p->value.size()));
  return etw::kErrorSuccess;
}

uint32_t FakeTdh::get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                               uint32_t buffer_size, uint8_t* buffer) {
  uint32_t status = 0;
  const FakeEvent::Property* p = named(TdhCall::property, record, descriptor, &status);
  if (p == nullptr) return status;
  if (buffer_size < p->value.size()) return etw::kErrorInsufficientBuffer;
  if (!p->value.empty()) memcpy(buffer, p->value.data(), p->value.size());
  return etw::kErrorSuccess;
}

}  // namespace kx::test
