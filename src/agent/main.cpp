#include <cstdio>

#include "agent/platform_main.h"
#include "agent/run_agent.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: agent <config-file>\n", stderr);
    return -1;
  }
  kx::agent::config_path = argv[1];
  return kx::agent::platform_main();
}
