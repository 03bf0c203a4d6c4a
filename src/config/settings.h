// The agent settings read from the configuration: the sensor queue's size and the
// collectors to forward to. Both are process-wide, filled once by apply_settings before
// any worker starts and only read afterwards, so they carry no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace kx::config {

inline constexpr uint32_t kDefaultQueueSize = 104857600;  // 100 MiB
inline constexpr uint16_t kDefaultPort = 8100;
inline constexpr uint32_t kDefaultTimeout = 5;  // seconds
inline constexpr uint32_t kDefaultStatisticsInterval = 60;  // seconds

// One collector. A new Target holds the defaults until parse_target fills it.
struct Target {
  std::string ip = "127.0.0.1";  // dotted IPv4 text; not checked here
  uint16_t port = kDefaultPort;
  uint32_t timeout = kDefaultTimeout;  // seconds, for connecting and for each send
};

// The capacity in bytes of the sensor queue.
extern uint32_t queue_size;
// The collectors, one per `target` line, in file order; tried in this order.
extern std::vector<Target> target_list;
// Seconds between two statistics reports; 0: no reports.
extern uint32_t statistics_interval;

// Sets queue_size from the first `queue-size` line, appends one Target per `target`
// line and logs "Config: queue-size = %u" and one "Config: target = ..." line each;
// sets statistics_interval from the first `statistics-interval` line. No value is an
// error: unusable ones fall back to the defaults.
void apply_settings(const Config& config);

// Fills all three fields of target from the value of a `target` line:
// "<ip>[:<port>][ <timeout>]". A missing, unreadable or zero port or timeout gives the
// default; the port takes the low 16 bits of the number.
void parse_target(Target& target, std::string_view value);

// The number text reads as, the way C's atol reads it (leading white space, one
// optional sign, digits up to the first other character, 0 without digits), clamped
// to the signed 32-bit range on every platform.
int32_t read_decimal(std::string_view text);

// The statistics interval a `statistics-interval` value gives: only a number turns the
// reports off, by reading as 0; a value that does not begin with a digit keeps the
// default, so that a slip of the pen never silences the loss reports.
uint32_t read_statistics_interval(std::string_view value);

// The ipv6-clients key: exactly `on` (read like `logging`) frames DNS packets whose
// device address is IPv6 too; anything else, or no line, leaves them out. Logs
// "Config: ipv6-clients = on" when on.
bool read_ipv6_clients(const Config& config);

// Back to the start-up state: the default settings and no targets. For tests.
void reset_settings();

}  // namespace kx::config
