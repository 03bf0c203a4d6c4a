#include "agent/errors.h"

namespace kx::error {

// Defined out of line so that the class's virtual table lives in one object file.
UnknownError::~UnknownError() = default;

const char* UnknownError::what() const noexcept { return message_.c_str(); }

std::string failed_call_message(std::string_view call, std::string_view argument,
                                std::string_view text) {
  std::string message;
  message.reserve(call.size() + argument.size() + text.size() + 11);
  message.append(call).append("(").append(argument).append(") failed: ").append(text);
  return message;
}

}  // namespace kx::error
