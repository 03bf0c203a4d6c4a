// Any bytes as one configuration line: the entry must be made of the line's own text,
// with a clean lower-case key and a value trimmed of white space and comments.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

bool is_key_byte(char c) { return c != '#' && c != '\0' && !kx::config::is_config_space(c); }

// True when the line holds nothing but white space before its end or its first '#'.
bool has_no_word(std::string_view text) {
  for (char c : text) {
    if (c == '#') return true;
    if (!kx::config::is_config_space(c)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  std::string_view text(line);
  text = text.substr(0, text.find('\0'));
  std::optional<kx::config::ConfigEntry> entry = kx::config::parse_config_line(line);
  if (!entry) {
    check(has_no_word(text));
    return 0;
  }
  const std::string& key = entry->key;
  const std::string& value = entry->value;
  check(!key.empty());
  for (char c : key) check(is_key_byte(c) && !is_upper(c));
  check(value.find('#') == std::string::npos && value.find('\0') == std::string::npos);
  if (!value.empty()) {
    check(!kx::config::is_config_space(value.front()));
    check(!kx::config::is_config_space(value.back()));
    check(text.find(value) != std::string_view::npos);
  }
  check(text.size() >= key.size() + value.size());
  return 0;
}
