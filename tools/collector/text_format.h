// Appending text forms of values to a reused string: JSON strings, base64, numbers and
// UTC times. Nothing here allocates once the string has room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::collector {

// Appends text as a quoted JSON string. The input is a byte string, not UTF-8: quote,
// backslash and control characters are escaped, and every byte at or above 0x80 is
// written as \u00XX (its Latin-1 code point), so that any input gives valid JSON and
// the bytes can be recovered.
void append_json_string(std::string& out, std::string_view text);

// Appends the standard base64 form (with padding) of the bytes.
void append_base64(std::string& out, const uint8_t* data, size_t size);

void append_uint(std::string& out, uint64_t value);

// Turns seconds since 1970 into "YYYY-MM-DDTHH:MM:SS" (UTC), remembering the last
// second formatted, since consecutive messages mostly share it.
class UtcSecondsFormatter {
 public:
  void append(std::string& out, int64_t seconds);

 private:
  int64_t cached_seconds_ = INT64_MIN;
  char cached_[32] = {};
  size_t cached_length_ = 0;
};

}  // namespace kx::collector
