#include "options.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace kx::collector {
namespace {

Options parse(std::vector<const char*> args) {
  args.insert(args.begin(), "collector");
  return parse_options(static_cast<int>(args.size()), args.data());
}

TEST(SocketAddressTest, ParsesNumericAddressesAndFormatsThemBack) {
  const struct {
    const char* text;
    bool ok;
    int family;
    const char* formatted;
  } cases[] = {
      {"127.0.0.1:8100", true, AF_INET, "127.0.0.1:8100"},
      {"0.0.0.0:0", true, AF_INET, "0.0.0.0:0"},
      {"[::1]:8100", true, AF_INET6, "[::1]:8100"},
      {"[2001:db8::1]:65535", true, AF_INET6, "[2001:db8::1]:65535"},
      {"127.0.0.1:65536", false, 0, ""},
      {"127.0.0.1:", false, 0, ""},
      {"127.0.0.1:80x", false, 0, ""},
      {"127.0.0.1:-1", false, 0, ""},
      {"127.0.0.1", false, 0, ""},
      {"::1:8100", false, 0, ""},
      {"[::1]8100", false, 0, ""},
      {"[::1", false, 0, ""},
      {"localhost:8100", false, 0, ""},
      {":8100", false, 0, ""},
  };
  for (const auto& c : cases) {
    SocketAddress address;
    ASSERT_EQ(parse_socket_address(c.text, &address), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address.family(), c.family) << c.text;
    EXPECT_EQ(format_socket_address(address.get()), c.formatted);
  }
}

TEST(OptionsTest, DefaultsListenOnLoopback8100WithJsonToStandardOutput) {
  Options options = parse({});
  EXPECT_EQ(format_socket_address(options.listen.get()), "127.0.0.1:8100");
  EXPECT_EQ(options.json_paths, std::vector<std::string>{"-"});
  EXPECT_TRUE(options.pcap_paths.empty());
  EXPECT_EQ(options.max_record, 16u * 1024 * 1024);
  EXPECT_FALSE(options.flush_each_message);
}

TEST(OptionsTest, EveryOutputCanBeCombined) {
  Options options = parse({"--listen", "[::1]:0", "--pcap", "a.pcap", "--dnstap", "a.tap",
                           "--dnstap-unix", "/run/tap.sock", "--dnstap-tcp", "127.0.0.1:6000",
                           "--max-record", "4096", "--flush"});
  EXPECT_EQ(format_socket_address(options.listen.get()), "[::1]:0");
  // An explicit output replaces the default JSON to standard output.
  EXPECT_TRUE(options.json_paths.empty());
  EXPECT_EQ(options.pcap_paths, std::vector<std::string>{"a.pcap"});
  ASSERT_EQ(options.dnstap_targets.size(), 3u);
  EXPECT_EQ(options.dnstap_targets[0].kind, DnstapTarget::Kind::file);
  EXPECT_EQ(options.dnstap_targets[1].kind, DnstapTarget::Kind::unix_socket);
  EXPECT_EQ(options.dnstap_targets[1].path, "/run/tap.sock");
  EXPECT_EQ(options.dnstap_targets[2].kind, DnstapTarget::Kind::tcp_socket);
  EXPECT_EQ(options.dnstap_targets[2].host, "127.0.0.1");
  EXPECT_EQ(options.dnstap_targets[2].port, "6000");
  EXPECT_EQ(options.max_record, 4096u);
  EXPECT_TRUE(options.flush_each_message);
}

TEST(OptionsTest, BadArgumentsAreUsageErrorsNamingThem) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--json"}, "missing value after --json"},
      {{"--listen", "example.org:80"}, "--listen wants a numeric ADDR:PORT, not 'example.org:80'"},
      {{"--dnstap-tcp", "6000"}, "--dnstap-tcp wants a numeric ADDR:PORT, not '6000'"},
      {{"--max-record", "7"}, "--max-record wants a byte count from 8 to 1073741824, not '7'"},
      {{"--max-record", "1073741825"},
       "--max-record wants a byte count from 8 to 1073741824, not '1073741825'"},
      {{"--max-record", "16M"}, "--max-record wants a byte count from 8 to 1073741824, not '16M'"},
  };
  for (const auto& c : cases) {
    try {
      parse(c.args);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const UsageError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace kx::collector
