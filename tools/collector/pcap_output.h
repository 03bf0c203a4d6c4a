// Every message as one packet of a pcap file (raw IP link type), timed by its event time.
#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>

#include "output.h"
#include "pcap_frame.h"

namespace kx::collector {

// A file that exists is appended to when its link type is ours; otherwise the output
// cannot be opened.
class PcapOutput : public Output {
 public:
  explicit PcapOutput(const std::string& path);

  void write(const CollectedMessage& message) override;
  void flush() override;
  void reopen() override;
  const char* kind() const override { return "pcap"; }

 private:
  using Dumper = std::unique_ptr<pcap_dumper_t, decltype(&pcap_dump_close)>;
  Dumper open_dumper();

  std::string path_;
  std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap_;
  Dumper dumper_;
  FrameBuilder frames_;
};

}  // namespace kx::collector
