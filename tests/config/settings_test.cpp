#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "logging/log.h"
#include "support/test_util.h"

namespace {

using kx::config::Target;

struct NumberCase {
  std::string text;
  int32_t number;
};

class ReadDecimal : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadDecimal, ReadsLikeAtolClampedTo32Bits) {
  EXPECT_EQ(kx::config::read_decimal(GetParam().text), GetParam().number) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadDecimal,
    ::testing::Values(NumberCase{"0", 0}, NumberCase{"", 0}, NumberCase{"many", 0},
                      NumberCase{"1000", 1000}, NumberCase{"+7", 7}, NumberCase{"-1", -1},
                      NumberCase{"12abc", 12}, NumberCase{"9000 30", 9000},
                      NumberCase{" \t\v\f\r\n42", 42}, NumberCase{"\xA0" "42", 0},
                      NumberCase{"- 5", 0}, NumberCase{"++1", 0}, NumberCase{"-", 0},
                      NumberCase{"00000000000000000000042", 42},
                      NumberCase{"2147483647", 2147483647}, NumberCase{"2147483648", 2147483647},
                      NumberCase{"99999999999", 2147483647},
                      NumberCase{"-2147483648", -2147483647 - 1},
                      NumberCase{"-2147483649", -2147483647 - 1},
                      NumberCase{"-99999999999999999999999999999", -2147483647 - 1},
                      NumberCase{"4294967296", 2147483647}));

// Each case starts from the process's start-up settings and leaves them so.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override { kx::config::reset_settings(); }
  void TearDown() override {
    kx::logging::close_log();
    kx::config::reset_settings();
  }

  // Loads the configuration text and applies it with the log open; returns the
  // messages of the log lines written, without their time and process stamp.
  std::vector<std::string> apply(const std::string& content) {
    std::string config_path = dir_.file("agent.conf");
    std::string log_path = dir_.file("agent.log");
    kx::test::write_file(config_path, content);
    kx::config::Config config;
    config.load(config_path);
    kx::logging::open_log(log_path.c_str());
    kx::config::apply_settings(config);
    kx::logging::close_log();
    std::vector<std::string> messages;
    for (std::string line : kx::test::split_lines(kx::test::read_file(log_path))) {
      // The log is a text file: on Windows its lines end in CR LF.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t stamp_end = line.find("]: ");
      messages.push_back(stamp_end == std::string::npos ? line : line.substr(stamp_end + 3));
    }
    return messages;
  }

  kx::test::TempDir dir_;
};

struct QueueSizeCase {
  std::string content;
  uint32_t queue_size;
};

class QueueSize : public Settings, public ::testing::WithParamInterface<QueueSizeCase> {};

TEST_P(QueueSize, IsSetFromTheFirstLineAndLogged) {
  std::vector<std::string> log = apply(GetParam().content);
  EXPECT_EQ(kx::config::queue_size, GetParam().queue_size);
  EXPECT_EQ(log, std::vector<std::string>{"Config: queue-size = " +
                                          std::to_string(GetParam().queue_size)});
}

INSTANTIATE_TEST_SUITE_P(
    Files, QueueSize,
    ::testing::Values(QueueSizeCase{"", 104857600}, QueueSizeCase{"logging on\n", 104857600},
                      QueueSizeCase{"queue-size 1000\n", 1000},
                      QueueSizeCase{"queue-size 0\n", 104857600},
                      QueueSizeCase{"queue-size many\n", 104857600},
                      QueueSizeCase{"queue-size\n", 104857600},
                      QueueSizeCase{"queue-size -1\n", 4294967295u},
                      QueueSizeCase{"queue-size -2147483648\n", 2147483648u},
                      QueueSizeCase{"queue-size 99999999999\n", 2147483647},
                      QueueSizeCase{"Queue-Size 4096 # small\n", 4096},
                      QueueSizeCase{"queue-size 2000\nqueue-size 3000\n", 2000},
                      QueueSizeCase{"queue-size 0\nqueue-size 3000\n", 104857600}));

struct TargetCase {
  std::string value;
  std::string ip;
  uint16_t port;
  uint32_t timeout;
};

class ParseTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ParseTarget, SetsAddressPortAndTimeout) {
  const TargetCase& c = GetParam();
  Target target;
  target.ip = "stale";
  target.port = 1;
  target.timeout = 1;
  kx::config::parse_target(target, c.value);
  EXPECT_EQ(target.ip, c.ip);
  EXPECT_EQ(target.port, c.port);
  EXPECT_EQ(target.timeout, c.timeout);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParseTarget,
    ::testing::Values(TargetCase{"10.1.2.3", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3:9000", "10.1.2.3", 9000, 5},
                      TargetCase{"10.1.2.3 30", "10.1.2.3", 8100, 30},
                      TargetCase{"10.1.2.3:9000 30", "10.1.2.3", 9000, 30},
                      TargetCase{"10.1.2.3:9000\t \t30", "10.1.2.3", 9000, 30},
                      TargetCase{"10.1.2.3:0", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3:abc", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3:", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3:70000", "10.1.2.3", 4464, 5},
                      TargetCase{"10.1.2.3:65536", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3:65535", "10.1.2.3", 65535, 5},
                      TargetCase{"10.1.2.3:-1", "10.1.2.3", 65535, 5},
                      TargetCase{"10.1.2.3 0", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3 abc", "10.1.2.3", 8100, 5},
                      TargetCase{"10.1.2.3 -1", "10.1.2.3", 8100, 4294967295u},
                      TargetCase{"10.1.2.3 99999999999", "10.1.2.3", 8100, 2147483647},
                      TargetCase{"", "", 8100, 5},
                      TargetCase{"::1", "", 8100, 5},
                      TargetCase{"collector.example:9000", "collector.example", 9000, 5},
                      // The first ':' ends the address wherever it stands.
                      TargetCase{"10.1.2.3 30:40", "10.1.2.3 30", 40, 30}));

TEST_F(Settings, WithoutTargetLinesTheListStaysEmptyAndNoTargetIsLogged) {
  std::vector<std::string> log = apply("queue-size 5000\nlogging on\n");
  EXPECT_TRUE(kx::config::target_list.empty());
  EXPECT_EQ(log, std::vector<std::string>{"Config: queue-size = 5000"});
}

TEST_F(Settings, EachTargetLineAddsOneTargetInFileOrderAndLogsIt) {
  std::vector<std::string> log = apply(
      "target 10.0.0.1:9000 30\n"
      "queue-size 2048\n"
      "Target 10.0.0.2\n"
      "target\n"
      "target 10.0.0.3:70000 -1 # backup\n");
  const std::vector<Target>& targets = kx::config::target_list;
  ASSERT_EQ(targets.size(), 4u);
  EXPECT_EQ(targets[0].ip, "10.0.0.1");
  EXPECT_EQ(targets[1].ip, "10.0.0.2");
  EXPECT_EQ(targets[2].ip, "");
  EXPECT_EQ(targets[3].ip, "10.0.0.3");
  EXPECT_EQ(log, (std::vector<std::string>{
                     "Config: queue-size = 2048",
                     "Config: target = ip:10.0.0.1 port:9000 timeout:30",
                     "Config: target = ip:10.0.0.2 port:8100 timeout:5",
                     "Config: target = ip: port:8100 timeout:5",
                     "Config: target = ip:10.0.0.3 port:4464 timeout:4294967295",
                 }));
}

}  // namespace
