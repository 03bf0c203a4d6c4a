#include "logging/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace {

using namespace kx::logging;
using kx::test::read_file;
using Lines = std::vector<std::string>;

// Lines are appended unbuffered, each whole even when threads log at once. A log that
// cannot be opened stays closed, and what is logged meanwhile is dropped.
TEST(Log, WholeLinesAreAppendedUnbufferedToAnOpenLogOnlyEvenFromConcurrentThreads) {
  kx::test::TempDir dir;
  const std::string missing = dir.file("missing-folder/dns-logger.log");
  open_log(missing.c_str());
  log_message("lost %d", 1);
  EXPECT_FALSE(log_is_open());
  const std::string path = dir.file("dns-logger.log");
  kx::test::write_file(path, "old line\n");
  open_log(path.c_str());
  log_message("Started!");
  EXPECT_EQ(kx::test::log_messages(path), (Lines{"<no prefix> old line", "Started!"}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) log_message("thread %d line %d %s", t, i, "payload-payload");
    });
  }
  for (auto& thread : threads) thread.join();
  close_log();
  const Lines lines = kx::test::split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 802u);
  const std::regex whole(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[\d+\]: )"
                         R"((Started!|thread \d line \d+ payload-payload)\r?)");
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], whole)) << lines[i];
}

TEST(SystemErrorText, UnknownCodeIsWrittenAsSignedDecimal) {
  EXPECT_EQ(system_error_text(-1), "Unknown error -1");
}

}  // namespace
