#include "config/config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "support/test_util.h"

namespace {

using kx::config::ConfigEntry;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(ParseConfigLine, YieldsTheFirstWordFoldedAndTheRestUpToAComment) {
  // The line, then its entry as key|value, or "none".
  const std::pair<std::string, std::string> cases[] = {
      {"queue-size 1000", "queue-size|1000"}, {"logging", "logging|"},
      {"  \tTarget 10.0.0.5:9000   30  # primary", "target|10.0.0.5:9000   30"},
      {"name#x y", "name|"}, {"key = value", "key|= value"}, {"name=value", "name=value|"},
      {"target 10.0.0.5#old", "target|10.0.0.5"}, {"key a#b c", "key|a"}, {"key #", "key|"},
      {"key  a \t b  \r\n", "key|a \t b"}, {"\vkey\fvalue\f", "key|value"}, {"# comment", "none"},
      {"", "none"}, {" \t\v\f\r\n", "none"}, {"   # indented comment", "none"},
      // A NUL ends the text of the line.
      {"key value\0 hidden"s, "key|value"}, {"\0key value"s, "none"},
      // Bytes above 0x7F are neither white space nor folded.
      {"K\xC4Y v\xA0w", "k\xC4y|v\xA0w"}, {"key\xA0value", "key\xA0value|"}, {"[@AZ`az{] x", "[@az`az{]|x"},
  };
  for (const auto& [line, expected] : cases) {
    const std::optional<ConfigEntry> entry = kx::config::parse_config_line(line);
    EXPECT_EQ(entry ? entry->key + "|" + entry->value : "none", expected) << line;
  }
}

class ConfigFile : public ::testing::Test {
 protected:
  // Loads a file of these bytes and gives its entries, each as key|value.
  Lines load(const std::string& content) {
    kx::test::write_file(path_, content);
    config_.load(path_);
    Lines entries;
    for (const ConfigEntry& entry : config_.entries()) entries.push_back(entry.key + "|" + entry.value);
    return entries;
  }

  kx::test::TempDir dir_;
  std::string path_ = dir_.file("agent.conf");
  kx::config::Config config_;
};

TEST_F(ConfigFile, YieldsOneEntryPerLineThatHasAKeyInFileOrder) {
  // 4095 bytes fill one read; the rest of a longer line is read as a line of its own.
  const std::string long_line = "key " + std::string(4091, 'v');
  const std::string line_of_4095 = "key " + std::string(4090, 'v') + "w";
  const struct { const char* name; std::string content; Lines entries; } cases[] = {
      {"empty file", "", {}},
      {"blank and comment lines", "\n\n# only\n   \n\t# comments\n", {}},
      {"repeated keys", "target 10.0.0.1\nqueue-size 5\nTARGET 10.0.0.2 30\ntarget\n",
       {"target|10.0.0.1", "queue-size|5", "target|10.0.0.2 30", "target|"}},
      {"CR LF line ends", "queue-size 1000\r\n# comment\r\n\r\ntarget 10.0.0.5:9000  30\r\nlast\r\n",
       {"queue-size|1000", "target|10.0.0.5:9000  30", "last|"}},
      {"last line without line feed", "queue-size 7\ntarget 10.0.0.9", {"queue-size|7", "target|10.0.0.9"}},
      {"NUL hides the rest of its line", "key value\0 hidden words\nother 2\n"s, {"key|value", "other|2"}},
      {"byte-order mark joins the first key", "\xEF\xBB\xBFqueue-size 5\nqueue-size 6\n",
       {"\xEF\xBB\xBFqueue-size|5", "queue-size|6"}},
      {"line longer than 4095 bytes", long_line + "second piece\nafter 1\n",
       {"key|" + long_line.substr(4), "second|piece", "after|1"}},
      // The line feed comes alone in the second read and yields nothing.
      {"line of exactly 4095 bytes", line_of_4095 + "\nnext 2\n", {"key|" + line_of_4095.substr(4), "next|2"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load(c.content), c.entries) << c.name;
  }
}

TEST_F(ConfigFile, GetGivesTheFirstValueOrNoneAndGetAllEveryValueInFileOrder) {
  load("target 10.0.0.1\nlogging\nTARGET 10.0.0.2 30\ntarget\n");
  EXPECT_EQ(config_.get("target"), std::optional<std::string_view>("10.0.0.1"));
  EXPECT_EQ(config_.get_all("target"), (Lines{"10.0.0.1", "10.0.0.2 30", ""}));
  // An empty value is not a missing key.
  EXPECT_EQ(config_.get("logging"), std::optional<std::string_view>(""));
  EXPECT_FALSE(config_.get("queue-size").has_value());
  EXPECT_TRUE(config_.get_all("queue-size").empty());
}

TEST_F(ConfigFile, MissingFileRaisesConfigErrorAndEmptiesTheStore) {
  load("a 1\n");
  const std::string missing = dir_.file("missing.conf");
  std::string raised;
  try {
    config_.load(missing);
  } catch (const kx::config::ConfigError& error) {
    raised = error.what();
  }
  EXPECT_EQ(raised, "fopen(" + missing + ") failed: " + kx::logging::errno_text(ENOENT));
  EXPECT_TRUE(config_.entries().empty());
}

}  // namespace
