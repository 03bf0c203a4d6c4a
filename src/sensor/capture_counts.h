// What a capture session saw since it was created, as the statistics report it.
#pragma once

#include <cstdint>
#include <string>

namespace kx::sensor {

struct CaptureCounts {
  uint64_t captured = 0;  // messages handed to the message handler
  uint64_t skipped = 0;   // packets or events seen and not framed
  uint64_t dropped = 0;   // packets the platform's capture lost before the agent saw them
  // Platform details appended to the statistics line, each as " key=value"; may be empty.
  std::string details;
};

}  // namespace kx::sensor
