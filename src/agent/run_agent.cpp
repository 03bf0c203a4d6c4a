#include "agent/run_agent.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "agent/errors.h"
#include "agent/executable_path.h"
#include "agent/statistics.h"
#include "agent/stop_signal.h"
#include "config/config.h"
#include "config/settings.h"
#include "logging/log.h"
#include "net/sensor_queue_processor.h"
#include "net/tcp_connection.h"
#include "wire/wire_format.h"
#include "sensor/sensor_queue.h"
#include "sys/threads.h"

namespace kx::agent {

const char* config_path = nullptr;

namespace {

sys::pthread_cond_t stop_event;
sys::pthread_mutex_t stop_mutex;
std::atomic<bool> stop_event_ready{false};
// The event's wait would forget a request made before the wait begins (a service stop
// during start-up); the flag remembers it.
std::atomic<bool> stop_pending{false};
// Set by the capture thread when the capture ended on an error; ends the wait like a stop.
std::atomic<bool> capture_failed{false};
std::mutex capture_failure_mutex;
std::string capture_failure_text;

void create_stop_event() {
  if (stop_event_ready.load()) return;
  sys::pthread_cond_init(&stop_event, nullptr);
  sys::pthread_mutex_init(&stop_mutex, nullptr);
  stop_event_ready.store(true);
}

void wait_for_stop() {
  sys::ScopedLock lock(&stop_mutex);
  // The kept signal ends the wait for a request given after the flag was read.
  while (!stop_pending.load() && !capture_failed.load()) {
    sys::cond_wait_keeping_signal(&stop_event, &stop_mutex);
  }
}

std::string current_directory() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::current_path(error);
  return error ? std::string(".") : path.string();
}

// A failure of the change is ignored: the agent goes on where it started.
void change_directory(const std::string& directory) {
  std::error_code ignored;
  std::filesystem::current_path(directory, ignored);
}

void wake_stop_wait() {
  if (stop_event_ready.load()) sys::pthread_cond_signal(&stop_event);
}

// The capture's failure handler: runs on the capture thread.
void note_capture_failure(const char* message, void*) {
  {
    std::lock_guard<std::mutex> lock(capture_failure_mutex);
    capture_failure_text = message;
    // Windows' system texts end with a line end; the run failure line adds its own.
    while (!capture_failure_text.empty() &&
           (capture_failure_text.back() == '\n' || capture_failure_text.back() == '\r')) {
      capture_failure_text.pop_back();
    }
  }
  capture_failed.store(true);
  wake_stop_wait();
}

std::string capture_failure() {
  std::lock_guard<std::mutex> lock(capture_failure_mutex);
  return capture_failure_text;
}

// A capture that failed leaves the queue to be forwarded for at most the first target's
// time-out (a stop request cuts that short), then the run ends as a failure so that a
// supervisor sees it and can restart the agent.
std::chrono::milliseconds drain_limit() {
  if (config::target_list.empty()) return std::chrono::milliseconds(0);
  return std::chrono::seconds(config::target_list.front().timeout);
}

void open_log_if_enabled(const config::Config& config) {
  auto logging = config.get("logging");
  if (!logging || *logging != "on") return;
  const std::string path = executable_directory() + "/log/dns-logger.log";
  logging::open_log(path.c_str());
}

// Stops a worker when the run leaves its scope by an error, before the objects the
// worker uses are released. stop() does nothing for a worker that is not running.
template <typename Worker>
class StopOnExit {
 public:
  explicit StopOnExit(Worker& worker) : worker_(worker) {}
  ~StopOnExit() { worker_.stop(); }
  StopOnExit(const StopOnExit&) = delete;
  StopOnExit& operator=(const StopOnExit&) = delete;

 private:
  Worker& worker_;
};

void run_sequence(const CaptureFactory& make_capture) {
  install_log_reopen_signal(logging::reopen_log);
  config::Config config;
  if (config_path != nullptr) {
    logging::log_message("Reading config from %s", config_path);
    config.load(config_path);
  }
  config::apply_settings(config);
  open_log_if_enabled(config);

  logging::log_message("agent version %s", wire::kAgentVersion);
  const std::string startup_directory = current_directory();
  const std::string directory = executable_directory();
  logging::log_message("Changing directory to: %s", directory.c_str());
  change_directory(directory);
  logging::log_message("Starting...");

  std::unique_ptr<CaptureSource> capture = make_capture(config, startup_directory);
  sensor::SensorQueue queue(config::queue_size);
  net::SensorQueueProcessor processor(queue, config::target_list);
  net::init_sockets();

  logging::log_message("Starting sensor queue processor");
  processor.start();
  StopOnExit<net::SensorQueueProcessor> processor_guard(processor);

  capture->set_message_handler(sensor::push_to_queue, &queue);
  capture->set_failure_handler(note_capture_failure, nullptr);
  logging::log_message("%s", capture_start_line());
  capture->start();
  StopOnExit<CaptureSource> capture_guard(*capture);
  logging::log_message("Started!");
  StatisticsReporter statistics(
      [&] { return collect_statistics(queue, processor, *capture); },
      std::chrono::seconds(config::statistics_interval));
  statistics.start();

  install_stop_signal_handlers(handle_stop_signal);
  wait_for_stop();

  const bool failed = capture_failed.load();
  logging::log_message("Stopping...");
  statistics.stop();
  logging::log_message("Stopping all sessions");
  capture->stop();
  logging::log_message("Stopping sensor queue processor");
  if (failed) processor.finish(drain_limit(), &stop_pending);
  processor.stop();
  statistics.report_final();
  logging::log_message("Stopped!");
  if (failed) throw kx::sensor::SensorError("capture failed: " + capture_failure());
}

// A start-up failure before the log is open would otherwise leave no trace anywhere.
void report_run_failure(const char* message) {
  logging::log_message("ERROR - Run failure: %s", message);
  if (!logging::log_is_open()) fprintf(stderr, "ERROR - Run failure: %s\n", message);
}

}  // namespace

int run_agent() { return run_agent(make_capture_session); }

int run_agent(const CaptureFactory& make_capture) {
  create_stop_event();
  try {
    run_sequence(make_capture);
  } catch (const std::exception& error) {
    report_run_failure(error.what());
    return kRunFailed;
  }
  return 0;
}

void request_stop() {
  stop_pending.store(true);
  wake_stop_wait();
}

void handle_stop_signal(int signal_number) {
  if (signal_number == SIGINT || signal_number == SIGTERM) {
    request_stop();
    return;
  }
  logging::log_message("Unhandled signal %d received", signal_number);
}

void reset_stop_request() {
  stop_pending.store(false);
  capture_failed.store(false);
}

}  // namespace kx::agent
