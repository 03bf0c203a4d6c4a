#include <windows.h>
#include <share.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "logging/log.h"
#include "logging/log_platform.h"

namespace kx::logging {

FILE* open_shared_for_append(const char* path) { return _fsopen(path, "a", _SH_DENYNO); }

unsigned current_process_id() { return GetCurrentProcessId(); }

void utc_time(const time_t* now, struct tm* out) { gmtime_s(out, now); }

std::string system_error_text(int32_t code) {
  // Heap, not stack: each call has its own buffer and threads may call at once.
  std::string buffer(8192, '\0');
  // FORMAT_MESSAGE_IGNORE_INSERTS keeps FormatMessage from reading the argument list,
  // which it otherwise does for system texts holding %1-style insertion sequences; the
  // sequences then stay in the text as they are.
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(code), 0, &buffer[0], 8192, nullptr);
  if (length == 0) return "Unknown error " + std::to_string(code);
  buffer.resize(length);
  return buffer;
}

std::string errno_text(int code) {
  char buffer[256];
  // The C runtime's table ends with "Unknown error" for codes it does not know.
  if (strerror_s(buffer, sizeof buffer, code) != 0 || strcmp(buffer, "Unknown error") == 0) {
    return "Unknown error " + std::to_string(code);
  }
  return buffer;
}

}  // namespace kx::logging
