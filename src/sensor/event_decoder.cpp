#include "sensor/event_decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "logging/log.h"
#include "net/ip_text.h"
#include "wire/wire_format.h"

namespace kx::sensor {
namespace {

constexpr uint16_t kFirstPacketEventId = 256;
constexpr uint16_t kLastPacketEventId = 258;
// The provider's packet events put these first, whatever the event ID.
constexpr uint32_t kIsTcpPosition = 0;
constexpr uint32_t kServerIpPosition = 1;
constexpr uint32_t kDeviceIpPosition = 2;
// The packet data follows its size ('B'...) and is never among the first four.
constexpr uint32_t kFirstPacketDataPosition = 4;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr char kFailed[] = "ERROR - Process ETW event failed: ";

void log_call_failure(const char* call, uint32_t status) {
  std::string text = logging::system_error_text(static_cast<int32_t>(status));
  logging::log_message("%s%s failed: %s", kFailed, call, text.c_str());
}

void log_growth_failure(const char* buffer_name, int error) {
  std::string text = logging::errno_text(error);
  logging::log_message("%srealloc(%s) failed: %s", kFailed, buffer_name, text.c_str());
}

// Makes *block hold at least needed bytes, growing it to exactly needed when it is
// missing or smaller. On failure the block and its capacity are left as they were and
// the errno value is returned; 0 on success.
template <typename T>
int reserve(const EventDecodingState& state, T** block, uint32_t* capacity, uint32_t needed) {
  if (*block != nullptr && needed <= *capacity) return 0;
  errno = 0;
  void* grown = state.reallocate(*block, needed);
  if (grown == nullptr) {
    int error = errno;
    return error != 0 ? error : ENOMEM;
  }
  *block = static_cast<T*>(grown);
  *capacity = needed;
  return 0;
}

bool is_from_dns_server(const EVENT_RECORD* record) {
  return memcmp(&record->EventHeader.ProviderId, &kDnsServerProviderGuid, 16) == 0;
}

bool is_packet_event(uint16_t event_id) {
  return event_id >= kFirstPacketEventId && event_id <= kLastPacketEventId;
}

// The name of the property at a position: the first byte of its UTF-16LE name is what
// the packet data search looks at, and the descriptor passes the whole name on.
const uint8_t* property_name(const EventDecodingState& state, uint32_t position) {
  const EVENT_PROPERTY_INFO* properties = state.event_info->EventPropertyInfoArray;
  return reinterpret_cast<const uint8_t*>(state.event_info) + properties[position].NameOffset;
}

PROPERTY_DATA_DESCRIPTOR descriptor_for(const EventDecodingState& state, uint32_t position) {
  PROPERTY_DATA_DESCRIPTOR descriptor{};
  descriptor.PropertyName = reinterpret_cast<uintptr_t>(property_name(state, position));
  descriptor.ArrayIndex = etw::kWholeProperty;
  descriptor.Reserved = 0;
  return descriptor;
}

// Both information calls run for every event of the provider: the size query first,
// then the fill into the grow-only block.
bool fetch_event_information(EventDecodingState& state, EVENT_RECORD* record) {
  uint32_t size = 0;
  uint32_t status = state.tdh->get_event_information(record, nullptr, &size);
  if (status != etw::kErrorInsufficientBuffer) {
    std::string text = logging::system_error_text(static_cast<int32_t>(status));
    logging::log_message("ERROR - TdhGetEventInformation() failed: %s", text.c_str());
    return false;
  }
  if (int error = reserve(state, &state.event_info, &state.event_info_capacity, size)) {
    log_growth_failure("event_info", error);
    return false;
  }
  status = state.tdh->get_event_information(record, state.event_info, &size);
  if (status != etw::kErrorSuccess) {
    log_call_failure("TdhGetEventInformation()", status);
    return false;
  }
  return true;
}

// The first position from 4 on whose name begins with 'P' right after one beginning
// with 'B' (BufferSize, PacketData).
bool find_packet_data_position(const EventDecodingState& state, uint16_t event_id,
                               uint32_t* position) {
  uint32_t count = state.event_info->PropertyCount;
  for (uint32_t i = kFirstPacketDataPosition; i < count; ++i) {
    if (property_name(state, i)[0] == 'P' && property_name(state, i - 1)[0] == 'B') {
      *position = i;
      return true;
    }
  }
  logging::log_message("%sPacket data index not found for event ID %d with property count %d",
                       kFailed, static_cast<int>(event_id), static_cast<int>(count));
  return false;
}

// One byte, as delivered; a wider property is refused by the platform's size check.
bool read_is_tcp(EventDecodingState& state, EVENT_RECORD* record) {
  PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(state, kIsTcpPosition);
  uint32_t unused_size = 0;
  uint32_t status = state.tdh->get_property_size(record, &descriptor, &unused_size);
  if (status != etw::kErrorSuccess) {
    log_call_failure("TdhGetPropertySize(is_tcp)", status);
    return false;
  }
  status = state.tdh->get_property(record, &descriptor, 1, &state.is_tcp);
  if (status != etw::kErrorSuccess) {
    log_call_failure("TdhGetProperty(is_tcp)", status);
    return false;
  }
  return true;
}

struct AddressBuffer {
  const char* name;  // server_ip or device_ip, for the log lines
  char** text;
  uint32_t* capacity;
  int32_t* length;
};

// An address arrives as NUL-terminated 8-bit text; its length is the size less that
// NUL. An empty property has no terminator to strip, and a text above 255 bytes does not
// fit the message's one-byte length, so both are refused rather than framed wrongly.
bool read_address(EventDecodingState& state, EVENT_RECORD* record, uint32_t position,
                  uint16_t event_id, const AddressBuffer& out) {
  PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(state, position);
  char call[64];
  uint32_t size = 0;
  uint32_t status = state.tdh->get_property_size(record, &descriptor, &size);
  if (status != etw::kErrorSuccess) {
    snprintf(call, sizeof call, "TdhGetPropertySize(%s)", out.name);
    log_call_failure(call, status);
    return false;
  }
  if (size == 0) {
    logging::log_message("%sEmpty %s for event ID %d", kFailed, out.name,
                         static_cast<int>(event_id));
    return false;
  }
  if (size - 1 > wire::kMaxAddressLength) {
    logging::log_message("%s%s of %u bytes too long for event ID %d", kFailed, out.name,
                         static_cast<unsigned>(size), static_cast<int>(event_id));
    return false;
  }
  if (int error = reserve(state, out.text, out.capacity, size)) {
    log_growth_failure(out.name, error);
    return false;
  }
  *out.length = static_cast<int32_t>(size - 1);
  status = state.tdh->get_property(record, &descriptor, *out.capacity,
                                   reinterpret_cast<uint8_t*>(*out.text));
  if (status != etw::kErrorSuccess) {
    snprintf(call, sizeof call, "TdhGetProperty(%s)", out.name);
    log_call_failure(call, status);
    return false;
  }
  return true;
}

bool is_ascii_letter(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

// Only IPv4 text goes on: a ':' marks IPv6, a letter a name.
bool is_ipv4_text(const char* text, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    uint8_t byte = static_cast<uint8_t>(text[i]);
    if (byte == ':' || is_ascii_letter(byte)) return false;
  }
  return true;
}

// With ipv6-clients on, IPv6 text goes on as delivered, except a mapped address, which
// becomes its dotted IPv4 text; a name still ends the event.
bool accept_ipv6_text(EventDecodingState& state) {
  uint8_t address[16];
  std::string_view text(state.device_ip, static_cast<size_t>(state.device_ip_length));
  if (!state.ipv6_clients || !net::parse_ipv6(text, address)) return false;
  if (!net::is_ipv4_mapped(address)) return true;
  char dotted[16];
  size_t length = net::format_ipv4(address + 12, dotted);
  if (int error = reserve(state, &state.device_ip, &state.device_ip_capacity,
                          static_cast<uint32_t>(length + 1))) {
    log_growth_failure("device_ip", error);
    return false;
  }
  memcpy(state.device_ip, dotted, length);
  state.device_ip[length] = '\0';
  state.device_ip_length = static_cast<int32_t>(length);
  return true;
}

// The message length must fit its signed 32-bit field; the platform's events are far
// smaller, but a size from outside is not trusted to keep the sum from wrapping.
bool message_length_for(const EventDecodingState& state, uint32_t packet_size,
                        uint16_t event_id, int32_t* length) {
  int64_t total = static_cast<int64_t>(wire::dns_message_size(
      static_cast<size_t>(state.device_ip_length), static_cast<size_t>(state.server_ip_length),
      0)) + packet_size;
  if (total > INT32_MAX) {
    logging::log_message("%spacket_data of %u bytes too long for event ID %d", kFailed,
                         static_cast<unsigned>(packet_size), static_cast<int>(event_id));
    return false;
  }
  *length = static_cast<int32_t>(total);
  return true;
}

// Frames the header through the one definition of the layout and reads the packet data
// straight into its place behind it.
bool frame_message(EventDecodingState& state, EVENT_RECORD* record, uint32_t packet_position,
                   uint16_t event_id) {
  PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(state, packet_position);
  uint32_t packet_size = 0;
  uint32_t status = state.tdh->get_property_size(record, &descriptor, &packet_size);
  if (status != etw::kErrorSuccess) {
    log_call_failure("TdhGetPropertySize(packet_data)", status);
    return false;
  }
  int32_t length = 0;
  if (!message_length_for(state, packet_size, event_id, &length)) return false;
  if (int error = reserve(state, &state.message, &state.message_capacity,
                          static_cast<uint32_t>(length))) {
    log_growth_failure("message", error);
    return false;
  }
  state.message_length = length;
  int64_t seconds = seconds_since_epoch(record->EventHeader.TimeStamp.QuadPart,
                                        state.epoch_offset);
  size_t packet_offset = wire::write_dns_message_header(
      state.message, static_cast<uint32_t>(seconds),
      std::string_view(state.device_ip, static_cast<size_t>(state.device_ip_length)),
      std::string_view(state.server_ip, static_cast<size_t>(state.server_ip_length)),
      state.is_tcp);
  status = state.tdh->get_property(record, &descriptor, packet_size,
                                   state.message + packet_offset);
  if (status != etw::kErrorSuccess) {
    log_call_failure("TdhGetProperty(packet_data)", status);
    return false;
  }
  return true;
}

// True when the event became a message for the sink.
bool decode_event(EventDecodingState& state, EVENT_RECORD* record) {
  if (!is_from_dns_server(record)) return false;
  if (!fetch_event_information(state, record)) return false;
  uint16_t event_id = record->EventHeader.EventDescriptor.Id;
  if (!is_packet_event(event_id)) return false;
  uint32_t packet_position = 0;
  if (!find_packet_data_position(state, event_id, &packet_position)) return false;
  if (!read_is_tcp(state, record)) return false;
  if (!read_address(state, record, kServerIpPosition, event_id,
                    {"server_ip", &state.server_ip, &state.server_ip_capacity,
                     &state.server_ip_length})) {
    return false;
  }
  if (!read_address(state, record, kDeviceIpPosition, event_id,
                    {"device_ip", &state.device_ip, &state.device_ip_capacity,
                     &state.device_ip_length})) {
    return false;
  }
  if (!is_ipv4_text(state.device_ip, state.device_ip_length) && !accept_ipv6_text(state)) {
    return false;
  }
  if (!frame_message(state, record, packet_position, event_id)) return false;
  send_message(state.sink, state.message, static_cast<uint32_t>(state.message_length));
  return true;
}

}  // namespace

void* reallocate_block(void* block, size_t size) { return realloc(block, size); }

EventDecodingState::EventDecodingState(TdhApi& tdh_api, Reallocate reallocate_with)
    : tdh(&tdh_api), reallocate(reallocate_with) {}

EventDecodingState::~EventDecodingState() {
  free(event_info);
  free(server_ip);
  free(device_ip);
  free(message);
}

// A sink that refuses a message by raising (the sensor queue does for a message longer
// than its ring) loses that message only; the error must not unwind into the platform.
void process_event(EventDecodingState& state, EVENT_RECORD* record) noexcept {
  try {
    if (!decode_event(state, record)) state.skipped.add(1);
  } catch (const std::exception& error) {
    logging::log_message("%s%s", kFailed, error.what());
  } catch (...) {
    logging::log_message("%sunknown error", kFailed);
  }
}

int64_t seconds_since_epoch(int64_t timestamp, int64_t epoch_offset) {
  // timestamp - epoch_offset = quotient * 10^7 + remainder, split so nothing overflows.
  int64_t quotient = timestamp / kTicksPerSecond - epoch_offset / kTicksPerSecond;
  int64_t remainder = timestamp % kTicksPerSecond - epoch_offset % kTicksPerSecond;
  if (remainder >= kTicksPerSecond) {
    ++quotient;
    remainder -= kTicksPerSecond;
  } else if (remainder <= -kTicksPerSecond) {
    --quotient;
    remainder += kTicksPerSecond;
  }
  // Truncation toward zero: a remainder against the quotient's sign moves it one step
  // toward zero.
  if (quotient > 0 && remainder < 0) return quotient - 1;
  if (quotient < 0 && remainder > 0) return quotient + 1;
  return quotient;
}

}  // namespace kx::sensor
