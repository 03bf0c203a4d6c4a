// The agent's log, opened in a fresh folder for one test and read back as messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace kx::test {

// Opens the log on construction and closes it on destruction: destroy it only after
// every thread that logs has ended.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages logged so far, each without its time and process prefix. Carriage
  // returns are dropped and empty lines skipped, so a message ending in a system text
  // reads the same on every platform. A last line without its line feed yet is left out.
  std::vector<std::string> messages() const;

  // Waits (bounded) until a message beginning with prefix has been logged.
  bool wait_for(const std::string& prefix) const;

 private:
  TempDir dir_;
  std::string path_;
};

// system_error_text(code) as it reads back from a log line: without carriage returns
// and without trailing line feeds.
std::string logged_error_text(int32_t code);
// The same for an errno value (allocation failures).
std::string logged_errno_text(int code);

}  // namespace kx::test
