#include "sensor/host_addresses_linux.h"

#include <gtest/gtest.h>

#include <vector>

namespace kx::sensor {
namespace {

const IpAddress kFirst{4, {10, 0, 0, 1}};
const IpAddress kSecond{4, {10, 0, 0, 2}};
std::vector<IpAddress> interface_addresses;
int listings = 0;
int64_t now_ms = 1000;

bool list_interfaces(std::vector<IpAddress>* out) {
  ++listings;
  *out = interface_addresses;
  return true;
}
int64_t clock_ms() { return now_ms; }

TEST(HostAddresses, ListsAgainForAnUnknownAddressOncePerRefreshIntervalOnly) {
  interface_addresses = {kFirst};
  HostAddresses host(list_interfaces, clock_ms, 5000);
  EXPECT_TRUE(host.is_local(kFirst));
  interface_addresses.push_back(kSecond);
  EXPECT_FALSE(host.is_local(kSecond));  // listed 0 ms ago
  now_ms += 4999;
  EXPECT_FALSE(host.is_local(kSecond));
  EXPECT_EQ(listings, 1);
  now_ms += 1;
  EXPECT_TRUE(host.is_local(kSecond));
  EXPECT_TRUE(host.is_local(kFirst));  // a known address costs no listing
  EXPECT_EQ(listings, 2);
}

TEST(HostAddresses, TakesAllOfTheLoopbackNetAsLocalAndListsThisHostsInterfaces) {
  interface_addresses.clear();
  HostAddresses none(list_interfaces, clock_ms);
  EXPECT_TRUE(none.is_local({4, {127, 0, 0, 53}}));
  EXPECT_TRUE(none.is_local({6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}));
  EXPECT_FALSE(none.is_local({4, {128, 0, 0, 1}}));
  EXPECT_FALSE(none.is_local({6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}}));
  std::vector<IpAddress> listed;
  ASSERT_TRUE(HostAddresses::list_interface_addresses(&listed));
  bool has_loopback = false;
  for (const IpAddress& a : listed) has_loopback |= a.family == 4 && a.bytes[0] == 127;
  EXPECT_TRUE(has_loopback);
}

}  // namespace
}  // namespace kx::sensor
