// The collector's command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector_server.h"
#include "dnstap_output.h"
#include "kafka_output.h"
#include "socket_address.h"
#include "stream_parser.h"

namespace kx::collector {

inline constexpr char kDefaultListen[] = "127.0.0.1:8100";

struct Options {
  std::string listen_text = kDefaultListen;
  SocketAddress listen;
  std::vector<std::string> json_paths;  // "-" is standard output
  std::vector<std::string> pcap_paths;
  std::vector<DnstapTarget> dnstap_targets;
  std::vector<KafkaSettings> kafka_outputs;
  double kafka_flush_seconds = 10;
  uint32_t max_record = kDefaultMaxRecord;
  bool flush_each_message = false;
  bool help = false;
  // Limits and exposure to peers.
  std::vector<Network> allow;       // empty: every peer
  uint64_t max_buffered = kDefaultMaxBuffered;
  std::string metrics_address;      // empty: no metrics

};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads argv. Without any output, JSON lines go to standard output. Raises
// UsageError naming the offending argument.
Options parse_options(int argc, const char* const* argv);

extern const char kUsage[];

}  // namespace kx::collector
