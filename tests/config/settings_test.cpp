#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace {

using kx::config::Target;
using Lines = std::vector<std::string>;

TEST(ReadDecimal, ReadsLikeAtolClampedTo32Bits) {
  const std::pair<std::string, int32_t> cases[] = {
      {"", 0}, {"many", 0}, {"1000", 1000}, {"+7", 7}, {"-1", -1}, {"12abc", 12},
      {" \t\v\f\r\n42", 42}, {"\xA0" "42", 0}, {"- 5", 0}, {"++1", 0}, {"-", 0},
      {"00000000000000000000042", 42}, {"2147483647", 2147483647}, {"2147483648", 2147483647},
      {"4294967296", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1}, {"-99999999999999999999999999999", -2147483647 - 1},
  };
  for (const auto& [text, number] : cases) {
    EXPECT_EQ(kx::config::read_decimal(text), number) << text;
  }
}

TEST(ParseTarget, SetsAddressPortAndTimeout) {
  // The value of a target line, then the target as ip|port|timeout.
  const std::pair<std::string, std::string> cases[] = {
      {"10.1.2.3", "10.1.2.3|8100|5"}, {"10.1.2.3:9000", "10.1.2.3|9000|5"},
      {"10.1.2.3 30", "10.1.2.3|8100|30"}, {"10.1.2.3:9000 30", "10.1.2.3|9000|30"},
      {"10.1.2.3:9000\t \t30", "10.1.2.3|9000|30"}, {"10.1.2.3:0", "10.1.2.3|8100|5"},
      {"10.1.2.3:abc", "10.1.2.3|8100|5"}, {"10.1.2.3:", "10.1.2.3|8100|5"},
      {"10.1.2.3:70000", "10.1.2.3|4464|5"}, {"10.1.2.3:65536", "10.1.2.3|8100|5"},
      {"10.1.2.3:65535", "10.1.2.3|65535|5"}, {"10.1.2.3:-1", "10.1.2.3|65535|5"},
      {"10.1.2.3 0", "10.1.2.3|8100|5"}, {"10.1.2.3 abc", "10.1.2.3|8100|5"},
      {"10.1.2.3 -1", "10.1.2.3|8100|4294967295"}, {"", "|8100|5"}, {"::1", "|8100|5"},
      // The first ':' ends the address wherever it stands.
      {"10.1.2.3 30:40", "10.1.2.3 30|40|30"},
  };
  for (const auto& [value, expected] : cases) {
    Target target{"stale", 1, 1};
    kx::config::parse_target(target, value);
    EXPECT_EQ(target.ip + "|" + std::to_string(target.port) + "|" + std::to_string(target.timeout),
              expected)
        << value;
  }
}

// Each case starts from the process's start-up settings and leaves them so.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override { kx::config::reset_settings(); }
  void TearDown() override { kx::config::reset_settings(); }

  kx::config::Config load(const std::string& content) {
    kx::test::write_file(dir_.file("agent.conf"), content);
    kx::config::Config config;
    config.load(dir_.file("agent.conf"));
    return config;
  }
  // Applies the configuration text; returns the messages logged meanwhile.
  Lines apply(const std::string& content) {
    const kx::config::Config config = load(content);
    kx::test::LogCapture log;
    kx::config::apply_settings(config);
    return log.messages();
  }

  kx::test::TempDir dir_;
};

TEST_F(Settings, QueueSizeIsSetFromTheFirstLineAndLogged) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"", 104857600}, {"queue-size 1000\n", 1000}, {"queue-size 0\n", 104857600},
      {"queue-size many\n", 104857600}, {"queue-size\n", 104857600},
      {"queue-size -1\n", 4294967295u}, {"queue-size 99999999999\n", 2147483647},
      {"queue-size 2000\nqueue-size 3000\n", 2000}, {"queue-size 0\nqueue-size 3000\n", 104857600},
  };
  for (const auto& [content, size] : cases) {
    SCOPED_TRACE(content);
    kx::config::reset_settings();
    EXPECT_EQ(apply(content), Lines{"Config: queue-size = " + std::to_string(size)});
    EXPECT_EQ(kx::config::queue_size, size);
    EXPECT_TRUE(kx::config::target_list.empty());
  }
}

TEST_F(Settings, EachTargetLineAddsOneTargetInFileOrderAndLogsIt) {
  const Lines log = apply(
      "target 10.0.0.1:9000 30\n"
      "queue-size 2048\n"
      "Target 10.0.0.2\n"
      "target\n"
      "target 10.0.0.3:70000 -1 # backup\n");
  Lines ips;
  for (const Target& target : kx::config::target_list) ips.push_back(target.ip);
  EXPECT_EQ(ips, (Lines{"10.0.0.1", "10.0.0.2", "", "10.0.0.3"}));
  EXPECT_EQ(log, (Lines{
                     "Config: queue-size = 2048",
                     "Config: target = ip:10.0.0.1 port:9000 timeout:30",
                     "Config: target = ip:10.0.0.2 port:8100 timeout:5",
                     "Config: target = ip: port:8100 timeout:5",
                     "Config: target = ip:10.0.0.3 port:4464 timeout:4294967295",
                 }));
}

TEST_F(Settings, OnlyANumberReadingAsZeroTurnsTheStatisticsOff) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"", 60}, {"statistics-interval 10\n", 10}, {"statistics-interval 0\n", 0},
      {"statistics-interval 000\n", 0}, {"statistics-interval 0x10\n", 0},
      {"statistics-interval 30s\n", 30}, {"statistics-interval off\n", 60},
      {"statistics-interval -5\n", 60}, {"statistics-interval\n", 60},
      {"statistics-interval 99999999999\n", 2147483647}, {"statistics-interval 5\nstatistics-interval 0\n", 5},
  };
  for (const auto& [content, interval] : cases) {
    SCOPED_TRACE(content);
    kx::config::reset_settings();
    apply(content);
    EXPECT_EQ(kx::config::statistics_interval, interval);
  }
}

// Only the exact word turns IPv6 clients on, as for logging; the line says so once.
TEST_F(Settings, Ipv6ClientsIsOnOnlyForExactlyOn) {
  const std::pair<std::string, bool> cases[] = {
      {"", false}, {"ipv6-clients on\n", true}, {"IPv6-Clients on # both\n", true},
      {"ipv6-clients ON\n", false}, {"ipv6-clients yes\n", false}, {"ipv6-clients\n", false},
      {"ipv6-clients onn\n", false},
  };
  for (const auto& [content, on] : cases) {
    SCOPED_TRACE(content);
    const kx::config::Config config = load(content);
    kx::test::LogCapture log;
    EXPECT_EQ(kx::config::read_ipv6_clients(config), on);
    EXPECT_EQ(log.messages(), on ? Lines{"Config: ipv6-clients = on"} : Lines{});
  }
}

}  // namespace
