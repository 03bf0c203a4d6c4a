#include "config/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "support/log_capture.h"

namespace {

using kx::config::ConfigEntry;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

// Bytes above 0x7F are neither white space nor folded; a NUL ends the text of its line.
// 4095 bytes fill one read; the rest of a longer line is read as a line of its own.
TEST(ConfigFile, YieldsOneEntryPerLineThatHasAKeyInFileOrder) {
  kx::test::TempDir dir;
  const std::string path = dir.file("agent.conf");
  const std::string long_value(4091, 'v');
  kx::test::write_file(path, "\n# only\n   # indented\n  \tTARGET 10.0.0.1:9000   30  # primary\r\n"
                             "queue-size 5\ntarget\nname#x y\nname=value\nkey a#b c\n\vkey\fa \t b\n"
                             "K\xC4[@Z`{\xA0v w\nkey value\0 hidden words\n"
                             "key "s + long_value + "second piece\nlast");
  kx::config::Config config;
  config.load(path);
  Lines entries;
  for (const ConfigEntry& entry : config.entries()) entries.push_back(entry.key + "|" + entry.value);
  EXPECT_EQ(entries, (Lines{"target|10.0.0.1:9000   30", "queue-size|5", "target|", "name|", "name=value|",
                            "key|a", "key|a \t b", "k\xC4[@z`{\xA0v|w", "key|value", "key|" + long_value,
                            "second|piece", "last|"}));
}

class Settings : public ::testing::Test {
 protected:
  void TearDown() override { kx::config::reset_settings(); }

  // Returns the messages logged while the text is applied from start-up settings.
  Lines apply(const std::string& content) {
    kx::test::write_file(path_, content);
    kx::config::Config config;
    config.load(path_);
    kx::config::reset_settings();
    kx::test::LogCapture log;
    kx::config::apply_settings(config);
    ipv6_clients_ = kx::config::read_ipv6_clients(config);
    return log.messages();
  }

  kx::test::TempDir dir_;
  std::string path_ = dir_.file("agent.conf");
  bool ipv6_clients_ = false;
};

// A statistics interval turns the report off only when it is a number reading as 0.
// Numbers read like atol, clamped to 32 bits; a setting takes the bit pattern.
TEST_F(Settings, EachSettingComesFromTheFirstLineWithItsKey) {
  const struct { std::string content; uint32_t queue_size, interval; bool ipv6_clients; } cases[] = {
      {"statistics-interval\n", 104857600, 60, false},
      {"queue-size 1000\nstatistics-interval 0x10\nipv6-clients on\n", 1000, 0, true},
      {"queue-size 0\nqueue-size 3000\nstatistics-interval 30s\nipv6-clients ON\n", 104857600, 30, false},
      {"queue-size -1\nstatistics-interval off\n", 4294967295u, 60, false},
      {"queue-size +7x\nstatistics-interval 00000000000000000000042\n", 7, 42, false},
      {"queue-size -99999999999999999999999999999\nstatistics-interval 2147483648\n", 2147483648u, 2147483647,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    Lines logged = {"Config: queue-size = " + std::to_string(c.queue_size)};
    if (c.ipv6_clients) logged.push_back("Config: ipv6-clients = on");
    EXPECT_EQ(apply(c.content), logged);
    EXPECT_EQ(kx::config::queue_size, c.queue_size);
    EXPECT_EQ(kx::config::statistics_interval, c.interval);
    EXPECT_EQ(ipv6_clients_, c.ipv6_clients);
  }
}

// A port or timeout reading as 0 keeps the default; the port keeps the low 16 bits and
// the first ':' ends the address wherever it stands.
TEST_F(Settings, EachTargetLineAddsOneTargetInFileOrderAndLogsIt) {
  const Lines log = apply("target 10.0.0.1:9000\t \t30\nqueue-size 2048\nTarget 10.0.0.2\ntarget\n"
                          "target 10.0.0.3:70000 -1 # backup\ntarget 10.0.0.4:0 0\ntarget 10.0.0.5 30:40\n");
  EXPECT_EQ(kx::config::target_list.size(), 6u);
  EXPECT_EQ(log, (Lines{
                     "Config: queue-size = 2048",
                     "Config: target = ip:10.0.0.1 port:9000 timeout:30",
                     "Config: target = ip:10.0.0.2 port:8100 timeout:5",
                     "Config: target = ip: port:8100 timeout:5",
                     "Config: target = ip:10.0.0.3 port:4464 timeout:4294967295",
                     "Config: target = ip:10.0.0.4 port:8100 timeout:5",
                     "Config: target = ip:10.0.0.5 30 port:40 timeout:30",
                 }));
}

}  // namespace
