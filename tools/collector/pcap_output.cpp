#include "pcap_output.h"

#include <cerrno>

#include "collector_error.h"
#include "logging/log.h"

namespace kx::collector {
namespace {

// Room for the largest IP datagram a frame can be.
constexpr int kSnapshotLength = 65535;

}  // namespace

PcapOutput::PcapOutput(const std::string& path)
    : path_(path),
      pcap_(pcap_open_dead(DLT_RAW, kSnapshotLength), &pcap_close),
      dumper_(nullptr, &pcap_dump_close) {
  if (!pcap_) throw CollectorError("pcap_open_dead(DLT_RAW) failed for " + path);
  dumper_ = open_dumper();
}

// Writes a file header only into a new or empty file, and refuses a file of another
// link type or snapshot length rather than mixing packets into it.
PcapOutput::Dumper PcapOutput::open_dumper() {
  Dumper dumper(pcap_dump_open_append(pcap_.get(), path_.c_str()), &pcap_dump_close);
  if (!dumper) {
    kx::error::raise_failed_call<CollectorError>("pcap_dump_open_append", path_,
                                                 pcap_geterr(pcap_.get()));
  }
  return dumper;
}

void PcapOutput::reopen() {
  flush();
  dumper_ = open_dumper();
}

void PcapOutput::write(const CollectedMessage& message) {
  const std::vector<uint8_t>& frame = frames_.build(message.dns);
  struct pcap_pkthdr header = {};
  header.ts.tv_sec = static_cast<time_t>(message.dns.time_seconds);
  header.ts.tv_usec = 0;
  header.caplen = static_cast<bpf_u_int32>(frame.size());
  header.len = header.caplen;
  pcap_dump(reinterpret_cast<u_char*>(dumper_.get()), &header, frame.data());
}

void PcapOutput::flush() {
  // A failed write inside pcap_dump shows only as the stream's error flag.
  if (pcap_dump_flush(dumper_.get()) != 0 || ferror(pcap_dump_file(dumper_.get())) != 0) {
    int error = errno;
    kx::error::raise_system_error<CollectorError>("fflush", path_, error);
  }
}

}  // namespace kx::collector
