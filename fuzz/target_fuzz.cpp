// Any bytes as the value of a target line: the address is a prefix of the text, the
// port and the timeout are never 0, and numbers read like the C library's strtoll
// clamped to 32 bits.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/settings.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The C library's reading of a decimal number, clamped to the signed 32-bit range.
int32_t reference_decimal(const std::string& text) {
  long long number = std::strtoll(text.c_str(), nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  kx::config::Target target;
  kx::config::parse_target(target, text);
  check(text.compare(0, target.ip.size(), target.ip) == 0);
  check(target.ip.find(':') == std::string::npos);
  check(target.port != 0 && target.timeout != 0);
  if (text.find(':') == std::string::npos) check(target.port == kx::config::kDefaultPort);

  // strtoll stops at a NUL, so compare only texts without one.
  if (text.find('\0') == std::string::npos) {
    check(kx::config::read_decimal(text) == reference_decimal(text));
  }
  return 0;
}
