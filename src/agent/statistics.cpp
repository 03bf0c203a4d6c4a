#include "agent/statistics.h"

#include <string>
#include <utility>

#include "agent/capture_source.h"
#include "logging/log.h"
#include "net/sensor_queue_processor.h"
#include "sensor/sensor_queue.h"

namespace kx::agent {

Statistics collect_statistics(sensor::SensorQueue& queue,
                              const net::SensorQueueProcessor& processor,
                              CaptureSource& capture) {
  // Downstream first: a message that moves on while the counts are read then shows up
  // upstream only, so no stage ever seems to hold more than it was given.
  const net::ForwardingCounts& forwarded = processor.counts();
  Statistics now;
  now.sent = forwarded.sent.value();
  now.resent = forwarded.resent.value();
  now.connects = forwarded.connects.value();
  now.connect_failures = forwarded.connect_failures.value();
  now.send_failures = forwarded.send_failures.value();
  const uint64_t held = forwarded.held.value();
  const sensor::QueueCounts queued = queue.counts();
  const sensor::CaptureCounts captured = capture.counts();
  now.captured = captured.captured;
  now.skipped = captured.skipped;
  now.capture_dropped = captured.dropped;
  now.details = captured.details;
  now.queued = queued.queued;
  now.overwritten = queued.overwritten;
  now.overwritten_bytes = queued.overwritten_bytes;
  now.refused = queued.refused;
  now.in_queue = queued.in_queue + held;
  return now;
}

namespace {

std::string decimal(uint64_t n) { return std::to_string(n); }

// Counts only grow; a reading below the previous one would still not be a loss.
uint64_t growth(uint64_t previous, uint64_t now) { return now > previous ? now - previous : 0; }

}  // namespace

std::string statistics_line(const Statistics& s) {
  return "Statistics: captured=" + decimal(s.captured) + " skipped=" + decimal(s.skipped) +
         " queued=" + decimal(s.queued) + " overwritten=" + decimal(s.overwritten) +
         " overwritten_bytes=" + decimal(s.overwritten_bytes) + " refused=" + decimal(s.refused) +
         " in_queue=" + decimal(s.in_queue) + " sent=" + decimal(s.sent) +
         " resent=" + decimal(s.resent) + " connects=" + decimal(s.connects) +
         " connect_failures=" + decimal(s.connect_failures) +
         " send_failures=" + decimal(s.send_failures) +
         " capture_dropped=" + decimal(s.capture_dropped) + s.details;
}

std::string lost_line(const Statistics& previous, const Statistics& now, bool at_stop) {
  const uint64_t overwritten = growth(previous.overwritten, now.overwritten);
  const uint64_t refused = growth(previous.refused, now.refused);
  const uint64_t dropped = growth(previous.capture_dropped, now.capture_dropped);
  const uint64_t left = at_stop ? now.in_queue : 0;
  const uint64_t lost = overwritten + refused + dropped + left;
  if (lost == 0) return "";
  std::string line = "ERROR - Lost " + decimal(lost) +
                     " DNS packet messages since the last report: " + decimal(overwritten) +
                     " overwritten in the queue, " + decimal(refused) + " refused, " +
                     decimal(dropped) + " dropped by the capture";
  if (at_stop) line += ", " + decimal(left) + " left in the queue at stop";
  return line;
}

StatisticsReporter::StatisticsReporter(Source source, std::chrono::seconds interval)
    : source_(std::move(source)), interval_(interval) {}

StatisticsReporter::~StatisticsReporter() { stop(); }

void StatisticsReporter::start() {
  if (interval_.count() <= 0 || thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void StatisticsReporter::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

// The stop report is written whatever the interval: records left in the queue at the
// stop are lost, and a loss is never silent.
void StatisticsReporter::report_final() { report(true); }

// Deadlines step by whole intervals from the start, so the reports keep their rhythm
// however long each one takes.
void StatisticsReporter::run() {
  auto deadline = std::chrono::steady_clock::now() + interval_;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_until(lock, deadline, [this] { return stopping_; })) {
    lock.unlock();
    report(false);
    lock.lock();
    deadline += interval_;
  }
}

void StatisticsReporter::report(bool at_stop) {
  const Statistics now = source_();
  logging::log_message("%s", statistics_line(now).c_str());
  const std::string lost = lost_line(previous_, now, at_stop);
  if (!lost.empty()) logging::log_message("%s", lost.c_str());
  previous_ = now;
}

}  // namespace kx::agent
