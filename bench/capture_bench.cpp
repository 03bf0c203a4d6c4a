// Replay speed of the capture session against libpcap's own read speed.
//
// The program writes a pcap file of one million DNS packets (UDP queries and responses,
// and DNS over TCP) with pcap_dump, then measures
//   - Replay: the PcapSession reading the file into a counting message handler;
//   - TcpdumpRead: "tcpdump -r FILE -w /dev/null" on the same file, the raw read rate;
//   - DecodeFrame: the decoder alone on one frame held in memory.
// Rates are reported as items_per_second (packets per second).
#include <pcap/pcap.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sensor/packet_decoder.h"
#include "sensor/pcap_session.h"
#include "support/frames.h"

namespace {

constexpr size_t kPackets = 1000000;
constexpr uint16_t kDnsPort = 53;

using Bytes = std::vector<uint8_t>;

// An Ethernet frame of IPv4 and UDP or TCP around a DNS message of dns_size bytes.
Bytes make_frame(bool tcp, bool to_server, uint32_t client, size_t dns_size, uint16_t id) {
  using namespace kx::test::frames;
  Bytes dns(dns_size);
  dns[0] = static_cast<uint8_t>(id >> 8);
  dns[1] = static_cast<uint8_t>(id);
  dns[2] = to_server ? 0x01 : 0x81;
  for (size_t i = 12; i < dns_size; ++i) dns[i] = static_cast<uint8_t>('a' + i % 26);
  const Bytes server = {10, 0, 0, 1};
  const Bytes device = {172, 16, static_cast<uint8_t>(client >> 8), static_cast<uint8_t>(client)};
  auto client_port = static_cast<uint16_t>(20000 + client % 40000);
  uint16_t from = to_server ? client_port : kDnsPort;
  uint16_t to = to_server ? kDnsPort : client_port;
  Bytes transport =
      tcp ? kx::test::frames::tcp(from, to, 0, tcp_stream({dns})) : udp(from, to, dns);
  return with_link(LinkType::ethernet, ipv4_packet(tcp ? 6 : 17, to_server ? device : server,
                                                   to_server ? server : device, transport));
}

// The file every benchmark reads; written once, removed at exit.
class CaptureFile {
 public:
  CaptureFile() {
    char path[] = "/tmp/tevrin-capture-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    path_ = path;
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path_.c_str());
    if (dumper == nullptr) {
      fprintf(stderr, "pcap_dump_open(%s) failed: %s\n", path_.c_str(), pcap_geterr(dead));
      exit(1);
    }
    for (size_t i = 0; i < kPackets; ++i) {
      bool tcp = i % 10 == 9;
      bool query = i % 2 == 0;
      Bytes frame = make_frame(tcp, query, static_cast<uint32_t>(i / 2 % 5000),
                               query ? 40 : 90 + i % 64, static_cast<uint16_t>(i / 2));
      struct pcap_pkthdr header {};
      header.ts.tv_sec = static_cast<time_t>(1700000000 + i / 10000);
      header.ts.tv_usec = static_cast<suseconds_t>(i % 10000 * 100);
      header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
      pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
  }
  ~CaptureFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const CaptureFile& capture_file() {
  static CaptureFile file;
  return file;
}

std::atomic<uint64_t> delivered{0};

int32_t count_message(const uint8_t*, uint32_t, void*) {
  delivered.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void Replay(benchmark::State& state) {
  const std::string& path = capture_file().path();
  for (auto _ : state) {
    delivered.store(0);
    kx::config::CaptureSettings settings;
    settings.capture_file = path;
    settings.dns_port = kDnsPort;
    kx::sensor::PcapSession session(settings);
    session.set_message_handler(count_message, nullptr);
    session.start();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (delivered.load() < kPackets && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    session.stop();
    if (delivered.load() != kPackets) {
      state.SkipWithError("the replay did not deliver every packet");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));
}
BENCHMARK(Replay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void TcpdumpRead(benchmark::State& state) {
  std::string command = "tcpdump -r " + capture_file().path() + " -w /dev/null 2>/dev/null";
  for (auto _ : state) {
    if (system(command.c_str()) != 0) {
      state.SkipWithError("tcpdump failed (is it installed?)");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPackets));
}
BENCHMARK(TcpdumpRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void DecodeFrame(benchmark::State& state) {
  bool tcp = state.range(0) != 0;
  Bytes frame = make_frame(tcp, true, 7, 40, 1);
  kx::sensor::PacketDecoder decoder(kDnsPort);
  decoder.set_message_handler(count_message, nullptr);
  for (auto _ : state) {
    decoder.process_frame(kx::sensor::LinkType::ethernet, 1700000000, frame.data(),
                          frame.size());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(DecodeFrame)->Arg(0)->Arg(1)->ArgName("tcp");

}  // namespace

BENCHMARK_MAIN();
