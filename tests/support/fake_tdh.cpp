#include "support/fake_tdh.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sensor/event_decoder.h"

namespace kx::test {
namespace {

Bytes utf16le_with_nul(const std::string& text) {
  Bytes out;
  for (char c : text) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

FakeEvent* event_of(EVENT_RECORD* record) {
  return record != nullptr ? static_cast<FakeEvent*>(record->UserData) : nullptr;
}

}  // namespace

FakeEvent::FakeEvent() {
  provider(sensor::kDnsServerProviderGuid).id(256).timestamp(sensor::kFiletimeUnixEpochOffset);
}

FakeEvent& FakeEvent::property(const std::string& name, const Bytes& value,
                               int64_t reported_size) {
  information_.clear();
  Property named{name, value, reported_size, utf16le_with_nul(name)};
  for (Property& p : properties_) {
    if (p.name == name) {
      p = named;
      return *this;
    }
  }
  properties_.push_back(named);
  return *this;
}

FakeEvent& FakeEvent::text_property(const std::string& name, const std::string& text) {
  Bytes value(text.begin(), text.end());
  value.push_back(0);
  return property(name, value);
}

EVENT_RECORD* FakeEvent::record() {
  record_.UserData = this;
  return &record_;
}

const Bytes& FakeEvent::event_information() const {
  if (!information_.empty()) return information_;
  const size_t array = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
  const size_t count = properties_.size();
  Bytes block(std::max(sizeof(TRACE_EVENT_INFO), array + count * sizeof(EVENT_PROPERTY_INFO)));
  TRACE_EVENT_INFO info{};
  info.ProviderGuid = record_.EventHeader.ProviderId;
  info.EventDescriptor = record_.EventHeader.EventDescriptor;
  info.PropertyCount = info.TopLevelPropertyCount = static_cast<uint32_t>(count);
  memcpy(block.data(), &info, array);
  for (size_t i = 0; i < count; ++i) {
    EVENT_PROPERTY_INFO entry{};
    entry.NameOffset = static_cast<uint32_t>(block.size());
    memcpy(block.data() + array + i * sizeof entry, &entry, sizeof entry);
    const Bytes& name = properties_[i].utf16_name;
    block.insert(block.end(), name.begin(), name.end());
  }
  information_ = block;
  return information_;
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

void FakeTdh::fail(TdhCall call, uint32_t status, const std::string& property) {
  failures_.push_back(Failure{call, status, property});
}

bool FakeTdh::scripted(TdhCall call, const std::string& property, uint32_t* status) {
  for (auto failure = failures_.begin(); failure != failures_.end(); ++failure) {
    if (failure->call == call && (failure->property.empty() || failure->property == property)) {
      *status = failure->status;
      failures_.erase(failure);
      return true;
    }
  }
  return false;
}

uint32_t FakeTdh::get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                        uint32_t* buffer_size) {
  TdhCall call = buffer == nullptr ? TdhCall::event_info_size : TdhCall::event_info;
  if (record_calls) {
    calls_.push_back(buffer == nullptr ? "TdhGetEventInformation(size)" : "TdhGetEventInformation");
  }
  FakeEvent* event = event_of(record);
  uint32_t status = 1168;  // ERROR_NOT_FOUND
  if (event == nullptr || scripted(call, std::string(), &status)) return status;
  const Bytes& block = event->event_information();
  if (buffer == nullptr || *buffer_size < block.size()) {
    *buffer_size = static_cast<uint32_t>(block.size());
    return etw::kErrorInsufficientBuffer;
  }
  memcpy(buffer, block.data(), block.size());
  filled_block_ = reinterpret_cast<const uint8_t*>(buffer);
  filled_size_ = block.size();
  return etw::kErrorSuccess;
}

const FakeEvent::Property* FakeTdh::begin_property_call(TdhCall call, EVENT_RECORD* record,
                                                        const PROPERTY_DATA_DESCRIPTOR* descriptor,
                                                        uint32_t* status) {
  const FakeEvent::Property* property = named(record, descriptor);
  const char* name = call == TdhCall::property_size ? "TdhGetPropertySize(" : "TdhGetProperty(";
  if (record_calls) calls_.push_back(name + (property != nullptr ? property->name : "?") + ")");
  *status = etw::kErrorInvalidParameter;
  return property != nullptr && !scripted(call, property->name, status) ? property : nullptr;
}

const FakeEvent::Property* FakeTdh::named(EVENT_RECORD* record,
                                          const PROPERTY_DATA_DESCRIPTOR* descriptor) const {
  FakeEvent* event = event_of(record);
  if (event == nullptr || filled_block_ == nullptr) return nullptr;
  if (descriptor->ArrayIndex != etw::kWholeProperty || descriptor->Reserved != 0) return nullptr;
  // An address below the block wraps around and is refused with those past its end.
  size_t offset = static_cast<uintptr_t>(descriptor->PropertyName) -
                  reinterpret_cast<uintptr_t>(filled_block_);
  if (offset >= filled_size_) return nullptr;
  // Matched by name, as the platform does.
  for (const FakeEvent::Property& property : event->properties()) {
    const Bytes& wanted = property.utf16_name;
    if (filled_size_ - offset >= wanted.size() &&
        memcmp(filled_block_ + offset, wanted.data(), wanted.size()) == 0) {
      return &property;
    }
  }
  return nullptr;
}

uint32_t FakeTdh::get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                                    uint32_t* property_size) {
  uint32_t status = 0;
  const FakeEvent::Property* p = begin_property_call(TdhCall::property_size, record, descriptor,
                                                     &status);
  if (p == nullptr) return status;
  *property_size = static_cast<uint32_t>(p->reported_size >= 0 ? p->reported_size
                                                               : int64_t(p->value.size()));
  return etw::kErrorSuccess;
}

uint32_t FakeTdh::get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                               uint32_t buffer_size, uint8_t* buffer) {
  uint32_t status = 0;
  const FakeEvent::Property* p = begin_property_call(TdhCall::property, record, descriptor,
                                                     &status);
  if (p == nullptr) return status;
  if (buffer_size < p->value.size()) return etw::kErrorInsufficientBuffer;
  if (!p->value.empty()) memcpy(buffer, p->value.data(), p->value.size());
  return etw::kErrorSuccess;
}

}  // namespace kx::test
