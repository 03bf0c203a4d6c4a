#pragma once

namespace kx::agent {

// Routes SIGTERM, then SIGINT, to handler. On POSIX the handler runs on a thread of its
// own, never inside the signal context, so it may lock and signal freely.
void install_stop_signal_handlers(void (*handler)(int signal_number));

// Where the platform has them: SIGHUP calls reopen (the log rotation convention), on the
// same thread as the stop handler, and SIGPIPE is ignored. Elsewhere nothing.
void install_log_reopen_signal(void (*reopen)());

}  // namespace kx::agent
