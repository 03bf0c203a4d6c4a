#include "support/fake_tdh.h"

#include <cstddef>
#include <cstring>

#include "sensor/event_decoder.h"

namespace kx::test {
namespace {

constexpr uint32_t kErrorNotFound = 1168;

const char* call_name(TdhCall call) {
  switch (call) {
    case TdhCall::event_info_size:
      return "TdhGetEventInformation(size)";
    case TdhCall::event_info:
      return "TdhGetEventInformation";
    case TdhCall::property_size:
      return "TdhGetPropertySize";
    case TdhCall::property:
      return "TdhGetProperty";
  }
  return "?";
}

std::vector<uint8_t> utf16le_with_nul(const std::string& text) {
  std::vector<uint8_t> out;
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

FakeEvent* event_of(EVENT_RECORD* record) {
  return record != nullptr ? static_cast<FakeEvent*>(record->UserData) : nullptr;
}

}  // namespace

FakeEvent::FakeEvent() {
  record_.EventHeader.ProviderId = sensor::kDnsServerProviderGuid;
  record_.EventHeader.EventDescriptor.Id = 256;
  record_.EventHeader.TimeStamp.QuadPart = sensor::kFiletimeUnixEpochOffset;
}

FakeEvent& FakeEvent::provider(const GUID& guid) {
  record_.EventHeader.ProviderId = guid;
  return *this;
}

FakeEvent& FakeEvent::id(uint16_t event_id) {
  record_.EventHeader.EventDescriptor.Id = event_id;
  return *this;
}

FakeEvent& FakeEvent::timestamp(int64_t filetime) {
  record_.EventHeader.TimeStamp.QuadPart = filetime;
  return *this;
}

FakeEvent& FakeEvent::user_context(void* context) {
  record_.UserContext = context;
  return *this;
}

FakeEvent& FakeEvent::property(const std::string& name, const std::vector<uint8_t>& value) {
  properties_.push_back(Property{name, value});
  return *this;
}

FakeEvent& FakeEvent::text_property(const std::string& name, const std::string& text) {
  std::vector<uint8_t> value(text.begin(), text.end());
  value.push_back(0);
  return property(name, value);
}

FakeEvent& FakeEvent::reported_size(const std::string& name, uint32_t size) {
  for (Property& p : properties_) {
    if (p.name == name) {
      p.size_overridden = true;
      p.reported_size = size;
    }
  }
  return *this;
}

EVENT_RECORD* FakeEvent::record() {
  record_.UserData = this;
  return &record_;
}

std::vector<uint8_t> FakeEvent::event_information() const {
  size_t count = properties_.size();
  size_t header = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) +
                  count * sizeof(EVENT_PROPERTY_INFO);
  if (header < sizeof(TRACE_EVENT_INFO)) header = sizeof(TRACE_EVENT_INFO);
  std::vector<uint8_t> block(header);
  TRACE_EVENT_INFO info{};
  info.ProviderGuid = record_.EventHeader.ProviderId;
  info.EventDescriptor = record_.EventHeader.EventDescriptor;
  info.PropertyCount = static_cast<uint32_t>(count);
  info.TopLevelPropertyCount = static_cast<uint32_t>(count);
  memcpy(block.data(), &info, offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray));
  for (size_t i = 0; i < count; ++i) {
    EVENT_PROPERTY_INFO entry{};
    entry.NameOffset = static_cast<uint32_t>(block.size());
    memcpy(block.data() + offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) +
               i * sizeof(EVENT_PROPERTY_INFO),
           &entry, sizeof entry);
    std::vector<uint8_t> name = utf16le_with_nul(properties_[i].name);
    block.insert(block.end(), name.begin(), name.end());
  }
  return block;
}

FakeEvent dns_packet_event(uint16_t event_id, const std::string& device, const std::string& server,
                           uint8_t is_tcp, const std::vector<uint8_t>& packet,
                           int64_t filetime) {
  FakeEvent event;
  event.id(event_id).timestamp(filetime);
  event.property("TCP", {is_tcp});
  event.text_property("InterfaceIP", server);
  event.text_property(event_id == 257 ? "Destination" : "Source", device);
  event.property("Port", {0x35, 0x00});
  event.property("XID", {0x12, 0x34});
  event.property("Flags", {0x00, 0x01});
  uint16_t size = static_cast<uint16_t>(packet.size());
  event.property("BufferSize", {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)});
  event.property("PacketData", packet);
  return event;
}

std::vector<uint8_t> counting_bytes(size_t length, uint8_t first) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

void FakeTdh::fail(TdhCall call, uint32_t status, const std::string& property) {
  failures_.push_back(Failure{call, status, property});
}

bool FakeTdh::scripted_failure(TdhCall call, const std::string& property,
                               uint32_t* status) const {
  for (const Failure& failure : failures_) {
    if (failure.call == call && (failure.property.empty() || failure.property == property)) {
      *status = failure.status;
      return true;
    }
  }
  return false;
}

uint32_t FakeTdh::get_event_information(EVENT_RECORD* record, TRACE_EVENT_INFO* buffer,
                                        uint32_t* buffer_size) {
  TdhCall call = buffer == nullptr ? TdhCall::event_info_size : TdhCall::event_info;
  calls_.push_back(call_name(call));
  FakeEvent* event = event_of(record);
  if (event == nullptr) return kErrorNotFound;
  uint32_t status = 0;
  if (scripted_failure(call, std::string(), &status)) return status;
  std::vector<uint8_t> block = event->event_information();
  if (buffer == nullptr || *buffer_size < block.size()) {
    *buffer_size = static_cast<uint32_t>(block.size());
    return etw::kErrorInsufficientBuffer;
  }
  memcpy(buffer, block.data(), block.size());
  filled_block_ = reinterpret_cast<const uint8_t*>(buffer);
  filled_size_ = static_cast<uint32_t>(block.size());
  return etw::kErrorSuccess;
}

const FakeEvent::Property* FakeTdh::named_property(
    EVENT_RECORD* record, const PROPERTY_DATA_DESCRIPTOR* descriptor) const {
  FakeEvent* event = event_of(record);
  if (event == nullptr || filled_block_ == nullptr) return nullptr;
  if (descriptor->ArrayIndex != etw::kWholeProperty || descriptor->Reserved != 0) return nullptr;
  auto name_address = static_cast<uintptr_t>(descriptor->PropertyName);
  auto block_address = reinterpret_cast<uintptr_t>(filled_block_);
  if (name_address < block_address || name_address >= block_address + filled_size_) {
    return nullptr;
  }
  // Matched by name, as the platform does.
  const uint8_t* name = filled_block_ + (name_address - block_address);
  const uint8_t* end = filled_block_ + filled_size_;
  for (const FakeEvent::Property& property : event->properties()) {
    std::vector<uint8_t> wanted = utf16le_with_nul(property.name);
    if (static_cast<size_t>(end - name) >= wanted.size() &&
        memcmp(name, wanted.data(), wanted.size()) == 0) {
      return &property;
    }
  }
  return nullptr;
}

uint32_t FakeTdh::get_property_size(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                                    uint32_t* property_size) {
  const FakeEvent::Property* property = named_property(record, descriptor);
  calls_.push_back(std::string("TdhGetPropertySize(") + (property ? property->name : "?") + ")");
  if (property == nullptr) return etw::kErrorInvalidParameter;
  uint32_t status = 0;
  if (scripted_failure(TdhCall::property_size, property->name, &status)) return status;
  *property_size = property->size_overridden ? property->reported_size
                                             : static_cast<uint32_t>(property->value.size());
  return etw::kErrorSuccess;
}

uint32_t FakeTdh::get_property(EVENT_RECORD* record, PROPERTY_DATA_DESCRIPTOR* descriptor,
                               uint32_t buffer_size, uint8_t* buffer) {
  const FakeEvent::Property* property = named_property(record, descriptor);
  calls_.push_back(std::string("TdhGetProperty(") + (property ? property->name : "?") + ")");
  if (property == nullptr) return etw::kErrorInvalidParameter;
  uint32_t status = 0;
  if (scripted_failure(TdhCall::property, property->name, &status)) return status;
  if (buffer_size < property->value.size()) return etw::kErrorInsufficientBuffer;
  if (!property->value.empty()) memcpy(buffer, property->value.data(), property->value.size());
  return etw::kErrorSuccess;
}

}  // namespace kx::test
