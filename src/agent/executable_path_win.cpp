#include <windows.h>

#include <cstring>
#include <vector>

#include "agent/errors.h"
#include "agent/executable_path.h"
#include "logging/log.h"

namespace kx::agent {

namespace {

[[noreturn]] void raise_last_error(const char* call) {
  DWORD code = GetLastError();
  kx::error::raise_system_error<kx::error::UnknownError>(call, "", static_cast<int32_t>(code));
}

}  // namespace

std::string executable_path() {
  HMODULE module = GetModuleHandleA(nullptr);
  if (module == nullptr) raise_last_error("GetModuleHandle");
  std::vector<char> buffer(8192, '\0');
  if (GetModuleFileNameA(module, buffer.data(), 8192) == 0) raise_last_error("GetModuleFileName");
  // A path of 8192 bytes or more is cut without a terminator; keep what fits.
  buffer.back() = '\0';
  return std::string(buffer.data());
}

char path_separator() { return '\\'; }

}  // namespace kx::agent
