#include "logging/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "logging/log_platform.h"
#include "sys/threads.h"

namespace kx::logging {
namespace {

// Set by open_log (before other threads log) and close_log (tests only); replaced by
// reopen_log under the log mutex, so writers take it again inside the lock.
std::atomic<FILE*> log_file{nullptr};
std::string log_path;
sys::pthread_mutex_t log_mutex;

FILE* open_unbuffered(const char* path) {
  FILE* file = open_shared_for_append(path);
  // Unbuffered, so a logged line is in the file even if the process dies right after.
  if (file != nullptr) setbuf(file, nullptr);
  return file;
}

void format_utc_now(char (&out)[32]) {
  time_t now = time(nullptr);
  struct tm utc;
  utc_time(&now, &utc);
  strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

}  // namespace

void open_log(const char* path) {
  if (log_file.load() != nullptr) return;
  FILE* file = open_unbuffered(path);
  if (file == nullptr) return;
  sys::pthread_mutex_init(&log_mutex, nullptr);
  log_path = path;
  log_file.store(file);
}

bool log_is_open() { return log_file.load() != nullptr; }

void reopen_log() {
  if (log_file.load() == nullptr) return;
  sys::ScopedLock lock(&log_mutex);
  FILE* fresh = open_unbuffered(log_path.c_str());
  if (fresh != nullptr) fclose(log_file.exchange(fresh));
}

void log_message(const char* format, ...) {
  if (log_file.load() == nullptr) return;
  char stamp[32];
  format_utc_now(stamp);
  sys::ScopedLock lock(&log_mutex);
  FILE* file = log_file.load();
  fprintf(file, "%s [%u]: ", stamp, current_process_id());
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
}

void close_log() {
  if (log_file.load() == nullptr) return;
  fclose(log_file.exchange(nullptr));
  sys::pthread_mutex_destroy(&log_mutex);
}

}  // namespace kx::logging
