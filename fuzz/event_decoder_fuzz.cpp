// Event decoding over events whose layout comes from the input: the event ID, the time
// stamp, the number of properties, the first letter of each name and each value. Every
// message the decoder delivers must read back as a well-formed DNS packet message whose
// device address is IPv4 text.
//
// Input: id byte (255 + b % 5), count byte (b % 16), 8 time stamp bytes, then for each
// property its name letter, a 16-bit little-endian size and that many value bytes
// (fewer when the input ends).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/wire_format.h"
#include "sensor/event_decoder.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
};

class InputTdh final : public kx::sensor::TdhApi {
 public:
  void load(Input& input, size_t count) {
    letters_.clear();
    values_.clear();
    for (size_t i = 0; i < count; ++i) {
      letters_.push_back(input.byte());
      size_t size = input.byte();
      size |= size_t{input.byte()} << 8;
      if (size > input.size - input.at) size = input.size - input.at;
      values_.emplace_back(input.data + input.at, input.data + input.at + size);
      input.at += size;
    }
    size_t header = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) +
                    (count > 0 ? count : 1) * sizeof(EVENT_PROPERTY_INFO);
    // Each name: its letter, 'x' and the NUL, in UTF-16LE.
    info_.assign(header + count * 6, 0);
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(info_.data());
    info->PropertyCount = static_cast<uint32_t>(count);
    for (size_t i = 0; i < count; ++i) {
      size_t at = header + i * 6;
      info->EventPropertyInfoArray[i].NameOffset = static_cast<uint32_t>(at);
      info_[at] = letters_[i];
      info_[at + 2] = 'x';
    }
  }

  uint32_t get_event_information(EVENT_RECORD*, TRACE_EVENT_INFO* buffer,
                                 uint32_t* buffer_size) override {
    if (buffer == nullptr || *buffer_size < info_.size()) {
      *buffer_size = static_cast<uint32_t>(info_.size());
      return kx::etw::kErrorInsufficientBuffer;
    }
    memcpy(buffer, info_.data(), info_.size());
    block_ = reinterpret_cast<uintptr_t>(buffer);
    return 0;
  }

  uint32_t get_property_size(EVENT_RECORD*, PROPERTY_DATA_DESCRIPTOR* descriptor,
                             uint32_t* property_size) override {
    const std::vector<uint8_t>* value = value_of(descriptor);
    if (value == nullptr) return kx::etw::kErrorInvalidParameter;
    *property_size = static_cast<uint32_t>(value->size());
    return 0;
  }

  uint32_t get_property(EVENT_RECORD*, PROPERTY_DATA_DESCRIPTOR* descriptor,
                        uint32_t buffer_size, uint8_t* buffer) override {
    const std::vector<uint8_t>* value = value_of(descriptor);
    if (value == nullptr) return kx::etw::kErrorInvalidParameter;
    if (buffer_size < value->size()) return kx::etw::kErrorInsufficientBuffer;
    if (!value->empty()) memcpy(buffer, value->data(), value->size());
    return 0;
  }

 private:
  const std::vector<uint8_t>* value_of(const PROPERTY_DATA_DESCRIPTOR* descriptor) const {
    const auto* info = reinterpret_cast<const TRACE_EVENT_INFO*>(info_.data());
    uintptr_t offset = static_cast<uintptr_t>(descriptor->PropertyName) - block_;
    for (size_t i = 0; i < values_.size(); ++i) {
      if (info->EventPropertyInfoArray[i].NameOffset == offset) return &values_[i];
    }
    return nullptr;
  }

  std::vector<uint8_t> letters_;
  std::vector<std::vector<uint8_t>> values_;
  std::vector<uint8_t> info_;
  uintptr_t block_ = 0;
};

int32_t check_message(const uint8_t* data, uint32_t length, void*) {
  kx::wire::DnsMessageView view;
  if (kx::wire::parse_dns_message(data, length, &view) != kx::wire::ParseResult::ok) abort();
  for (char c : view.device) {
    if (c == ':' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) abort();
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputTdh tdh;
  Input input{data, size};
  EVENT_RECORD record{};
  record.EventHeader.ProviderId = kx::sensor::kDnsServerProviderGuid;
  record.EventHeader.EventDescriptor.Id = static_cast<uint16_t>(255 + input.byte() % 5);
  size_t count = input.byte() % 16;
  uint64_t stamp = 0;
  for (int i = 0; i < 8; ++i) stamp |= uint64_t{input.byte()} << (8 * i);
  memcpy(&record.EventHeader.TimeStamp.QuadPart, &stamp, sizeof stamp);
  tdh.load(input, count);
  // A fresh state, so that buffer growth is exercised from empty every time.
  kx::sensor::EventDecodingState state(tdh);
  state.sink.handler = check_message;
  kx::sensor::process_event(state, &record);
  return 0;
}
