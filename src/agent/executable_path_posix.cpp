#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agent/errors.h"
#include "agent/executable_path.h"
#include "logging/log.h"

namespace kx::agent {

std::string executable_path() {
  std::vector<char> buffer(8192, '\0');
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length < 0) {
    int code = errno;
    kx::error::raise_system_error<kx::error::UnknownError>("readlink", "/proc/self/exe", code);
  }
  return std::string(buffer.data(), static_cast<size_t>(length));
}

char path_separator() { return '/'; }

}  // namespace kx::agent
