#include "sensor/pcap_session.h"

#include <pcap/pcap.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "agent/errors.h"
#include "logging/log.h"
#include "sensor/host_addresses_linux.h"
#include "sys/threads.h"

namespace kx::sensor {
namespace {

// The kernel hands the capture a block of packets when the block fills or when this much
// time has passed since its first packet, so a packet reaches the agent up to this late.
// Measured with dnsperf on lo, the capture thread's CPU per million packets at 1k and 5k
// queries/s: 10 ms 5 to 6 s and 1.5 s, 100 ms 1 to 2 s and 0.9 s, 1000 ms 1 s and 0.7 s.
// Shorter also retires blocks barely used: 32 MiB is 128 blocks of 256 KiB, so at 10 ms a
// thread kept off the CPU for 1.3 s would overflow it even at a trickle; at 100 ms, 13 s.
constexpr int kBlockTimeoutMs = 100;
// Whole TCP segments stay capturable: merged segments approach 64 KiB.
constexpr int kSnapshotLength = 262144;

using PcapHandle = std::unique_ptr<pcap_t, decltype(&pcap_close)>;

bool map_link_type(int datalink, LinkType* out) {
  switch (datalink) {
    case DLT_EN10MB: *out = LinkType::ethernet; return true;
    case DLT_LINUX_SLL: *out = LinkType::linux_sll; return true;
    case DLT_LINUX_SLL2: *out = LinkType::linux_sll2; return true;
    case DLT_NULL:
    case DLT_LOOP: *out = LinkType::loopback; return true;
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6: *out = LinkType::raw_ip; return true;
    default: return false;
  }
}

// Only first fragments carry the ports, so they are the fragments the decoder counts.
// libpcap's "port" matches IPv6 only when UDP or TCP follows the fixed header, so for
// IPv6 clients the packets that begin with a hop-by-hop, routing, destination-options or
// authentication header pass too, and the decoder checks their port.
std::string filter_expression(uint16_t port, int datalink, bool ipv6_clients) {
  std::string expression = "port " + std::to_string(port);
  if (ipv6_clients) {
    expression += " or (ip6 and (ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 60 or ip6[6] == 51))";
  }
  // Tagged frames need their own clause: "vlan" moves the offsets of what follows it.
  if (datalink == DLT_EN10MB) expression += " or (vlan and (" + expression + "))";
  return expression;
}

}  // namespace

// --- PcapSession

struct PcapSessionState {
  PcapSessionState(const config::CaptureSettings& settings, PcapTally& tally)
      : settings(settings),
        tally(tally),
        live(settings.capture_file.empty()),
        decoder(settings.dns_port, live ? &host_addresses : nullptr, settings.ipv6_clients),
        skipped_before(tally.skipped.value()),
        dropped(tally.dropped.value()) {}

  const char* source_name() const {
    return live ? settings.interface.c_str() : settings.capture_file.c_str();
  }

  const config::CaptureSettings settings;
  PcapTally& tally;
  const bool live;
  HostAddresses host_addresses;
  PacketDecoder decoder;  // touched by the capture thread only, until it is joined
  // The counts of earlier starts, which the tally keeps adding to.
  const uint64_t skipped_before;
  LinkType link = LinkType::ethernet;
  std::atomic<bool> stop_requested{false};
  CaptureFailureHandler failure_handler = nullptr;
  void* failure_user = nullptr;
  sys::pthread_t thread;
  bool has_thread = false;
  // The open capture, so that stop can break its loop; the lock keeps it from being
  // closed while stop uses it.
  std::mutex handle_mutex;
  pcap_t* handle = nullptr;
  // Guarded by handle_mutex.
  bool stats_failure_logged = false;
  struct pcap_stat last_stats {};
  uint64_t dropped = 0;
};

namespace {

int64_t monotonic_ms() { return HostAddresses::monotonic_milliseconds(); }

// Bytes of the kernel's capture ring, as mapped into this process: libpcap maps the capture
// socket itself, which /proc/self/maps names "socket:[inode]". 0 when not found.
uint64_t mapped_ring_bytes(pcap_t* p) {
  struct stat socket_stat;
  if (fstat(pcap_fileno(p), &socket_stat) != 0) return 0;
  const std::string name = "socket:[" + std::to_string(socket_stat.st_ino) + "]";
  FILE* maps = fopen("/proc/self/maps", "re");
  if (maps == nullptr) return 0;
  uint64_t total = 0;
  char line[512];
  while (fgets(line, sizeof line, maps) != nullptr) {
    unsigned long long start = 0, end = 0;
    char path[256] = "";
    if (sscanf(line, "%llx-%llx %*s %*s %*s %*s %255s", &start, &end, path) == 3 &&
        name == path) {
      total += end - start;
    }
  }
  fclose(maps);
  return total;
}

// libpcap halves the ring in silence until the kernel accepts it, so the size granted is
// read back: a capture with a much smaller buffer than configured loses packets sooner.
void report_refused_buffer(pcap_t* p, uint32_t requested) {
  uint64_t granted = mapped_ring_bytes(p);
  if (granted == 0 || granted * 2 > requested) return;
  logging::log_message(
      "ERROR - Packet capture buffer: the kernel refused %u bytes (capture-buffer-size), "
      "capturing with %llu",
      requested, static_cast<unsigned long long>(granted));
}

PcapHandle open_live(const config::CaptureSettings& settings) {
  const std::string& interface = settings.interface;
  char error[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap_create(interface.c_str(), error), &pcap_close);
  if (!handle) kx::error::raise_failed_call<net::NetError>("pcap_create", interface, error);
  pcap_t* p = handle.get();
  pcap_set_snaplen(p, kSnapshotLength);
  pcap_set_promisc(p, 0);
  // Block mode: in immediate mode every packet takes a slot sized for the snapshot length,
  // so 8 MiB held about a hundred packets and any scheduling delay overflowed it; blocks
  // hold packets at their real size, and one wake-up takes hundreds of them.
  pcap_set_immediate_mode(p, 0);
  pcap_set_timeout(p, kBlockTimeoutMs);
  pcap_set_buffer_size(p, static_cast<int>(settings.buffer_size));
  int status = pcap_activate(p);
  if (status < 0) {
    std::string text = pcap_statustostr(status);
    const char* detail = pcap_geterr(p);
    // libpcap leaves the status text itself as the detail when it has nothing to add.
    if (detail != nullptr && detail[0] != '\0' && text != detail) {
      text += std::string(": ") + detail;
    }
    kx::error::raise_failed_call<net::NetError>("pcap_activate", interface, text);
  }
  report_refused_buffer(p, settings.buffer_size);
  return handle;
}

PcapHandle open_file(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap_open_offline(path.c_str(), error), &pcap_close);
  if (!handle) kx::error::raise_failed_call<net::NetError>("pcap_open_offline", path, error);
  return handle;
}

void apply_filter(pcap_t* p, const config::CaptureSettings& settings) {
  std::string expression =
      filter_expression(settings.dns_port, pcap_datalink(p), settings.ipv6_clients);
  struct bpf_program program;
  if (pcap_compile(p, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    kx::error::raise_failed_call<net::NetError>("pcap_compile", expression, pcap_geterr(p));
  }
  int status = pcap_setfilter(p, &program);
  pcap_freecode(&program);
  if (status != 0) {
    kx::error::raise_failed_call<net::NetError>("pcap_setfilter", expression, pcap_geterr(p));
  }
}

void on_packet(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  auto* state = reinterpret_cast<PcapSessionState*>(user);
  state->decoder.process_frame(state->link, static_cast<uint32_t>(header->ts.tv_sec), bytes,
                               header->caplen);
}

// Capture thread only.
void publish_skipped(PcapSessionState* state) {
  const SkipCounts& s = state->decoder.skipped();
  state->tally.skipped.set(state->skipped_before + s.truncated + s.malformed + s.fragments +
                           s.split_tcp + s.ipv6_clients + s.other);
}

// Reads the kernel's drop counts of a live capture into the tally; the caller holds
// handle_mutex, which keeps the handle open and the readings in order. Reading from the
// thread that asks, rather than from the capture thread, matters: pcap_dispatch does not
// return while the interface is silent, so counts left to it would miss the drops of a
// burst until the next packet. libpcap's statistics touch only the socket and fields of
// their own, not what the capture thread uses. A failing query is reported once.
void publish_drops(PcapSessionState* state, pcap_t* p) {
  struct pcap_stat stats;
  if (pcap_stats(p, &stats) != 0) {
    if (!state->stats_failure_logged) {
      logging::log_message("ERROR - pcap_stats(%s) failed: %s", state->source_name(),
                           pcap_geterr(p));
      state->stats_failure_logged = true;
    }
    return;
  }
  // libpcap's counts are 32 bits wide and wrap; their growth between two readings
  // does not.
  const uint32_t drops = stats.ps_drop - state->last_stats.ps_drop;
  const uint32_t interface_drops = stats.ps_ifdrop - state->last_stats.ps_ifdrop;
  state->dropped += uint64_t{drops} + interface_drops;
  state->last_stats = stats;
  state->tally.dropped.set(state->dropped);
}

// Runs until the end of the file, a stop, or a capture error (raised). A live capture
// goes on through any number of empty timeouts.
void capture_loop(PcapSessionState* state, pcap_t* p) {
  while (!state->stop_requested.load()) {
    int count = pcap_dispatch(p, -1, on_packet, reinterpret_cast<u_char*>(state));
    publish_skipped(state);
    if (count == PCAP_ERROR_BREAK) continue;  // the loop condition tells a stop apart
    if (count == PCAP_ERROR) {
      kx::error::raise_failed_call<net::NetError>("pcap_dispatch", state->source_name(),
                                                  pcap_geterr(p));
    }
    if (count == 0 && !state->live) return;  // end of the file
  }
}

// After a stop request, hands over what the kernel still holds. The block being filled
// is handed over only at its timeout, so the drain goes on that long.
void drain_live_capture(PcapSessionState* state, pcap_t* p) {
  char error[PCAP_ERRBUF_SIZE];
  {
    // Non-blocking mode closes the descriptor that pcap_breakloop writes to; a stop's
    // breakloop must not write to it while it closes, or to a descriptor that reuses it.
    std::lock_guard<std::mutex> lock(state->handle_mutex);
    if (pcap_setnonblock(p, 1, error) != 0) return;
  }
  const int64_t deadline = monotonic_ms() + kBlockTimeoutMs + 20;
  for (;;) {
    int count = pcap_dispatch(p, -1, on_packet, reinterpret_cast<u_char*>(state));
    if (count == PCAP_ERROR) {
      kx::error::raise_failed_call<net::NetError>("pcap_dispatch", state->source_name(),
                                                  pcap_geterr(p));
    }
    // Bounded even while packets keep coming, so that a stop stays prompt.
    if (monotonic_ms() >= deadline) return;
    if (count == 0) {
      struct timespec pause = {0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
}

void publish_handle(PcapSessionState* state, pcap_t* p) {
  std::lock_guard<std::mutex> lock(state->handle_mutex);
  state->handle = p;
}

// Takes the handle away from stop and from the counts, after the last reading of what
// it dropped (a file has no kernel to drop anything).
void retire_handle(PcapSessionState* state, pcap_t* p) {
  std::lock_guard<std::mutex> lock(state->handle_mutex);
  if (p != nullptr && state->live) publish_drops(state, p);
  state->handle = nullptr;
}

void run_capture(PcapSessionState* state) {
  logging::log_message("Starting packet capture on %s", state->source_name());
  PcapHandle handle(nullptr, &pcap_close);
  try {
    handle = state->live ? open_live(state->settings)
                         : open_file(state->settings.capture_file);
    int datalink = pcap_datalink(handle.get());
    if (!map_link_type(datalink, &state->link)) {
      const char* name = pcap_datalink_val_to_name(datalink);
      std::string text = "unsupported link type " + std::to_string(datalink) + " (" +
                         (name != nullptr ? name : "unknown") + ")";
      kx::error::raise_failed_call<net::NetError>("pcap_datalink", state->source_name(), text);
    }
    apply_filter(handle.get(), state->settings);
    // A stop that came before this point finds no handle to break; the loop then sees
    // its flag before it waits for the first packet.
    publish_handle(state, handle.get());
    logging::log_message("Entering packet capture loop...");
    capture_loop(state, handle.get());
    if (state->live) drain_live_capture(state, handle.get());
    logging::log_message("Packet capture finished");
  } catch (const std::exception& e) {
    logging::log_message("ERROR - Packet capture failed: %s", e.what());
    if (state->failure_handler != nullptr && !state->stop_requested.load()) {
      state->failure_handler(e.what(), state->failure_user);
    }
  }
  publish_skipped(state);
  retire_handle(state, handle.get());
}

uint32_t capture_thread(void* arg) {
  // Named so that top -H and /proc tell the capture's CPU apart from the forwarding's.
  prctl(PR_SET_NAME, "capture", 0, 0, 0);
  run_capture(static_cast<PcapSessionState*>(arg));
  return 0;
}

}  // namespace

PcapSession::PcapSession(config::CaptureSettings settings) : settings_(std::move(settings)) {}

PcapSession::~PcapSession() { stop(); }

void PcapSession::set_message_handler(MessageHandler handler, void* user) {
  sink_ = {handler, user};
}

int32_t PcapSession::forward_message(const uint8_t* data, uint32_t length, void* user) {
  auto* session = static_cast<PcapSession*>(user);
  if (session->sink_.handler == nullptr) return 0;
  session->tally_.captured.add(1);
  return send_message(session->sink_, data, length);
}

CaptureCounts PcapSession::counts() {
  if (state_ && state_->live) {
    std::lock_guard<std::mutex> lock(state_->handle_mutex);
    if (state_->handle != nullptr) publish_drops(state_.get(), state_->handle);
  }
  CaptureCounts counts;
  counts.captured = tally_.captured.value();
  counts.skipped = tally_.skipped.value();
  counts.dropped = tally_.dropped.value();
  return counts;
}

void PcapSession::set_failure_handler(CaptureFailureHandler handler, void* user) {
  failure_handler_ = handler;
  failure_user_ = user;
}

void PcapSession::start() {
  if (state_) return;
  state_ = std::make_unique<PcapSessionState>(settings_, tally_);
  state_->failure_handler = failure_handler_;
  state_->failure_user = failure_user_;
  state_->decoder.set_message_handler(forward_message, this);
  int rc = sys::pthread_create(&state_->thread, nullptr, capture_thread, state_.get());
  if (rc != 0) {
    kx::error::raise_system_error<net::NetError>("pthread_create", "", rc);
  }
  state_->has_thread = true;
}

void PcapSession::stop() {
  if (!state_) return;
  if (state_->has_thread) {
    state_->stop_requested.store(true);
    {
      std::lock_guard<std::mutex> lock(state_->handle_mutex);
      if (state_->handle != nullptr) pcap_breakloop(state_->handle);
    }
    sys::pthread_join(state_->thread, nullptr);
    logging::log_message("Packet capture skipped: %s", state_->decoder.skip_summary().c_str());
  }
  state_.reset();
}

}  // namespace kx::sensor
