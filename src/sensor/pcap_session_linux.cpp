#include "sensor/pcap_session.h"

#include <pcap/pcap.h>

#include <atomic>
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

// A poll of the capture ends after this long without packets, so the loop looks at the
// stop flag even on a silent interface.
constexpr int kLiveTimeoutMs = 100;
constexpr int kSnapshotLength = 262144;
constexpr int kKernelBufferBytes = 8 * 1024 * 1024;

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
std::string filter_expression(uint16_t port, int datalink) {
  std::string expression = "port " + std::to_string(port);
  // Tagged frames need their own clause: "vlan" moves the offsets of what follows it.
  if (datalink == DLT_EN10MB) expression += " or (vlan and port " + std::to_string(port) + ")";
  return expression;
}

}  // namespace

// --- PcapSession

struct PcapSessionState {
  explicit PcapSessionState(const config::CaptureSettings& settings)
      : settings(settings),
        live(settings.capture_file.empty()),
        decoder(settings.dns_port, live ? &host_addresses : nullptr) {}

  const char* source_name() const {
    return live ? settings.interface.c_str() : settings.capture_file.c_str();
  }

  const config::CaptureSettings settings;
  const bool live;
  HostAddresses host_addresses;
  PacketDecoder decoder;  // touched by the capture thread only, until it is joined
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
};

namespace {

PcapHandle open_live(const std::string& interface) {
  char error[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap_create(interface.c_str(), error), &pcap_close);
  if (!handle) kx::error::raise_failed_call<net::NetError>("pcap_create", interface, error);
  pcap_t* p = handle.get();
  pcap_set_snaplen(p, kSnapshotLength);
  pcap_set_promisc(p, 0);
  // Packets are handed over as they arrive rather than when a kernel block fills.
  pcap_set_immediate_mode(p, 1);
  pcap_set_timeout(p, kLiveTimeoutMs);
  pcap_set_buffer_size(p, kKernelBufferBytes);
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
  return handle;
}

PcapHandle open_file(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap_open_offline(path.c_str(), error), &pcap_close);
  if (!handle) kx::error::raise_failed_call<net::NetError>("pcap_open_offline", path, error);
  return handle;
}

void apply_filter(pcap_t* p, uint16_t port) {
  std::string expression = filter_expression(port, pcap_datalink(p));
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

// Runs until the end of the file, a stop, or a capture error (raised).
void capture_loop(PcapSessionState* state, pcap_t* p) {
  while (!state->stop_requested.load()) {
    int count = pcap_dispatch(p, -1, on_packet, reinterpret_cast<u_char*>(state));
    if (count == PCAP_ERROR_BREAK) return;
    if (count == PCAP_ERROR) {
      kx::error::raise_failed_call<net::NetError>("pcap_dispatch", state->source_name(),
                                                  pcap_geterr(p));
    }
    if (count == 0 && !state->live) return;  // end of the file
  }
}

void publish_handle(PcapSessionState* state, pcap_t* p) {
  std::lock_guard<std::mutex> lock(state->handle_mutex);
  state->handle = p;
}

void run_capture(PcapSessionState* state) {
  logging::log_message("Starting packet capture on %s", state->source_name());
  PcapHandle handle(nullptr, &pcap_close);
  try {
    handle = state->live ? open_live(state->settings.interface)
                         : open_file(state->settings.capture_file);
    int datalink = pcap_datalink(handle.get());
    if (!map_link_type(datalink, &state->link)) {
      const char* name = pcap_datalink_val_to_name(datalink);
      std::string text = "unsupported link type " + std::to_string(datalink) + " (" +
                         (name != nullptr ? name : "unknown") + ")";
      kx::error::raise_failed_call<net::NetError>("pcap_datalink", state->source_name(), text);
    }
    apply_filter(handle.get(), state->settings.dns_port);
    // A stop that came before this point finds no handle to break; the loop then sees
    // its flag before it waits for the first packet.
    publish_handle(state, handle.get());
    logging::log_message("Entering packet capture loop...");
    capture_loop(state, handle.get());
    logging::log_message("Packet capture finished");
  } catch (const std::exception& e) {
    logging::log_message("ERROR - Packet capture failed: %s", e.what());
    if (state->failure_handler != nullptr && !state->stop_requested.load()) {
      state->failure_handler(e.what(), state->failure_user);
    }
  }
  publish_handle(state, nullptr);
}

uint32_t capture_thread(void* arg) {
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
  return send_message(static_cast<PcapSession*>(user)->sink_, data, length);
}

void PcapSession::set_failure_handler(CaptureFailureHandler handler, void* user) {
  failure_handler_ = handler;
  failure_user_ = user;
}

void PcapSession::start() {
  if (state_) return;
  state_ = std::make_unique<PcapSessionState>(settings_);
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
