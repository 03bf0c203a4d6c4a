#include "agent/platform_main.h"
#include "agent/run_agent.h"

namespace kx::agent {

// No service control manager here: systemd (or the console) runs the agent in the
// foreground and stops it with SIGTERM.
int platform_main() { return run_agent(); }

}  // namespace kx::agent
