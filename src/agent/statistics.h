// The agent's loss accounting: every count of what became of the captured DNS packet
// messages, the "Statistics:" line that reports them and the "ERROR - Lost" line an
// operator alerts on, and the reporter thread that writes both every interval.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kx::sensor {
class SensorQueue;
}
namespace kx::net {
class SensorQueueProcessor;
}

namespace kx::agent {

class CaptureSource;

// Cumulative since the agent started. The books balance once the workers have stopped:
// captured == queued + refused, and queued == sent + overwritten + in_queue, where
// in_queue counts the record the processor holds for re-sending.
struct Statistics {
  uint64_t captured = 0;
  uint64_t skipped = 0;
  uint64_t queued = 0;
  uint64_t overwritten = 0;
  uint64_t overwritten_bytes = 0;
  uint64_t refused = 0;
  uint64_t in_queue = 0;
  uint64_t sent = 0;
  uint64_t resent = 0;
  uint64_t connects = 0;
  uint64_t connect_failures = 0;
  uint64_t send_failures = 0;
  uint64_t capture_dropped = 0;
  std::string details;  // the capture's own " key=value" items, appended to the line
};

// Reads every count now. Safe while the workers run (each count is then a recent
// value); exact once they have stopped.
Statistics collect_statistics(sensor::SensorQueue& queue,
                              const net::SensorQueueProcessor& processor,
                              CaptureSource& capture);

// "Statistics: captured=N ... capture_dropped=N", all keys in a fixed order, in logfmt.
std::string statistics_line(const Statistics& now);

// "ERROR - Lost N DNS packet messages since the last report: ..." for what was lost
// between two reports, or "" when nothing was. At the stop the records still queued
// are lost too and are named as such.
std::string lost_line(const Statistics& previous, const Statistics& now, bool at_stop);

// Logs the statistics every interval on a thread of its own, which sleeps in between,
// and once more at the stop. An interval of 0 turns the periodic reports off; the
// stop's report is always written.
class StatisticsReporter {
 public:
  using Source = std::function<Statistics()>;

  StatisticsReporter(Source source, std::chrono::seconds interval);
  ~StatisticsReporter();  // performs stop
  StatisticsReporter(const StatisticsReporter&) = delete;
  StatisticsReporter& operator=(const StatisticsReporter&) = delete;

  // Starts the thread; raises std::system_error when it cannot.
  void start();
  // Ends the thread at once and joins it; does nothing when none runs.
  void stop();
  // The report of the stop: call it after stop, once the workers have ended.
  void report_final();

 private:
  void run();
  void report(bool at_stop);

  Source source_;
  std::chrono::seconds interval_;
  Statistics previous_;  // the reporting thread's, then report_final's after the join
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace kx::agent
