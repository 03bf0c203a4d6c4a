// The agent's log: one append-only text file, time-stamped lines, one lock per line.
// While no log is open every call writes nothing at all.
#pragma once

#include <cstdint>
#include <string>

#if defined(__GNUC__) || defined(__clang__)
#define KX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KX_PRINTF_FORMAT(fmt, args)
#endif

namespace kx::logging {

// Opens the log file for appending, shared with other readers. A failed open is silent
// and leaves the log closed. Called once, before any other thread logs.
void open_log(const char* path);

// Writes "<UTC time> [<pid>]: <message>\n" when a log is open; nothing otherwise.
// Safe from any thread; a line is never split by another thread's line.
void log_message(const char* format, ...) KX_PRINTF_FORMAT(1, 2);

// The system's text for an error code (a Win32 or Winsock code on Windows, an errno
// value elsewhere), unchanged, or "Unknown error <signed code>" when there is none.
std::string system_error_text(int32_t code);

// The C library's text for an errno value (allocation and file-open failures), with the
// same fallback. On POSIX this is system_error_text itself; on Windows errno values are
// not system error codes, so FormatMessage would give another error's text.
std::string errno_text(int code);

// Whether a log file is open (lines go somewhere).
bool log_is_open();

// Reopens the log file by its path, for a log rotated by renaming: lines go on in a new
// file of that name. When the new open fails the old file is kept. Safe from any thread.
void reopen_log();

// Closes the log again. The agent never does; tests use it between cases.
void close_log();

}  // namespace kx::logging
