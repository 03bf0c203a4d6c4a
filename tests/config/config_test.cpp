#include "config/config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "agent/errors.h"
#include "logging/log.h"
#include "support/test_util.h"

namespace kx::config {

// Found by argument-dependent lookup from the comparisons of gtest and std::vector.
bool operator==(const ConfigEntry& a, const ConfigEntry& b) {
  return a.key == b.key && a.value == b.value;
}
void PrintTo(const ConfigEntry& entry, std::ostream* out) {
  *out << "{\"" << entry.key << "\", \"" << entry.value << "\"}";
}

}  // namespace kx::config

namespace {

using kx::config::Config;
using kx::config::ConfigEntry;
using kx::config::parse_config_line;
using namespace std::string_literals;

struct LineCase {
  std::string line;
  std::optional<std::string> key;  // none: the line yields no entry
  std::string value;
};

class ParseConfigLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseConfigLine, YieldsTheExpectedEntry) {
  const LineCase& c = GetParam();
  std::optional<ConfigEntry> entry = parse_config_line(c.line);
  if (!c.key) {
    EXPECT_FALSE(entry.has_value()) << "key " << entry->key;
    return;
  }
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->key, *c.key);
  EXPECT_EQ(entry->value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseConfigLine,
    ::testing::Values(
        LineCase{"queue-size 1000", "queue-size", "1000"},
        LineCase{"  \tTarget 10.0.0.5:9000   30  # primary", "target", "10.0.0.5:9000   30"},
        LineCase{"logging", "logging", ""},
        LineCase{"name#x y", "name", ""},
        LineCase{"key = value", "key", "= value"},
        LineCase{"name=value", "name=value", ""},
        LineCase{"# comment", std::nullopt, ""},
        LineCase{"", std::nullopt, ""},
        LineCase{" \t\v\f\r\n", std::nullopt, ""},
        LineCase{"   # indented comment", std::nullopt, ""},
        LineCase{"KEY Value", "key", "Value"},
        LineCase{"target 10.0.0.5#old", "target", "10.0.0.5"},
        LineCase{"key a#b c", "key", "a"},
        LineCase{"key #", "key", ""},
        LineCase{"key  a \t b  \r\n", "key", "a \t b"},
        LineCase{"\vkey\fvalue\f", "key", "value"},
        LineCase{"logging on   # comment", "logging", "on"},
        LineCase{"logging on now", "logging", "on now"},
        // A NUL ends the text of the line.
        LineCase{"key value\0 hidden"s, "key", "value"},
        LineCase{"\0key value"s, std::nullopt, ""},
        // Bytes above 0x7F are neither white space nor folded.
        LineCase{"K\xC4Y v\xA0w", "k\xC4y", "v\xA0w"},
        LineCase{"key\xA0value", "key\xA0value", ""},
        LineCase{"\xEF\xBB\xBFqueue-size 5", "\xEF\xBB\xBFqueue-size", "5"},
        LineCase{"[@AZ`az{] x", "[@az`az{]", "x"}));

class ConfigFile : public ::testing::Test {
 protected:
  // Writes the bytes to a file of the temporary folder and loads it.
  void load(const std::string& content) {
    kx::test::write_file(path_, content);
    config_.load(path_);
  }

  std::vector<ConfigEntry> entries() const { return config_.entries(); }

  kx::test::TempDir dir_;
  std::string path_ = dir_.file("agent.conf");
  Config config_;
};

TEST_F(ConfigFile, BlankAndCommentLinesYieldAnEmptyStore) {
  for (const char* content : {"", "\n\n", "# only\n   \n\t# comments\n"}) {
    load(content);
    EXPECT_TRUE(entries().empty()) << content;
    EXPECT_FALSE(config_.get("queue-size").has_value());
    EXPECT_TRUE(config_.get_all("target").empty());
  }
}

TEST_F(ConfigFile, GetTellsAnEmptyValueFromAMissingKey) {
  load("logging\n");
  ASSERT_TRUE(config_.get("logging").has_value());
  EXPECT_EQ(*config_.get("logging"), "");
  EXPECT_FALSE(config_.get("target").has_value());
}

TEST_F(ConfigFile, RepeatedKeysKeepFileOrder) {
  load("target 10.0.0.1\nqueue-size 5\nTARGET 10.0.0.2 30\ntarget\n");
  EXPECT_EQ(config_.get("target"), std::optional<std::string_view>("10.0.0.1"));
  EXPECT_EQ(config_.get_all("target"), (std::vector<std::string>{"10.0.0.1", "10.0.0.2 30", ""}));
  EXPECT_EQ(config_.get_all("queue-size"), std::vector<std::string>{"5"});
}

TEST_F(ConfigFile, CrLfLineEndsYieldTheSameEntriesAsLf) {
  const std::string lines[] = {"queue-size 1000", "# comment", "", "target 10.0.0.5:9000  30",
                               "logging on", "last"};
  std::string lf, crlf;
  for (const std::string& line : lines) {
    lf += line + "\n";
    crlf += line + "\r\n";
  }
  load(lf);
  std::vector<ConfigEntry> with_lf = entries();
  load(crlf);
  EXPECT_EQ(entries(), with_lf);
  EXPECT_EQ(with_lf.size(), 4u);
}

TEST_F(ConfigFile, LastLineWithoutLineFeedIsRead) {
  load("queue-size 7\ntarget 10.0.0.9");
  EXPECT_EQ(entries(), (std::vector<ConfigEntry>{{"queue-size", "7"}, {"target", "10.0.0.9"}}));
}

TEST_F(ConfigFile, LineLongerThan4095BytesIsReadInPieces) {
  // 4095 bytes fill the first read; the rest of the line is a line of its own.
  std::string first_piece = "key " + std::string(4091, 'v');
  load(first_piece + "second piece\nafter 1\n");
  EXPECT_EQ(entries(), (std::vector<ConfigEntry>{{"key", std::string(4091, 'v')},
                                                 {"second", "piece"},
                                                 {"after", "1"}}));
}

TEST_F(ConfigFile, LineOfExactly4095BytesIsOnePiece) {
  std::string line = "key " + std::string(4090, 'v') + "w";
  ASSERT_EQ(line.size(), 4095u);
  load(line + "\nnext 2\n");
  // The line feed comes alone in the second read and yields nothing.
  EXPECT_EQ(entries(), (std::vector<ConfigEntry>{{"key", line.substr(4)}, {"next", "2"}}));
}

TEST_F(ConfigFile, NulByteHidesTheRestOfItsLine) {
  load("key value\0 hidden words\nother 2\n"s);
  EXPECT_EQ(entries(), (std::vector<ConfigEntry>{{"key", "value"}, {"other", "2"}}));
}

TEST_F(ConfigFile, ByteOrderMarkBecomesPartOfTheFirstKey) {
  load("\xEF\xBB\xBFqueue-size 5\nqueue-size 6\n");
  EXPECT_EQ(entries().front().key, "\xEF\xBB\xBFqueue-size");
  EXPECT_EQ(config_.get("queue-size"), std::optional<std::string_view>("6"));
}

TEST_F(ConfigFile, MissingFileRaisesConfigErrorAndEmptiesTheStore) {
  load("a 1\n");
  std::string missing = dir_.file("missing.conf");
  try {
    config_.load(missing);
    FAIL() << "no error raised";
  } catch (const kx::config::ConfigError& error) {
    EXPECT_EQ(std::string(error.what()),
              "fopen(" + missing + ") failed: " + kx::logging::errno_text(ENOENT));
  }
  EXPECT_TRUE(entries().empty());
  EXPECT_FALSE(config_.get("a").has_value());
}

}  // namespace
