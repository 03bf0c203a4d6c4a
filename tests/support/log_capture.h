#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "logging/log.h"
#include "support/test_util.h"
#include "support/wait.h"

namespace kx::test {

// Text as a log line reads back, the same on every platform.
inline std::string as_logged(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The messages without their time and process prefix; a last line not yet ended is left out.
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

// Destroy it only after every thread that logs has ended.
class LogCapture {
 public:
  LogCapture() { logging::open_log(path_.c_str()); }
  ~LogCapture() { logging::close_log(); }

  std::vector<std::string> messages() const { return log_messages(path_); }

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

inline std::string logged_error_text(int32_t code) { return as_logged(logging::system_error_text(code)); }
inline std::string logged_errno_text(int code) { return as_logged(logging::errno_text(code)); }

}  // namespace kx::test
