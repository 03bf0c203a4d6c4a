// The agent's error types. Every failure is raised as one of these, its message naming
// the failed call and, where there is one, the system's text for the error code.
//
// Which class each part raises: the configuration ConfigError; the sensor queue, the
// queue processor and the TCP client SensorError; the ETW session NetError, and the
// Linux capture follows it so that both capture sources fail alike; the agent's other
// platform calls (its own path, the service dispatcher) UnknownError. The crossed names
// (a network client raising SensorError, a capture raising NetError) are kept on
// purpose: callers catch by these classes and the agent has always raised them so.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "logging/log.h"

namespace kx::error {

class UnknownError : public std::exception {
 public:
  explicit UnknownError(const char* message) : message_(message) {}
  explicit UnknownError(const std::string& message) : message_(message) {}
  ~UnknownError() override;
  const char* what() const noexcept override;

 private:
  std::string message_;
};

// "call(argument) failed: text": the one form of a failed call's message.
std::string failed_call_message(std::string_view call, std::string_view argument,
                                std::string_view text);

// Raises Error for a failed call, with the text the failing library gave.
template <class Error>
[[noreturn]] void raise_failed_call(std::string_view call, std::string_view argument,
                                    std::string_view text) {
  throw Error(failed_call_message(call, argument, text));
}

// Raises Error for a failed call whose code is a system status: a Win32 or socket error,
// a pthread return value, or errno on POSIX.
template <class Error>
[[noreturn]] void raise_system_error(std::string_view call, std::string_view argument,
                                     int32_t code) {
  raise_failed_call<Error>(call, argument, logging::system_error_text(code));
}

// Raises Error for a failed C library call (malloc, fopen) whose code is an errno value.
template <class Error>
[[noreturn]] void raise_errno_error(std::string_view call, std::string_view argument, int code) {
  raise_failed_call<Error>(call, argument, logging::errno_text(code));
}

}  // namespace kx::error

namespace kx::config {
class ConfigError : public kx::error::UnknownError {
 public:
  using UnknownError::UnknownError;
};
}  // namespace kx::config

namespace kx::net {
class NetError : public kx::error::UnknownError {
 public:
  using UnknownError::UnknownError;
};
}  // namespace kx::net

namespace kx::sensor {
class SensorError : public kx::error::UnknownError {
 public:
  using UnknownError::UnknownError;
};
}  // namespace kx::sensor
