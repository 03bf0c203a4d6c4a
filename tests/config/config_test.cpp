#include "config/config.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_util.h"

namespace {

using kx::config::ConfigEntry;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(ParseConfigLine, YieldsTheFirstWordFoldedAndTheRestUpToAComment) {
  // The line, then its entry as key|value, or "none".
  const std::pair<std::string, std::string> cases[] = {
      {"  \tTarget 10.0.0.5:9000   30  # primary", "target|10.0.0.5:9000   30"}, {"name#x y", "name|"},
      {"name=value", "name=value|"}, {"key a#b c", "key|a"}, {"\vkey\fa \t b  \r\n", "key|a \t b"},
      {"", "none"}, {"   # indented comment", "none"},
      // A NUL ends the text of the line.
      {"key value\0 hidden"s, "key|value"},
      // Bytes above 0x7F are neither white space nor folded; only A to Z are.
      {"K\xC4[@Z`{\xA0v w", "k\xC4[@z`{\xA0v|w"},
  };
  for (const auto& [line, expected] : cases) {
    const std::optional<ConfigEntry> entry = kx::config::parse_config_line(line);
    EXPECT_EQ(entry ? entry->key + "|" + entry->value : "none", expected) << line;
  }
}

// 4095 bytes fill one read; the rest of a longer line is read as a line of its own.
TEST(ConfigFile, YieldsOneEntryPerLineThatHasAKeyInFileOrder) {
  kx::test::TempDir dir;
  const std::string path = dir.file("agent.conf");
  const std::string long_value(4091, 'v');
  kx::test::write_file(path, "\n# only\n   \ntarget 10.0.0.1\r\nqueue-size 5\nTARGET 10.0.0.2 30\ntarget\n"
                             "key value\0 hidden words\nkey "s + long_value + "second piece\nlast");
  kx::config::Config config;
  config.load(path);
  Lines entries;
  for (const ConfigEntry& entry : config.entries()) entries.push_back(entry.key + "|" + entry.value);
  EXPECT_EQ(entries, (Lines{"target|10.0.0.1", "queue-size|5", "target|10.0.0.2 30", "target|", "key|value",
                            "key|" + long_value, "second|piece", "last|"}));
}

}  // namespace
