#include "options.h"

#include <charconv>
#include <string_view>

namespace kx::collector {
namespace {

// Records above this could not be held by one agent's ring anyway, and the limit must
// keep a length plus its header inside 32 bits.
constexpr uint64_t kLargestMaxRecord = 1ull << 30;

uint32_t parse_max_record(std::string_view text) {
  uint64_t value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
      value < kx::wire::kDnsMessageFixedSize || value > kLargestMaxRecord) {
    throw UsageError("--max-record wants a byte count from " +
                     std::to_string(kx::wire::kDnsMessageFixedSize) + " to " +
                     std::to_string(kLargestMaxRecord) + ", not '" + std::string(text) + "'");
  }
  return static_cast<uint32_t>(value);
}

uint64_t parse_max_buffered(std::string_view text) {
  uint64_t value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
      value == 0) {
    throw UsageError("--max-buffered wants a byte count above 0, not '" + std::string(text) + "'");
  }
  return value;
}

// Reads the options that limit and expose the collector to its peers; false when arg is
// none of them.
bool parse_peer_option(std::string_view arg, const std::string& value, Options& options) {
  if (arg == "--allow") {
    Network network;
    if (!parse_network(value, &network)) {
      throw UsageError("--allow wants a numeric network, ADDR/BITS, not '" + value + "'");
    }
    options.allow.push_back(network);
  } else if (arg == "--max-buffered") {
    options.max_buffered = parse_max_buffered(value);
  } else if (arg == "--metrics") {
    SocketAddress checked;
    if (!parse_socket_address(value, &checked)) {
      throw UsageError("--metrics wants a numeric ADDR:PORT, not '" + value + "'");
    }
    options.metrics_address = value;
  } else {
    return false;
  }
  return true;
}

DnstapTarget tcp_target(const std::string& text) {
  DnstapTarget target;
  target.kind = DnstapTarget::Kind::tcp_socket;
  SocketAddress checked;
  if (!parse_socket_address(text, &checked) ||
      !split_host_port(text, &target.host, &target.port)) {
    throw UsageError("--dnstap-tcp wants a numeric ADDR:PORT, not '" + text + "'");
  }
  return target;
}

// The Kafka options: --kafka starts an output, the others apply to the last one.
// Returns false for an option that is not one of them.
bool parse_kafka_option(std::string_view arg, const std::string& value, Options& options) {
  if (arg == "--kafka") {
    if (value.empty()) throw UsageError("--kafka wants a broker list HOST:PORT[,HOST:PORT...]");
    options.kafka_outputs.push_back({value, {}, KafkaSettings::Format::json, {}});
    return true;
  }
  if (arg == "--kafka-flush-seconds") {
    double seconds = 0;
    auto result = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || result.ec != std::errc() || result.ptr != value.data() + value.size() ||
        !(seconds >= 0 && seconds <= 3600)) {
      throw UsageError("--kafka-flush-seconds wants seconds from 0 to 3600, not '" + value + "'");
    }
    options.kafka_flush_seconds = seconds;
    return true;
  }
  if (arg != "--kafka-topic" && arg != "--kafka-format" && arg != "--kafka-option") return false;
  if (options.kafka_outputs.empty()) throw UsageError(std::string(arg) + " before any --kafka");
  KafkaSettings& kafka = options.kafka_outputs.back();
  if (arg == "--kafka-topic") {
    if (value.empty()) throw UsageError("--kafka-topic wants a topic name, not ''");
    kafka.topic = value;
  } else if (arg == "--kafka-format") {
    if (value != "json" && value != "dnstap") {
      throw UsageError("--kafka-format wants json or dnstap, not '" + value + "'");
    }
    kafka.format = value == "json" ? KafkaSettings::Format::json : KafkaSettings::Format::dnstap;
  } else {
    size_t equals = value.find('=');
    if (equals == 0 || equals == std::string::npos) {
      throw UsageError("--kafka-option wants KEY=VALUE, not '" + value + "'");
    }
    kafka.options.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  }
  return true;
}

}  // namespace

const char kUsage[] =
    "usage: collector [--listen ADDR:PORT] [--json FILE|-] [--pcap FILE]\n"
    "                 [--dnstap FILE] [--dnstap-unix PATH] [--dnstap-tcp ADDR:PORT]\n"
    "                 [--max-record BYTES] [--flush]\n"
    "                 [--kafka BROKERS --kafka-topic TOPIC [--kafka-format json|dnstap]\n"
    "                  [--kafka-option KEY=VALUE]...] [--kafka-flush-seconds S]\n"
    "                 [--allow CIDR]... [--max-buffered BYTES] [--metrics ADDR:PORT]\n"
    "  --listen ADDR:PORT    address to accept agents on (default 127.0.0.1:8100,\n"
    "                        [::1]:8100 for IPv6, port 0 for any free port)\n"
    "  --json FILE|-         JSON lines, one per DNS packet (default: - when no\n"
    "                        output is given)\n"
    "  --pcap FILE           pcap file with synthetic IP/UDP/TCP headers\n"
    "  --dnstap FILE         dnstap file (Frame Streams)\n"
    "  --dnstap-unix PATH    stream dnstap to a receiver on a Unix socket\n"
    "  --dnstap-tcp ADDR:PORT  stream dnstap to a receiver over TCP\n"
    "  --max-record BYTES    largest record accepted (default 16777216)\n"
    "  --flush               flush outputs after every message (default: after\n"
    "                        every read batch)\n"
    "  --kafka BROKERS       produce every message to Kafka (bootstrap HOST:PORT list);\n"
    "                        the three options after it apply to this output\n"
    "  --kafka-topic TOPIC   its topic (required)\n"
    "  --kafka-format F      json (default) or dnstap\n"
    "  --kafka-option K=V    a librdkafka setting, repeatable\n"
    "  --kafka-flush-seconds S  time to deliver what is queued at a stop (default 10)\n"
    "  --allow CIDR          accept agents only from this network (repeatable;\n"
    "                        10.0.0.0/8, 2001:db8::/32); default: any\n"
    "  --max-buffered BYTES  bytes all connections may hold in unfinished records\n"
    "                        (default 268435456)\n"
    "  --metrics ADDR:PORT   serve Prometheus metrics at http://ADDR:PORT/metrics\n";

Options parse_options(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--flush") {
      options.flush_each_message = true;
      continue;
    }
    static const std::string_view kValueOptions[] = {
        "--listen", "--json", "--pcap", "--dnstap", "--dnstap-unix", "--dnstap-tcp",
        "--max-record", "--kafka", "--kafka-topic", "--kafka-format", "--kafka-option",
        "--kafka-flush-seconds", "--allow", "--max-buffered", "--metrics"};
    bool known = false;
    for (std::string_view name : kValueOptions) known = known || name == arg;
    if (!known) throw UsageError("unknown option " + std::string(arg));
    if (i + 1 >= argc) throw UsageError("missing value after " + std::string(arg));
    std::string value = argv[++i];
    if (parse_kafka_option(arg, value, options)) continue;
    if (parse_peer_option(arg, value, options)) continue;
    if (arg == "--listen") {
      options.listen_text = value;
    } else if (arg == "--json") {
      options.json_paths.push_back(value);
    } else if (arg == "--pcap") {
      options.pcap_paths.push_back(value);
    } else if (arg == "--dnstap") {
      options.dnstap_targets.push_back({DnstapTarget::Kind::file, value, {}, {}});
    } else if (arg == "--dnstap-unix") {
      options.dnstap_targets.push_back({DnstapTarget::Kind::unix_socket, value, {}, {}});
    } else if (arg == "--dnstap-tcp") {
      options.dnstap_targets.push_back(tcp_target(value));
    } else {
      options.max_record = parse_max_record(value);
    }
  }
  if (!parse_socket_address(options.listen_text, &options.listen)) {
    throw UsageError("--listen wants a numeric ADDR:PORT, not '" + options.listen_text + "'");
  }
  for (const KafkaSettings& kafka : options.kafka_outputs) {
    if (kafka.topic.empty()) throw UsageError("--kafka " + kafka.brokers + " needs a --kafka-topic");
  }
  if (options.json_paths.empty() && options.pcap_paths.empty() &&
      options.dnstap_targets.empty() && options.kafka_outputs.empty()) {
    options.json_paths.push_back("-");
  }
  return options;
}

}  // namespace kx::collector
