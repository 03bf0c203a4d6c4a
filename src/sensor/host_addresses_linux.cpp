#include "sensor/host_addresses_linux.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <ctime>

namespace kx::sensor {
namespace {

bool is_loopback(const IpAddress& address) {
  if (address.family == 4) return address.bytes[0] == 127;
  static const uint8_t kIpv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(address.bytes, kIpv6Loopback, 16) == 0;
}

}  // namespace

bool HostAddresses::list_interface_addresses(std::vector<IpAddress>* out) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  out->clear();
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    IpAddress address;
    if (entry->ifa_addr->sa_family == AF_INET) {
      address.family = 4;
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      memcpy(address.bytes, &in->sin_addr, 4);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      address.family = 6;
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      memcpy(address.bytes, &in6->sin6_addr, 16);
    } else {
      continue;
    }
    out->push_back(address);
  }
  freeifaddrs(list);
  return true;
}

int64_t HostAddresses::monotonic_milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

HostAddresses::HostAddresses(Lister lister, Clock clock, int64_t refresh_interval_ms)
    : lister_(lister), clock_(clock), refresh_interval_ms_(refresh_interval_ms) {}

bool HostAddresses::is_local(const IpAddress& address) {
  if (is_loopback(address) || listed(address)) return true;
  int64_t now = clock_();
  if (refreshed_ && now - last_refresh_ < refresh_interval_ms_) return false;
  refresh(now);
  return listed(address);
}

bool HostAddresses::listed(const IpAddress& address) const {
  for (const IpAddress& known : addresses_) {
    if (same_address(known, address)) return true;
  }
  return false;
}

// A failed listing keeps the previous addresses and is tried again after the interval.
void HostAddresses::refresh(int64_t now) {
  refreshed_ = true;
  last_refresh_ = now;
  std::vector<IpAddress> fresh;
  if (lister_(&fresh)) addresses_.swap(fresh);
}

}  // namespace kx::sensor
