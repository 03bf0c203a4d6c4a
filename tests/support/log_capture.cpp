#include "support/log_capture.h"

#include <chrono>
#include <thread>

#include "logging/log.h"

namespace kx::test {
namespace {

std::string without_carriage_returns(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out.push_back(c);
  }
  return out;
}

}  // namespace

LogCapture::LogCapture() : path_(dir_.file("agent.log")) { logging::open_log(path_.c_str()); }

LogCapture::~LogCapture() { logging::close_log(); }

std::vector<std::string> LogCapture::messages() const {
  std::string content = without_carriage_returns(read_file(path_));
  // A line still being written by another thread is not a message yet.
  content.erase(content.find_last_of('\n') + 1);
  std::vector<std::string> messages;
  for (const std::string& line : split_lines(content)) {
    if (line.empty()) continue;
    size_t at = line.find("]: ");
    messages.push_back(at == std::string::npos ? "<no prefix> " + line : line.substr(at + 3));
  }
  return messages;
}

bool LogCapture::wait_for(const std::string& prefix) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& message : messages()) {
      if (message.compare(0, prefix.size(), prefix) == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

namespace {
std::string as_logged(std::string text) {
  text = without_carriage_returns(text);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}
}  // namespace

std::string logged_error_text(int32_t code) { return as_logged(logging::system_error_text(code)); }

std::string logged_errno_text(int code) { return as_logged(logging::errno_text(code)); }

}  // namespace kx::test
