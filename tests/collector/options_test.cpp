#include "options.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace kx::collector {
namespace {

TEST(SocketAddressTest, ParsesNumericAddressesAndFormatsThemBack) {
  const struct {
    const char* text;
    int family;
  } good[] = {{"127.0.0.1:8100", AF_INET}, {"0.0.0.0:0", AF_INET}, {"[::1]:8100", AF_INET6},
              {"[2001:db8::1]:65535", AF_INET6}};
  for (const auto& c : good) {
    SocketAddress address;
    ASSERT_TRUE(parse_socket_address(c.text, &address)) << c.text;
    EXPECT_EQ(address.family(), c.family) << c.text;
    EXPECT_EQ(format_socket_address(address.get()), c.text);
  }
  for (const char* bad :
       {"127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:80x", "127.0.0.1:-1", "127.0.0.1", "::1:8100",
        "[::1]8100", "[::1", "localhost:8100", ":8100"}) {
    SocketAddress address;
    EXPECT_FALSE(parse_socket_address(bad, &address)) << bad;
  }
}

// The options read from the arguments as one text, or the usage error.
std::string parsed(std::vector<const char*> args) {
  args.insert(args.begin(), "collector");
  try {
    Options o = parse_options(static_cast<int>(args.size()), args.data());
    std::string text = format_socket_address(o.listen.get());
    for (const std::string& path : o.json_paths) text += " json:" + path;
    for (const std::string& path : o.pcap_paths) text += " pcap:" + path;
    const char* kinds[] = {" dnstap:", " dnstap-unix:", " dnstap-tcp:"};
    for (const DnstapTarget& t : o.dnstap_targets) {
      text +=
          kinds[static_cast<int>(t.kind)] + t.path + t.host + (t.port.empty() ? "" : "," + t.port);
    }
    return text + " max " + std::to_string(o.max_record) + (o.flush_each_message ? " flush" : "");
  } catch (const UsageError& e) {
    return e.what();
  }
}

TEST(OptionsTest, ReadsEveryOptionAndNamesTheBadArgument) {
  const struct {
    std::vector<const char*> args;
    const char* expected;
  } cases[] = {
      {{}, "127.0.0.1:8100 json:- max 16777216"},
      // An explicit output replaces the default JSON to standard output.
      {{"--pcap", "a.pcap", "--max-record", "8"}, "127.0.0.1:8100 pcap:a.pcap max 8"},
      {{"--listen", "[::1]:0", "--json", "x.json", "--pcap", "a.pcap", "--dnstap", "a.tap",
        "--dnstap-unix", "/run/tap.sock", "--dnstap-tcp", "127.0.0.1:6000", "--max-record",
        "1073741824", "--flush"},
       "[::1]:0 json:x.json pcap:a.pcap dnstap:a.tap dnstap-unix:/run/tap.sock "
       "dnstap-tcp:127.0.0.1,6000 max 1073741824 flush"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--json"}, "missing value after --json"},
      {{"--listen", "example.org:80"}, "--listen wants a numeric ADDR:PORT, not 'example.org:80'"},
      {{"--dnstap-tcp", "6000"}, "--dnstap-tcp wants a numeric ADDR:PORT, not '6000'"},
      {{"--max-record", "7"}, "--max-record wants a byte count from 8 to 1073741824, not '7'"},
      {{"--max-record", "1073741825"},
       "--max-record wants a byte count from 8 to 1073741824, not '1073741825'"},
      {{"--max-record", "16M"}, "--max-record wants a byte count from 8 to 1073741824, not '16M'"},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.args), c.expected);
}

}  // namespace
}  // namespace kx::collector
