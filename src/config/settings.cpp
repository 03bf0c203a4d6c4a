#include "config/settings.h"

#include <limits>

#include "logging/log.h"

namespace kx::config {

uint32_t queue_size = kDefaultQueueSize;
std::vector<Target> target_list;
uint32_t statistics_interval = kDefaultStatisticsInterval;

namespace {

// Settings take the bit pattern of the signed result: -1 becomes 4294967295.
uint32_t as_unsigned(int32_t number) { return static_cast<uint32_t>(number); }

void apply_queue_size(const Config& config) {
  std::optional<std::string_view> value = config.get("queue-size");
  if (value) {
    int32_t number = read_decimal(*value);
    if (number != 0) queue_size = as_unsigned(number);
  }
  logging::log_message("Config: queue-size = %u", queue_size);
}

void apply_targets(const Config& config) {
  for (const std::string& value : config.get_all("target")) {
    Target target;
    parse_target(target, value);
    logging::log_message("Config: target = ip:%s port:%d timeout:%u", target.ip.c_str(),
                         static_cast<int>(target.port), target.timeout);
    target_list.push_back(std::move(target));
  }
}

void apply_statistics_interval(const Config& config) {
  std::optional<std::string_view> value = config.get("statistics-interval");
  if (value) statistics_interval = read_statistics_interval(*value);
}

}  // namespace

uint32_t read_statistics_interval(std::string_view value) {
  if (value.empty() || value[0] < '0' || value[0] > '9') return kDefaultStatisticsInterval;
  return as_unsigned(read_decimal(value));
}

int32_t read_decimal(std::string_view text) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  size_t pos = skip_config_space(text, 0);
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Accumulating the magnitude stops growing past the limit, so no digit count can
  // overflow it; the platform's long (64-bit on Linux) plays no part.
  int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (magnitude <= kMax + 1) magnitude = magnitude * 10 + (text[pos] - '0');
  }
  int64_t number = negative ? -magnitude : magnitude;
  if (number > kMax) return static_cast<int32_t>(kMax);
  if (number < kMin) return static_cast<int32_t>(kMin);
  return static_cast<int32_t>(number);
}

void parse_target(Target& target, std::string_view value) {
  size_t address_end = value.size();
  size_t space = find_config_space(value, 0);
  size_t timeout_start = skip_config_space(value, space);

  target.timeout = kDefaultTimeout;
  if (space < value.size() && timeout_start < value.size()) {
    target.timeout = as_unsigned(read_decimal(value.substr(timeout_start)));
    if (target.timeout == 0) target.timeout = kDefaultTimeout;
    address_end = space;
  }

  target.port = kDefaultPort;
  size_t colon = value.find(':');
  if (colon != std::string_view::npos) {
    target.port = static_cast<uint16_t>(as_unsigned(read_decimal(value.substr(colon + 1))));
    if (target.port == 0) target.port = kDefaultPort;
    address_end = colon;
  }

  target.ip.assign(value.substr(0, address_end));
}

void apply_settings(const Config& config) {
  apply_queue_size(config);
  apply_targets(config);
  apply_statistics_interval(config);
}

bool read_ipv6_clients(const Config& config) {
  std::optional<std::string_view> value = config.get("ipv6-clients");
  bool on = value && *value == "on";
  if (on) logging::log_message("Config: ipv6-clients = on");
  return on;
}

void reset_settings() {
  queue_size = kDefaultQueueSize;
  target_list.clear();
  statistics_interval = kDefaultStatisticsInterval;
}

}  // namespace kx::config
