// The table of this host's own addresses that the Linux capture asks whether the DNS
// server's end of a packet is local.
#pragma once

#include <cstdint>
#include <vector>

#include "sensor/packet_decoder.h"

namespace kx::sensor {

// This host's addresses. In live capture the DNS server's end of a packet must be one of
// them. The list is read again when an unknown address is asked for, at most once per
// refresh interval, so that addresses added while the agent runs are found soon and a
// busy stream of other hosts' packets costs no more than one listing per interval. All of
// 127.0.0.0/8 and ::1 are always local: the kernel routes them all to this host.
class HostAddresses : public LocalAddressCheck {
 public:
  // Fills out with the current addresses; false when they cannot be listed.
  using Lister = bool (*)(std::vector<IpAddress>* out);
  // Milliseconds of a monotonic clock.
  using Clock = int64_t (*)();

  static bool list_interface_addresses(std::vector<IpAddress>* out);
  static int64_t monotonic_milliseconds();

  explicit HostAddresses(Lister lister = list_interface_addresses,
                         Clock clock = monotonic_milliseconds,
                         int64_t refresh_interval_ms = 5000);
  bool is_local(const IpAddress& address) override;

 private:
  bool listed(const IpAddress& address) const;
  void refresh(int64_t now);

  Lister lister_;
  Clock clock_;
  int64_t refresh_interval_ms_;
  bool refreshed_ = false;
  int64_t last_refresh_ = 0;
  std::vector<IpAddress> addresses_;
};

}  // namespace kx::sensor
