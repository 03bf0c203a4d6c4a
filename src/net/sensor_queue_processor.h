// The sensor queue processor: a thread of its own that drains the sensor queue and
// forwards every record to the first collector target that accepts a connection. Every
// connection begins with the hello record; after any failure the thread pauses and
// starts again with the first target, and the record whose send failed is sent again,
// whole, first on the next connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "config/settings.h"
#include "net/tcp_connection.h"
#include "sensor/sensor_queue.h"
#include "sys/counter.h"
#include "sys/threads.h"

namespace kx::net {

// The allocation calls of the processor's buffers; tests replace them to make an
// allocation fail. Each follows its C library namesake, errno included.
struct Allocator {
  void* (*allocate)(size_t size);
  void* (*reallocate)(void* block, size_t size);
  void (*release)(void* block);
};
// malloc, realloc and free.
extern const Allocator kCLibraryAllocator;

struct ProcessorOptions {
  // The pause after every pass over the targets: up to pause_checks looks at the stop
  // request, pause_step apart.
  int pause_checks = 10;
  std::chrono::milliseconds pause_step{1000};
  // A connection that fails sooner than this after it was established, or by a send
  // time-out, has the next pass skip its target once (when the list has another), so a
  // collector that accepts and then fails every connection cannot starve the others.
  std::chrono::milliseconds short_connection{10000};
  // The send buffer doubles from 4096 bytes up to this size and no further, so that
  // its signed 32-bit size never overflows.
  int32_t max_send_capacity = INT32_MAX;
  Allocator allocator = kCLibraryAllocator;
  // The socket calls of the processor's connection; nullptr takes the platform's. Must
  // outlive the processor.
  SocketApi* sockets = nullptr;
};

// What the processor did since its creation. Written by its thread only, readable from
// any thread.
struct ForwardingCounts {
  sys::Counter sent;    // records handed to the operating system whole
  sys::Counter resent;  // of those, records sent again after a failed send
  sys::Counter connects;
  sys::Counter connect_failures;
  sys::Counter send_failures;
  // The records a failed send left in the send buffer, to go first on the next
  // connection: they have left the ring but are not sent.
  sys::Counter held;
};

class SensorQueueProcessor {
 public:
  // queue and targets are not owned and must outlive the processor; targets must not
  // change while the thread runs.
  SensorQueueProcessor(sensor::SensorQueue& queue, const std::vector<config::Target>& targets,
                       ProcessorOptions options = ProcessorOptions());
  // Stops the thread first if it still runs.
  ~SensorQueueProcessor();
  SensorQueueProcessor(const SensorQueueProcessor&) = delete;
  SensorQueueProcessor& operator=(const SensorQueueProcessor&) = delete;

  // Starts the thread unless it runs already; raises SensorError when it cannot.
  void start();
  // Requests the stop, wakes a wait for data and joins the thread. The thread ends at
  // once when waiting for data, within one pause step when pausing and within about a
  // second when connecting or sending. Does nothing when no thread runs.
  void stop();

  // Forwards what the queue holds, then stops: returns once the queue was found empty
  // after the last record was sent, or after limit, or within about 100 ms of *cancel
  // turning true, whichever comes first, and joins the thread. Returns whether the queue
  // was emptied. Does nothing (false) when no thread runs.
  bool finish(std::chrono::milliseconds limit, const std::atomic<bool>* cancel);

  // The thread body; returns on the stop request, or at once after logging when its
  // buffers cannot be allocated.
  void run();

  // Allocates the first 4096-byte send buffer or doubles it (up to the largest size);
  // raises SensorError, leaving buffer and size as they were, when that fails.
  void grow_send_buffer();

  const ForwardingCounts& counts() const { return counts_; }

  // The send buffer's size; read it only while no thread runs.
  int32_t send_capacity() const { return send_capacity_; }

 private:
  // What the thread carries from one connection to the next. The send buffer holds
  // batch_bytes of framed records (batch_records of them) not yet handed to the system;
  // after a failed send they go first on the next connection.
  struct StreamState {
    int32_t batch_bytes = 0;
    int32_t batch_records = 0;
    // The first record of the batch is the one whose send failed.
    bool first_resent = false;
    bool oversize_reported = false;
  };

  bool connect_to(TcpConnection& connection, const config::Target& target);
  // Whether the connection failed early (see ProcessorOptions::short_connection).
  bool stream_to(TcpConnection& connection, const config::Target& target, const uint8_t* hello,
                 StreamState& state);
  // Pops records into the send buffer behind the batch; returns the last pop's result
  // when the batch stayed empty, 1 otherwise.
  int gather_records(StreamState& state);
  void send_batch(TcpConnection& connection, StreamState& state);
  void keep_unsent(StreamState& state, uint32_t handed);
  void count_sent(const StreamState& state, int32_t records);
  void handle_record_too_large(TcpConnection& connection, const config::Target& target,
                               StreamState& state);
  void wait_for_records(TcpConnection& connection);
  void mark_drained();
  void pause();

  sys::pthread_t thread_;
  std::atomic<bool> stop_requested_{false};
  // finish(): the thread stops once it finds the queue empty, and says so.
  std::atomic<bool> finish_requested_{false};
  std::mutex drained_mutex_;
  std::condition_variable drained_changed_;
  bool drained_ = false;
  sensor::SensorQueue& queue_;
  const std::vector<config::Target>& targets_;
  uint8_t* send_buffer_ = nullptr;
  int32_t send_capacity_ = 0;
  ProcessorOptions options_;
  ForwardingCounts counts_;
};

}  // namespace kx::net
