#pragma once

namespace kx::agent {

// What main does once config_path is set: on Windows the service dispatcher (or the
// console run), elsewhere the console run. Returns the exit status.
int platform_main();

}  // namespace kx::agent
