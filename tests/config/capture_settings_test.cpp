#include "config/capture_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/errors.h"
#include "config/config.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace kx::config {
namespace {

// "interface:port:capture file:buffer size" as read from a file of this text, or the error raised.
std::string read_settings(const std::string& file_text) {
  test::TempDir dir;
  test::write_file(dir.file("agent.conf"), file_text);
  Config config;
  config.load(dir.file("agent.conf"));
  try {
    CaptureSettings s = read_capture_settings(config);
    return s.interface + ":" + std::to_string(s.dns_port) + ":" + s.capture_file + ":" +
           std::to_string(s.buffer_size);
  } catch (const ConfigError& e) {
    return e.what();
  }
}

// A value that does not read cleanly would capture some other traffic in silence.
TEST(CaptureSettings, ReadsEachKeyKeepsTheDefaultsOfAbsentOnesAndRefusesBadValues) {
  const std::string port = "' is not a port number from 1 to 65535";
  const std::string bytes = "' is not a number of bytes from 1 to 2147483647";
  const std::pair<std::string, std::string> cases[] = {
      {"queue-size 1000\n", "any:53::33554432"},
      {"Capture-Interface  enp3s0   # uplink\ndns-port 1\ncapture-buffer-size 1\n"
       "capture-file /var/tmp/replay.pcap\n", "enp3s0:1:/var/tmp/replay.pcap:1"},
      {"dns-port 65535\ncapture-buffer-size 2147483647\n", "any:65535::2147483647"},
      {"capture-interface\n", "Config: capture-interface has no value"},
      {"capture-file\n", "Config: capture-file has no value"},
      {"dns-port 0\n", "Config: dns-port '0" + port},
      {"dns-port 65536\n", "Config: dns-port '65536" + port},
      {"dns-port 53x\n", "Config: dns-port '53x" + port},
      {"dns-port 0053535\n", "Config: dns-port '0053535" + port},
      {"dns-port\n", "Config: dns-port '" + port},
      {"capture-buffer-size 2147483648\n", "Config: capture-buffer-size '2147483648" + bytes},
      {"capture-buffer-size 8M\n", "Config: capture-buffer-size '8M" + bytes},
  };
  for (const auto& [file, expected] : cases) EXPECT_EQ(read_settings(file), expected) << file;
}

TEST(CaptureSettings, LogsTheSettingsInUse) {
  test::LogCapture log;
  read_settings("dns-port 5353\n");
  read_settings("capture-file /tmp/x.pcap\n");
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Config: capture-interface = any", "Config: dns-port = 5353",
                                      "Config: capture-buffer-size = 33554432",
                                      "Config: capture-interface = any", "Config: dns-port = 53",
                                      "Config: capture-buffer-size = 33554432",
                                      "Config: capture-file = /tmp/x.pcap"}));
}

}  // namespace
}  // namespace kx::config
