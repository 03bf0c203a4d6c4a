#include "sensor/host_addresses_linux.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kx::sensor {
namespace {

std::vector<IpAddress> host_addresses;
int listings = 0;
int64_t now_ms = 1000;
bool list_host_addresses(std::vector<IpAddress>* out) {
  ++listings;
  *out = host_addresses;
  return true;
}
int64_t host_clock() { return now_ms; }

IpAddress ip(uint8_t family, std::vector<uint8_t> bytes) {
  IpAddress address;
  address.family = family;
  memcpy(address.bytes, bytes.data(), bytes.size());
  return address;
}

TEST(HostAddresses, FindsNewAddressesAfterTheRefreshIntervalAndNotBefore) {
  host_addresses = {ip(4, {10, 0, 0, 1})};
  HostAddresses host(list_host_addresses, host_clock, 5000);
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 1})));
  host_addresses.push_back(ip(4, {10, 0, 0, 2}));
  EXPECT_FALSE(host.is_local(ip(4, {10, 0, 0, 2})));  // listed 0 ms ago
  now_ms += 4999;
  EXPECT_FALSE(host.is_local(ip(4, {10, 0, 0, 2})));
  EXPECT_EQ(listings, 1);
  now_ms += 1;
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 2})));
  EXPECT_TRUE(host.is_local(ip(4, {10, 0, 0, 1})));  // a known address costs no listing
  EXPECT_EQ(listings, 2);
}

TEST(HostAddresses, TakesAllOfTheLoopbackNetAsLocalAndListsThisHostsInterfaces) {
  HostAddresses nothing_listed([](std::vector<IpAddress>* out) { out->clear(); return true; },
                               host_clock, 5000);
  EXPECT_TRUE(nothing_listed.is_local(ip(4, {127, 0, 0, 1})));
  EXPECT_TRUE(nothing_listed.is_local(ip(4, {127, 0, 0, 53})));
  EXPECT_TRUE(nothing_listed.is_local(ip(6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
  EXPECT_FALSE(nothing_listed.is_local(ip(4, {128, 0, 0, 1})));

  std::vector<IpAddress> addresses;
  ASSERT_TRUE(HostAddresses::list_interface_addresses(&addresses));
  bool has_loopback = false;
  for (const IpAddress& a : addresses) has_loopback |= a.family == 4 && a.bytes[0] == 127;
  EXPECT_TRUE(has_loopback);
}

}  // namespace
}  // namespace kx::sensor
