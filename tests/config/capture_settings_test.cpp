#include "config/capture_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "agent/errors.h"
#include "config/config.h"
#include "support/log_capture.h"
#include "support/test_util.h"

namespace kx::config {
namespace {

// "interface:port:capture file:buffer size" as read from a file of this text and the
// lines logged, or the error raised.
std::string read_settings(const std::string& file_text) {
  test::TempDir dir;
  test::write_file(dir.file("agent.conf"), file_text);
  Config config;
  config.load(dir.file("agent.conf"));
  test::LogCapture log;
  try {
    CaptureSettings s = read_capture_settings(config);
    std::string read = s.interface + ":" + std::to_string(s.dns_port) + ":" + s.capture_file +
                       ":" + std::to_string(s.buffer_size);
    for (const std::string& line : log.messages()) read += "\n" + line;
    return read;
  } catch (const ConfigError& e) {
    return e.what();
  }
}

// A value that does not read cleanly would capture some other traffic in silence.
TEST(CaptureSettings, ReadsAndLogsEachKeyKeepsTheDefaultsOfAbsentOnesAndRefusesBadValues) {
  const std::string port = "' is not a port number from 1 to 65535";
  const std::string bytes = "' is not a number of bytes from 1 to 2147483647";
  const std::pair<std::string, std::string> cases[] = {
      {"queue-size 1000\n", "any:53::33554432\nConfig: capture-interface = any\n"
                            "Config: dns-port = 53\nConfig: capture-buffer-size = 33554432"},
      {"Capture-Interface  enp3s0   # uplink\ndns-port 1\ncapture-buffer-size 2147483647\n"
       "capture-file /var/tmp/replay.pcap\n",
       "enp3s0:1:/var/tmp/replay.pcap:2147483647\nConfig: capture-interface = enp3s0\n"
       "Config: dns-port = 1\nConfig: capture-buffer-size = 2147483647\n"
       "Config: capture-file = /var/tmp/replay.pcap"},
      {"capture-interface\n", "Config: capture-interface has no value"},
      {"dns-port 0\n", "Config: dns-port '0" + port},
      {"dns-port 65536\n", "Config: dns-port '65536" + port},
      {"dns-port 53x\n", "Config: dns-port '53x" + port},
      {"dns-port 0053535\n", "Config: dns-port '0053535" + port},
      {"capture-buffer-size 2147483648\n", "Config: capture-buffer-size '2147483648" + bytes},
  };
  for (const auto& [file, expected] : cases) EXPECT_EQ(read_settings(file), expected) << file;
}

}  // namespace
}  // namespace kx::config
