// The agent's log, opened in a fresh folder for one test and read back as messages.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "logging/log.h"
#include "support/test_util.h"
#include "support/wait.h"

namespace kx::test {

// Text as a log line reads back: without carriage returns or trailing line feeds, so a
// message ending in a system text reads the same on every platform.
inline std::string as_logged(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The messages of the log at path, each without its time and process prefix. Empty
// lines are skipped, and a last line without its line feed yet is left out.
inline std::vector<std::string> log_messages(const std::string& path) {
  std::string content = read_file(path);
  content.erase(content.find_last_of('\n') + 1);
  std::vector<std::string> messages;
  for (const std::string& line : split_lines(as_logged(content))) {
    if (line.empty()) continue;
    const size_t at = line.find("]: ");
    messages.push_back(at == std::string::npos ? "<no prefix> " + line : line.substr(at + 3));
  }
  return messages;
}

// Opens the log on construction and closes it on destruction: destroy it only after
// every thread that logs has ended.
class LogCapture {
 public:
  LogCapture() { logging::open_log(path_.c_str()); }
  ~LogCapture() { logging::close_log(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> messages() const { return log_messages(path_); }

  // Waits (bounded) until a message beginning with prefix has been logged.
  bool wait_for(const std::string& prefix) const {
    return wait_until([&] {
      const std::vector<std::string> logged = messages();
      return std::any_of(logged.begin(), logged.end(),
                         [&](const std::string& message) { return message.rfind(prefix, 0) == 0; });
    }, std::chrono::seconds(10));
  }

 private:
  TempDir dir_;
  std::string path_ = dir_.file("agent.log");
};

// system_error_text(code) and errno_text(code) as they read back from a log line.
inline std::string logged_error_text(int32_t code) { return as_logged(logging::system_error_text(code)); }
inline std::string logged_errno_text(int code) { return as_logged(logging::errno_text(code)); }

}  // namespace kx::test
