// The agent's error types. Every failure is raised as one of these, its message naming
// the failed call and, where there is one, the system's text for the error code.
#pragma once

#include <exception>
#include <string>

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
