#include "agent/platform_main.h"
#include "agent/run_agent.h"
#include "agent/service.h"

namespace kx::agent {
namespace {

int run_agent_default() { return run_agent(); }

}  // namespace

int platform_main() { return dispatch_service_or_run(system_service_api(), run_agent_default); }

}  // namespace kx::agent
