// Feeds arbitrary bytes to the collector's stream parser, cut into chunks at places the
// input chooses, and runs every message it finds through the JSON, pcap and dnstap
// encoders: all of them read what an agent (or anyone) sends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dnstap_output.h"
#include "json_output.h"
#include "pcap_frame.h"
#include "stream_parser.h"

namespace {

class EncodingSink : public kx::collector::StreamSink {
 public:
  void on_hello(std::string_view version) override { version_ = version; }
  void on_message(const kx::wire::DnsMessageView& dns) override {
    kx::collector::CollectedMessage message;
    message.agent = "127.0.0.1:1";
    message.version = version_;
    message.dns = dns;
    json_.format(message, line_);
    frames_.build(dns);
    dnstap_.clear();
    kx::collector::encode_dnstap(message, dnstap_);
  }

 private:
  std::string version_;
  kx::collector::JsonFormatter json_;
  kx::collector::FrameBuilder frames_;
  std::string line_;
  std::vector<uint8_t> dnstap_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the chunk size, so that records are cut at every kind of place.
  size_t chunk = size_t{data[0]} + 1;
  ++data;
  --size;
  kx::collector::StreamParser parser(4096);
  EncodingSink sink;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (!parser.feed(data + at, n, sink)) break;
  }
  return 0;
}
