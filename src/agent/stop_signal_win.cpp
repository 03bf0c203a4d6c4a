#include <csignal>

#include "agent/stop_signal.h"

namespace kx::agent {

// The C runtime delivers SIGINT on a thread of the console's control events, where the
// handler's event signal is safe.
void install_stop_signal_handlers(void (*handler)(int signal_number)) {
  signal(SIGTERM, handler);
  signal(SIGINT, handler);
}

// Windows has neither SIGHUP nor SIGPIPE.
void install_log_reopen_signal(void (*)()) {}

}  // namespace kx::agent
