#include "sensor/capture_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/errors.h"
#include "config/config.h"
#include "logging/log.h"
#include "support/test_util.h"

namespace kx::sensor {
namespace {

config::Config load(const test::TempDir& dir, const std::string& text) {
  std::string path = dir.file("agent.conf");
  test::write_file(path, text);
  config::Config config;
  config.load(path);
  return config;
}

TEST(CaptureSettings, ReadsEachKeyAndKeepsTheDefaultsOfAbsentOnes) {
  struct Case {
    const char* file;
    const char* interface;
    uint16_t port;
    const char* capture_file;
  };
  const Case cases[] = {
      {"", "any", 53, ""},
      {"queue-size 1000\n", "any", 53, ""},
      {"capture-interface eth0\n", "eth0", 53, ""},
      {"Capture-Interface  enp3s0   # uplink\n", "enp3s0", 53, ""},
      {"dns-port 5353\n", "any", 5353, ""},
      {"dns-port 1\n", "any", 1, ""},
      {"dns-port 65535\n", "any", 65535, ""},
      {"capture-file /var/tmp/replay.pcap\ndns-port 53535\n", "any", 53535,
       "/var/tmp/replay.pcap"},
      {"dns-port 54\ndns-port 55\n", "any", 54, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    test::TempDir dir;
    CaptureSettings settings = read_capture_settings(load(dir, c.file));
    EXPECT_EQ(settings.interface, c.interface);
    EXPECT_EQ(settings.dns_port, c.port);
    EXPECT_EQ(settings.capture_file, c.capture_file);
  }
}

// A port that does not read cleanly would capture some other port's traffic in silence.
TEST(CaptureSettings, RefusesValuesThatWouldCaptureTheWrongTraffic) {
  const char* files[] = {"dns-port 0\n",       "dns-port 65536\n", "dns-port 70000\n",
                         "dns-port -53\n",     "dns-port 53x\n",   "dns-port domain\n",
                         "dns-port\n",         "dns-port 0053535\n",
                         "capture-interface\n", "capture-file\n"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    test::TempDir dir;
    config::Config config = load(dir, file);
    EXPECT_THROW(read_capture_settings(config), config::ConfigError);
  }
}

TEST(CaptureSettings, NamesTheKeyAndTheValueInTheError) {
  test::TempDir dir;
  config::Config config = load(dir, "dns-port 53x\n");
  try {
    read_capture_settings(config);
    FAIL() << "no error";
  } catch (const config::ConfigError& e) {
    EXPECT_STREQ(e.what(), "Config: dns-port '53x' is not a port number from 1 to 65535");
  }
}

TEST(CaptureSettings, LogsTheSettingsInUse) {
  test::TempDir dir;
  logging::open_log(dir.file("agent.log").c_str());
  read_capture_settings(load(dir, "dns-port 5353\n"));
  read_capture_settings(load(dir, "capture-file /tmp/x.pcap\n"));
  logging::close_log();
  std::vector<std::string> lines = test::split_lines(test::read_file(dir.file("agent.log")));
  const char* expected[] = {"Config: capture-interface = any", "Config: dns-port = 5353",
                            "Config: capture-interface = any", "Config: dns-port = 53",
                            "Config: capture-file = /tmp/x.pcap"};
  ASSERT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string message = lines[i].substr(lines[i].find("]: ") + 3);
    if (!message.empty() && message.back() == '\r') message.pop_back();  // a text-mode file
    EXPECT_EQ(message, expected[i]);
  }
}

}  // namespace
}  // namespace kx::sensor
