#include "text_format.h"

#include <charconv>
#include <ctime>

namespace kx::collector {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c >= 0x7f; }

void append_escape(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    default: break;
  }
  char escaped[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0x0f]};
  out.append(escaped, sizeof escaped);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text.data() + run_start, i - run_start);
    append_escape(out, c);
    run_start = i + 1;
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out += '"';
}

void append_base64(std::string& out, const uint8_t* data, size_t size) {
  size_t at = out.size();
  out.resize(at + (size + 2) / 3 * 4);
  char* p = &out[at];
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    *p++ = kBase64Alphabet[v >> 18];
    *p++ = kBase64Alphabet[(v >> 12) & 63];
    *p++ = kBase64Alphabet[(v >> 6) & 63];
    *p++ = kBase64Alphabet[v & 63];
  }
  size_t rest = size - i;
  if (rest == 0) return;
  uint32_t v = uint32_t{data[i]} << 16;
  if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
  *p++ = kBase64Alphabet[v >> 18];
  *p++ = kBase64Alphabet[(v >> 12) & 63];
  *p++ = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
  *p++ = '=';
}

void append_uint(std::string& out, uint64_t value) {
  char digits[20];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<size_t>(result.ptr - digits));
}

void UtcSecondsFormatter::append(std::string& out, int64_t seconds) {
  if (seconds != cached_seconds_) {
    time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    cached_length_ = gmtime_r(&t, &parts) != nullptr
                         ? strftime(cached_, sizeof cached_, "%Y-%m-%dT%H:%M:%S", &parts)
                         : 0;
    cached_seconds_ = seconds;
  }
  out.append(cached_, cached_length_);
}

}  // namespace kx::collector
