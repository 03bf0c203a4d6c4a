// The few platform calls the log needs.
#pragma once

#include <cstdio>
#include <ctime>

namespace kx::logging {

// Opens path for text appending so that other programs may read (and write) it meanwhile.
FILE* open_shared_for_append(const char* path);
unsigned current_process_id();
// The calendar time of now in UTC; the thread-safe form of gmtime.
void utc_time(const time_t* now, struct tm* out);

}  // namespace kx::logging
