// Every message as one packet of a pcap file (raw IP link type), timed by its event time.
#pragma once

#include <pcap/pcap.h>

#include <memory>
#include <string>

#include "output.h"
#include "pcap_frame.h"

namespace kx::collector {

class PcapOutput : public Output {
 public:
  explicit PcapOutput(const std::string& path);

  void write(const CollectedMessage& message) override;
  void flush() override;
  const char* kind() const override { return "pcap"; }

 private:
  std::string path_;
  std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap_;
  std::unique_ptr<pcap_dumper_t, decltype(&pcap_dump_close)> dumper_;
  FrameBuilder frames_;
};

}  // namespace kx::collector
