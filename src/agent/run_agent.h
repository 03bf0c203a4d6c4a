// The agent's one start/run/stop sequence, used by the console and by the service.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "agent/capture_source.h"

namespace kx::agent {

// argv[1], set by main before run_agent.
extern const char* config_path;

using CaptureFactory = std::function<std::unique_ptr<CaptureSource>(
    const config::Config& config, const std::string& startup_directory)>;

// The exit status of a run that ended through a failure.
inline constexpr int kRunFailed = 1;

// Loads the configuration, opens the log, starts forwarding and capture, waits for a stop
// request and takes everything down in order. A capture that ends on an error also ends
// the run, once what was queued is forwarded (for at most the first target's time-out).
// Lets no std::exception escape: a failure is logged as "ERROR - Run failure: ...", also
// on standard error while no log is open, and the run ends. Returns 0 after a stop
// request, kRunFailed after a failure.
int run_agent();
// The same with another capture source (tests).
int run_agent(const CaptureFactory& make_capture);

// Ends the run: at once when it waits for a stop, or as soon as it reaches that wait
// when it is still starting. Safe from any thread, not from a signal handler.
void request_stop();

// SIGINT and SIGTERM request the stop; any other number is logged.
void handle_stop_signal(int signal_number);

// Forgets an earlier stop request, so that one process can run the sequence again (tests).
void reset_stop_request();

}  // namespace kx::agent
