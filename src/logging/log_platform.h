// The few platform calls the log needs.
#pragma once

#include <cstdio>

namespace kx::logging {

// Opens path for text appending so that other programs may read (and write) it meanwhile.
FILE* open_shared_for_append(const char* path);
unsigned current_process_id();

}  // namespace kx::logging
