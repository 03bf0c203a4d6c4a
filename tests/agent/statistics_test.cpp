#include "agent/statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "support/log_capture.h"

namespace {

using kx::agent::lost_line;
using kx::agent::Statistics;
using kx::agent::statistics_line;
using Lines = std::vector<std::string>;

Statistics losses(uint64_t overwritten, uint64_t refused, uint64_t dropped, uint64_t in_queue) {
  Statistics s;
  std::tie(s.overwritten, s.refused, s.capture_dropped, s.in_queue) =
      std::tie(overwritten, refused, dropped, in_queue);
  return s;
}

TEST(Statistics, LineHoldsEveryKeyInOrderAndThenTheCapturesDetails) {
  Statistics s;
  uint64_t* fields[] = {&s.captured, &s.skipped, &s.queued, &s.overwritten, &s.overwritten_bytes,
                        &s.refused, &s.in_queue, &s.sent, &s.resent, &s.connects,
                        &s.connect_failures, &s.send_failures, &s.capture_dropped};
  uint64_t n = 1;
  for (uint64_t* field : fields) *field = n++;
  s.capture_dropped = 18446744073709551615u;
  s.details = " etw_log_file_mode=0x00000100";
  EXPECT_EQ(statistics_line(s),
            "Statistics: captured=1 skipped=2 queued=3 overwritten=4 overwritten_bytes=5 "
            "refused=6 in_queue=7 sent=8 resent=9 connects=10 connect_failures=11 "
            "send_failures=12 capture_dropped=18446744073709551615 "
            "etw_log_file_mode=0x00000100");
}

TEST(Statistics, LostLineCountsWhatWasLostSinceThePreviousReport) {
  const std::string since = "ERROR - Lost ";
  struct Case { const char* name; Statistics previous, now; bool at_stop; std::string expected; };
  const Case cases[] = {
      {"nothing lost", losses(5, 1, 2, 9), losses(5, 1, 2, 3), false, ""},
      {"records waiting in the ring are not lost while running", {}, losses(0, 0, 0, 7), false, ""},
      {"each cause since the last report", losses(5, 1, 2, 0), losses(15, 3, 32, 4), false,
       since + "42 DNS packet messages since the last report: 10 overwritten in the queue, "
               "2 refused, 30 dropped by the capture"},
      {"at the stop the queued ones are lost too", losses(5, 1, 2, 0), losses(5, 1, 2, 4), true,
       since + "4 DNS packet messages since the last report: 0 overwritten in the queue, "
               "0 refused, 0 dropped by the capture, 4 left in the queue at stop"},
      {"an empty queue at the stop loses nothing", losses(5, 1, 2, 0), losses(5, 1, 2, 0), true, ""},
      {"a reading older than the previous one is no loss", losses(5, 1, 2, 0), losses(4, 1, 2, 0), false,
       ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lost_line(c.previous, c.now, c.at_stop), c.expected) << c.name;
  }
}

// The reporter reports at each interval, none with interval 0, and once at the stop;
// each time against the report before it.
TEST(StatisticsReporter, ReportsEveryIntervalAndOnceMoreAtTheStop) {
  const Statistics readings[] = {losses(0, 0, 0, 1), losses(3, 0, 0, 1), losses(3, 0, 0, 2)};
  const struct { int interval; size_t reads; Lines expected; } cases[] = {
      {1, 2,
       {statistics_line(readings[0]), statistics_line(readings[1]), lost_line(readings[0], readings[1], false),
        statistics_line(readings[2]), lost_line(readings[1], readings[2], true)}},
      {0, 0, {statistics_line(readings[0]), lost_line(Statistics(), readings[0], true)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    kx::test::LogCapture log;
    std::atomic<size_t> reads{0};
    kx::agent::StatisticsReporter reporter([&] { return readings[std::min<size_t>(reads++, 2)]; },
                                           std::chrono::seconds(c.interval));
    reporter.start();
    // With interval 0 no report is due however long it runs.
    kx::test::wait_until([&] { return reads >= std::max<size_t>(c.reads, 1); },
                         c.interval > 0 ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(50));
    reporter.stop();
    ASSERT_EQ(reads.load(), c.reads) << "not one report per interval";
    reporter.report_final();
    EXPECT_EQ(log.messages(), c.expected);
  }
}

}  // namespace
