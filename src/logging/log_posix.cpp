#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "logging/log.h"
#include "logging/log_platform.h"

namespace kx::logging {

// POSIX has no share modes: a file opened for appending is readable by other programs
// as it stands.
FILE* open_shared_for_append(const char* path) { return fopen(path, "a"); }

unsigned current_process_id() { return static_cast<unsigned>(getpid()); }

void utc_time(const time_t* now, struct tm* out) { gmtime_r(now, out); }

namespace {

// strerror_r comes in two shapes; overloads pick whichever this C library has.
[[maybe_unused]] const char* error_text_from(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* error_text_from(const char* result, const char*) { return result; }

}  // namespace

std::string system_error_text(int32_t code) {
  char buffer[512];
  buffer[0] = '\0';
  const char* text = error_text_from(strerror_r(code, buffer, sizeof buffer), buffer);
  // glibc answers "Unknown error N" itself for codes it has no text for; it is the same
  // form as ours, but build ours so every C library gives the same result.
  if (text == nullptr || *text == '\0' || strncmp(text, "Unknown error", 13) == 0) {
    return "Unknown error " + std::to_string(code);
  }
  return text;
}

std::string errno_text(int code) { return system_error_text(code); }

}  // namespace kx::logging
