#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "support/log_capture.h"

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
    EXPECT_EQ(target.ip + "|" + std::to_string(target.port) + "|" + std::to_string(target.timeout), expected)
        << value;
  }
}

// Each case starts from the process's start-up settings; the last leaves them so.
class Settings : public ::testing::Test {
 protected:
  void TearDown() override { kx::config::reset_settings(); }

  // Applies the configuration text and reads its ipv6-clients; returns the messages
  // logged meanwhile.
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

// A queue size reading as 0 keeps the default; a statistics interval turns the report
// off only when it is a number reading as 0; only the exact word turns IPv6 clients on,
// as for logging. Each is set from the first line with its key.
TEST_F(Settings, EachSettingComesFromTheFirstLineWithItsKey) {
  const struct { std::string content; uint32_t queue_size, interval; bool ipv6_clients; } cases[] = {
      {"", 104857600, 60, false}, {"queue-size 1000\n", 1000, 60, false},
      {"queue-size 0\n", 104857600, 60, false}, {"queue-size many\n", 104857600, 60, false},
      {"queue-size\n", 104857600, 60, false}, {"queue-size -1\n", 4294967295u, 60, false},
      {"queue-size 99999999999\n", 2147483647, 60, false},
      {"queue-size 2000\nqueue-size 3000\n", 2000, 60, false},
      {"queue-size 0\nqueue-size 3000\n", 104857600, 60, false},
      {"statistics-interval 10\n", 104857600, 10, false}, {"statistics-interval 0\n", 104857600, 0, false},
      {"statistics-interval 0x10\n", 104857600, 0, false}, {"statistics-interval 30s\n", 104857600, 30, false},
      {"statistics-interval off\n", 104857600, 60, false}, {"statistics-interval -5\n", 104857600, 60, false},
      {"statistics-interval\n", 104857600, 60, false},
      {"statistics-interval 99999999999\n", 104857600, 2147483647, false},
      {"statistics-interval 5\nstatistics-interval 0\n", 104857600, 5, false},
      {"ipv6-clients on\n", 104857600, 60, true}, {"IPv6-Clients on # both\n", 104857600, 60, true},
      {"ipv6-clients ON\n", 104857600, 60, false}, {"ipv6-clients\n", 104857600, 60, false},
      {"ipv6-clients onn\n", 104857600, 60, false},
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

TEST_F(Settings, EachTargetLineAddsOneTargetInFileOrderAndLogsIt) {
  const Lines log = apply("target 10.0.0.1:9000 30\nqueue-size 2048\nTarget 10.0.0.2\ntarget\n"
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

}  // namespace
