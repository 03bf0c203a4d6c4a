// The Linux source of DNS packets: a libpcap capture on its own thread, live on an
// interface or replayed from a pcap file, whose packets the PacketDecoder frames into
// DNS packet messages for the installed message handler. Same calls as the Windows ETW
// session, so the run sequence drives either one alike.
//
// A failure of the capture itself is logged once ("ERROR - Packet capture failed: %s"),
// ends the capture thread and is handed to the failure handler, which ends the run.
#pragma once

#include <cstdint>
#include <memory>

#include "config/capture_settings.h"
#include "sensor/capture_counts.h"
#include "sensor/message_handler.h"
#include "sensor/packet_decoder.h"
#include "sys/counter.h"

namespace kx::sensor {

// The state of one started capture: its thread, its open capture, its decoder.
struct PcapSessionState;

// The capture thread's counts, kept by the session so that they outlive the state.
struct PcapTally {
  sys::Counter captured;
  sys::Counter skipped;  // the decoder's, published by the capture thread
  sys::Counter dropped;  // libpcap's ps_drop + ps_ifdrop of a live capture, under
                         // the state's handle_mutex
};

class PcapSession {
 public:
  explicit PcapSession(config::CaptureSettings settings);
  ~PcapSession();  // performs stop
  PcapSession(const PcapSession&) = delete;
  PcapSession& operator=(const PcapSession&) = delete;

  // Stores the handler and its user pointer; each message uses the pair stored when it is
  // delivered. Call it before start.
  void set_message_handler(MessageHandler handler, void* user);

  // Stores the handler told when the capture ends on an error (a stop is no error; nor
  // is the end of a replayed file). Call it before start.
  void set_failure_handler(CaptureFailureHandler handler, void* user);

  // Starts the capture thread; does nothing if it runs already. Raises kx::net::NetError
  // "pthread_create() failed: ..." when the thread cannot be started.
  void start();

  // Ends the capture promptly (also a live capture that sees no traffic), joins the
  // thread and logs the counts of skipped packets. Does nothing when not started.
  void stop();

  // Cumulative since creation, also after stop: the kernel's drops as of now, the
  // skipped packets as of the capture thread's last batch. Safe from any thread while
  // start and stop do not run: they make and release the state it reads.
  CaptureCounts counts();

 private:
  static int32_t forward_message(const uint8_t* data, uint32_t length, void* user);

  config::CaptureSettings settings_;
  MessageSink sink_;
  CaptureFailureHandler failure_handler_ = nullptr;
  void* failure_user_ = nullptr;
  PcapTally tally_;
  std::unique_ptr<PcapSessionState> state_;
};

}  // namespace kx::sensor
