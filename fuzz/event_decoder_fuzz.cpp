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
#include <string>

#include "wire/wire_format.h"
#include "sensor/event_decoder.h"
#include "support/fake_etw.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t byte() { return at < size ? data[at++] : 0; }
};

// The event the input describes; each name is its letter and its position, so that no
// two properties share one.
kx::test::FakeEvent event_of(Input& input) {
  kx::test::FakeEvent event;
  event.id(static_cast<uint16_t>(255 + input.byte() % 5));
  size_t count = input.byte() % 16;
  uint64_t stamp = 0;
  for (int i = 0; i < 8; ++i) stamp |= uint64_t{input.byte()} << (8 * i);
  event.timestamp(static_cast<int64_t>(stamp));
  for (size_t i = 0; i < count; ++i) {
    std::string name(1, static_cast<char>(input.byte()));
    size_t size = input.byte();
    size |= size_t{input.byte()} << 8;
    if (size > input.size - input.at) size = input.size - input.at;
    event.property(name + std::to_string(i),
                   kx::test::Bytes(input.data + input.at, input.data + input.at + size));
    input.at += size;
  }
  return event;
}

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
  static kx::test::FakeTdh tdh;
  Input input{data, size};
  kx::test::FakeEvent event = event_of(input);
  // A fresh state, so that buffer growth is exercised from empty every time.
  kx::sensor::EventDecodingState state(tdh);
  state.sink.handler = check_message;
  kx::sensor::process_event(state, event.record());
  return 0;
}
