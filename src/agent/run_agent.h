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

// Loads the configuration, opens the log, starts forwarding and capture, waits for a stop
// request and takes everything down in order. Lets no std::exception escape: a failure
// is logged as "ERROR - Run failure: ..." and the run ends.
void run_agent();
// The same with another capture source (tests).
void run_agent(const CaptureFactory& make_capture);

// Ends the run: at once when it waits for a stop, or as soon as it reaches that wait
// when it is still starting. Safe from any thread, not from a signal handler.
void request_stop();

// SIGINT and SIGTERM request the stop; any other number is logged.
void handle_stop_signal(int signal_number);

// Forgets an earlier stop request, so that one process can run the sequence again (tests).
void reset_stop_request();

}  // namespace kx::agent
