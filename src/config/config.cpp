#include "config/config.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "agent/errors.h"
#include "logging/log.h"

namespace kx::config {
namespace {

// One read takes at most 4095 bytes and the terminating NUL; a longer line is read in
// pieces, each of which is parsed as a line of its own.
constexpr int kReadBufferSize = 4096;

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

bool ends_word(char c) { return c == '#' || is_config_space(c); }

// Index just past the word starting at pos.
size_t skip_word(std::string_view text, size_t pos) {
  while (pos < text.size() && !ends_word(text[pos])) ++pos;
  return pos;
}

// Only A to Z: a locale-dependent tolower could change bytes above 0x7F.
std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Where the value starting at start ends: after its last word before a '#' or the
// end of the text, so white space inside the value stays and white space after it
// does not.
size_t value_end(std::string_view text, size_t start) {
  size_t end = start;
  size_t pos = start;
  while (pos < text.size() && text[pos] != '#') {
    pos = skip_word(text, pos);
    end = pos;
    pos = skip_config_space(text, pos);
  }
  return end;
}

}  // namespace

bool is_config_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

size_t skip_config_space(std::string_view text, size_t pos) {
  while (pos < text.size() && is_config_space(text[pos])) ++pos;
  return pos;
}

size_t find_config_space(std::string_view text, size_t pos) {
  while (pos < text.size() && !is_config_space(text[pos])) ++pos;
  return pos;
}

std::optional<ConfigEntry> parse_config_line(std::string_view line) {
  std::string_view text = line.substr(0, line.find('\0'));
  size_t key_start = skip_config_space(text, 0);
  size_t key_end = skip_word(text, key_start);
  if (key_end == key_start) return std::nullopt;
  size_t value_start = skip_config_space(text, key_end);
  size_t end = value_end(text, value_start);
  return ConfigEntry{ascii_lower(text.substr(key_start, key_end - key_start)),
                     std::string(text.substr(value_start, end - value_start))};
}

void Config::load(const std::string& path) {
  entries_.clear();
  File file(fopen(path.c_str(), "r"), fclose);
  if (!file) {
    int error = errno;
    kx::error::raise_errno_error<ConfigError>("fopen", path, error);
  }
  char buffer[kReadBufferSize];
  // fgets stops after a line feed or 4095 bytes; the piece is parsed up to its first
  // NUL, so a NUL inside a line hides the rest of that piece.
  while (fgets(buffer, kReadBufferSize, file.get()) != nullptr) {
    std::optional<ConfigEntry> entry = parse_config_line(buffer);
    if (entry) entries_.push_back(std::move(*entry));
  }
}

std::optional<std::string_view> Config::get(std::string_view key) const {
  for (const ConfigEntry& entry : entries_) {
    if (entry.key == key) return std::string_view(entry.value);
  }
  return std::nullopt;
}

std::vector<std::string> Config::get_all(std::string_view key) const {
  std::vector<std::string> values;
  for (const ConfigEntry& entry : entries_) {
    if (entry.key == key) values.push_back(entry.value);
  }
  return values;
}

}  // namespace kx::config
