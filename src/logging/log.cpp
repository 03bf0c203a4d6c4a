#include "logging/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "logging/log_platform.h"
#include "sys/threads.h"

namespace kx::logging {
namespace {

// Written only by open_log (before other threads log) and close_log (tests only).
FILE* log_file = nullptr;
sys::pthread_mutex_t log_mutex;

void format_utc_now(char (&out)[32]) {
  time_t now = time(nullptr);
  struct tm utc;
  utc_time(&now, &utc);
  strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

}  // namespace

void open_log(const char* path) {
  if (log_file != nullptr) return;
  FILE* file = open_shared_for_append(path);
  if (file == nullptr) return;
  // Unbuffered, so a logged line is in the file even if the process dies right after.
  setbuf(file, nullptr);
  sys::pthread_mutex_init(&log_mutex, nullptr);
  log_file = file;
}

void log_message(const char* format, ...) {
  if (log_file == nullptr) return;
  char stamp[32];
  format_utc_now(stamp);
  sys::ScopedLock lock(&log_mutex);
  fprintf(log_file, "%s [%u]: ", stamp, current_process_id());
  va_list args;
  va_start(args, format);
  vfprintf(log_file, format, args);
  va_end(args);
  fputc('\n', log_file);
}

void close_log() {
  if (log_file == nullptr) return;
  fclose(log_file);
  log_file = nullptr;
  sys::pthread_mutex_destroy(&log_mutex);
}

}  // namespace kx::logging
