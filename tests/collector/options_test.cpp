#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kx::collector {
namespace {

// A wrong family shows in the text formatted back.
TEST(SocketAddressTest, ParsesAddressesAndNetworksAndMatchesPeersToNetworks) {
  for (const char* good : {"127.0.0.1:8100", "0.0.0.0:0", "[::1]:8100", "[2001:db8::1]:65535"}) {
    SocketAddress address;
    ASSERT_TRUE(parse_socket_address(good, &address)) << good;
    EXPECT_EQ(format_socket_address(address.get()), good);
  }
  for (const char* bad :
       {"127.0.0.1:65536", "127.0.0.1:", "127.0.0.1:80x", "127.0.0.1:-1", "127.0.0.1", "::1:8100",
        "[::1]8100", "[::1", "localhost:8100", ":8100"}) {
    SocketAddress address;
    EXPECT_FALSE(parse_socket_address(bad, &address)) << bad;
  }
  // A network matches the addresses under its prefix, IPv4-mapped peers as IPv4, and no
  // other family; a prefix with host bits set or out of range is refused.
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"10.0.0.0/8", "10.255.0.1:1", "11.0.0.1:1"}, {"127.0.0.1", "127.0.0.1:1", "127.0.0.2:1"},
      {"192.168.4.0/22", "192.168.7.255:1", "192.168.8.0:1"}, {"::1/128", "[::1]:1", "127.0.0.1:1"},
      {"0.0.0.0/0", "[::ffff:203.0.113.9]:1", "[2001:db8::1]:1"},
      {"2001:db8::/33", "[2001:db8:7fff::1]:1", "[2001:db8:8000::1]:1"},
  };
  for (const auto& [text, in, out] : cases) {
    Network network;
    SocketAddress inside, outside;
    ASSERT_TRUE(parse_network(text, &network)) << text;
    ASSERT_TRUE(parse_socket_address(in, &inside) && parse_socket_address(out, &outside));
    EXPECT_TRUE(network_contains(network, inside.get())) << text << " " << in;
    EXPECT_FALSE(network_contains(network, outside.get())) << text << " " << out;
  }
  for (const char* bad : {"10.1.2.3/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/x", "::/129",
                          "example.org/8", "10.0.0/8"}) {
    Network network;
    EXPECT_FALSE(parse_network(bad, &network)) << bad;
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
      text += kinds[static_cast<int>(t.kind)] + t.path + t.host + (t.port.empty() ? "" : "," + t.port);
    }
    for (const KafkaSettings& k : o.kafka_outputs) {
      text += " kafka:" + k.brokers + "/" + k.topic +
              (k.format == KafkaSettings::Format::json ? "/json" : "/dnstap");
      for (const auto& [key, value] : k.options) text += "," + key + "=" + value;
    }
    if (!o.kafka_outputs.empty()) text += " within " + std::to_string(o.kafka_flush_seconds);
    text += " max " + std::to_string(o.max_record) + (o.flush_each_message ? " flush" : "");
    if (!o.allow.empty()) text += " allow " + std::to_string(o.allow.size());
    if (o.max_buffered != kDefaultMaxBuffered) text += " buffered " + std::to_string(o.max_buffered);
    return text + (o.metrics_address.empty() ? "" : " metrics " + o.metrics_address);
  } catch (const UsageError& e) {
    return e.what();
  }
}

TEST(OptionsTest, ReadsEveryOptionAndNamesTheBadArgument) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{}, "127.0.0.1:8100 json:- max 16777216"},
      // An explicit output replaces the default JSON to standard output.
      {{"--pcap", "a.pcap", "--max-record", "8"}, "127.0.0.1:8100 pcap:a.pcap max 8"},
      {{"--listen", "[::1]:0", "--json", "x.json", "--pcap", "a.pcap", "--dnstap", "a.tap",
        "--dnstap-unix", "/run/tap.sock", "--dnstap-tcp", "127.0.0.1:6000", "--max-record",
        "1073741824", "--flush"},
       "[::1]:0 json:x.json pcap:a.pcap dnstap:a.tap dnstap-unix:/run/tap.sock "
       "dnstap-tcp:127.0.0.1,6000 max 1073741824 flush"},
      {{"--allow", "10.0.0.0/8", "--allow", "::1", "--max-buffered", "1000", "--metrics",
        "[::1]:9100"},
       "127.0.0.1:8100 json:- max 16777216 allow 2 buffered 1000 metrics [::1]:9100"},
      {{"--allow", "10.0.0.1/8"}, "--allow wants a numeric network, ADDR/BITS, not '10.0.0.1/8'"},
      {{"--max-buffered", "0"}, "--max-buffered wants a byte count above 0, not '0'"},
      {{"--metrics", "9100"}, "--metrics wants a numeric ADDR:PORT, not '9100'"},
      {{"--bogus"}, "unknown option --bogus"}, {{"--json"}, "missing value after --json"},
      {{"--listen", "example.org:80"}, "--listen wants a numeric ADDR:PORT, not 'example.org:80'"},
      {{"--dnstap-tcp", "6000"}, "--dnstap-tcp wants a numeric ADDR:PORT, not '6000'"},
      {{"--max-record", "7"}, "--max-record wants a byte count from 8 to 1073741824, not '7'"},
      // Kafka options apply to the --kafka before them; a Kafka output alone replaces
      // the default JSON to standard output.
      {{"--kafka", "k1:9092,k2:9092", "--kafka-topic", "dns", "--kafka-option", "acks=all",
        "--kafka-option", "linger.ms=", "--kafka", "k3:9092", "--kafka-format", "dnstap",
        "--kafka-topic", "tap", "--kafka-flush-seconds", "2.5"},
       "127.0.0.1:8100 kafka:k1:9092,k2:9092/dns/json,acks=all,linger.ms= "
       "kafka:k3:9092/tap/dnstap within 2.500000 max 16777216"},
      {{"--kafka-topic", "dns", "--kafka", "k:9092"}, "--kafka-topic before any --kafka"},
      {{"--kafka", "k:9092"}, "--kafka k:9092 needs a --kafka-topic"},
      {{"--kafka", ""}, "--kafka wants a broker list HOST:PORT[,HOST:PORT...]"},
      {{"--kafka", "k:9092", "--kafka-topic", ""}, "--kafka-topic wants a topic name, not ''"},
      {{"--kafka", "k:9092", "--kafka-format", "avro"},
       "--kafka-format wants json or dnstap, not 'avro'"},
      {{"--kafka", "k:9092", "--kafka-option", "=1"}, "--kafka-option wants KEY=VALUE, not '=1'"},
      {{"--kafka-flush-seconds", "-1"},
       "--kafka-flush-seconds wants seconds from 0 to 3600, not '-1'"},
  };
  for (const auto& [args, expected] : cases) EXPECT_EQ(parsed(args), expected);
}

}  // namespace
}  // namespace kx::collector
