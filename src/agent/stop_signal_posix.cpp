// The signal handler only writes the signal number into a pipe (write is
// async-signal-safe); a watcher thread reads it and calls the real handler.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "agent/stop_signal.h"

namespace kx::agent {
namespace {

int signal_pipe[2] = {-1, -1};
std::atomic<void (*)(int)> current_handler{nullptr};
std::atomic<void (*)()> current_reopen{nullptr};

extern "C" void write_signal_number(int signal_number) {
  int saved_errno = errno;
  unsigned char byte = static_cast<unsigned char>(signal_number);
  ssize_t ignored = write(signal_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

void* watch_signals(void*) {
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = read(signal_pipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    if (byte == SIGHUP) {
      void (*reopen)() = current_reopen.load();
      if (reopen != nullptr) reopen();
      continue;
    }
    void (*handler)(int) = current_handler.load();
    if (handler != nullptr) handler(byte);
  }
}

bool start_watcher() {
  if (pipe(signal_pipe) != 0) return false;
  fcntl(signal_pipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(signal_pipe[1], F_SETFD, FD_CLOEXEC);
  // A full pipe must never block the signal handler.
  fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
  ::pthread_t watcher;
  // The watcher must not take the signals itself while it runs the handler.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  int rc = ::pthread_create(&watcher, nullptr, watch_signals, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) return false;
  pthread_detach(watcher);
  return true;
}

void route_to_watcher(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = write_signal_number;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

bool watching() {
  static const bool started = start_watcher();
  return started;
}

}  // namespace

void install_stop_signal_handlers(void (*handler)(int signal_number)) {
  if (!watching()) return;
  current_handler.store(handler);
  route_to_watcher(SIGTERM);
  route_to_watcher(SIGINT);
}

void install_log_reopen_signal(void (*reopen)()) {
  // A collector that goes away must show as a send error, never end the agent.
  signal(SIGPIPE, SIG_IGN);
  if (!watching()) return;
  current_reopen.store(reopen);
  route_to_watcher(SIGHUP);
}

}  // namespace kx::agent
