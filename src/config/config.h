// The configuration store: the key/value lines of the agent's one configuration file,
// read once at start and kept in file order. The store knows no keys of its own; its
// users decide what a key means.
//
// Line syntax: the first word is the key (folded to ASCII lower case), the rest of the
// line up to a '#' is the value, without the white space around it. '#' starts a
// comment anywhere, also inside a word. There is no separator character and no
// syntax error: a line yields one entry or nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::config {

struct ConfigEntry {
  std::string key;    // never empty, lower case
  std::string value;  // may be empty
};

class Config {
 public:
  // Empties the store, then appends one entry per line of the file that yields one.
  // Raises ConfigError "fopen(<path>) failed: <text>" when the file cannot be opened,
  // leaving the store empty. A read error later ends reading like the end of the file.
  void load(const std::string& path);

  // The value of the first entry with exactly this key; none when there is no such
  // entry (an empty value is a different answer). The view lives until the store is
  // loaded again or destroyed.
  std::optional<std::string_view> get(std::string_view key) const;

  // Copies of the values of every entry with this key, in file order.
  std::vector<std::string> get_all(std::string_view key) const;

  const std::vector<ConfigEntry>& entries() const { return entries_; }

 private:
  std::vector<ConfigEntry> entries_;
};

// The six characters the file format counts as white space: space, \t, \n, \v, \f, \r.
// Bytes 0x80 to 0xFF are not white space whatever the locale.
bool is_config_space(char c);

// Index of the first character at or after pos that is not white space, or the size.
size_t skip_config_space(std::string_view text, size_t pos);

// Index of the first white space character at or after pos, or the size.
size_t find_config_space(std::string_view text, size_t pos);

// One line of the file, its text ending at the first NUL or at the end of the view.
// Yields the entry of the line, or nothing for a line without a key.
std::optional<ConfigEntry> parse_config_line(std::string_view line);

}  // namespace kx::config
