#include "logging/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_util.h"

namespace {

using namespace kx::logging;
using kx::test::read_file;

// The platform's line end as stored by the C library's text mode.
#if defined(_WIN32)
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { close_log(); }
  kx::test::TempDir dir;
};

TEST_F(LogTest, NothingIsWrittenWhileNoLogIsOpen) {
  log_message("lost %d", 1);
  const std::string path = dir.file("never.log");
  open_log(dir.file("missing-folder/dns-logger.log").c_str());
  log_message("also lost");
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(read_file(dir.file("missing-folder/dns-logger.log")), "");
}

TEST_F(LogTest, ExistingContentIsKeptAndNewLinesAppended) {
  const std::string path = dir.file("dns-logger.log");
  kx::test::write_file(path, "old line\n");
  open_log(path.c_str());
  log_message("Started!");
  // Unbuffered: the line is in the file before log_message returned.
  EXPECT_NE(read_file(path).find("]: Started!" + kEol), std::string::npos);
  close_log();
  EXPECT_EQ(read_file(path).rfind("old line\n", 0), 0u);
}

TEST_F(LogTest, ConcurrentLinesAreNeverInterleaved) {
  const std::string path = dir.file("dns-logger.log");
  open_log(path.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] { for (int i = 0; i < 200; ++i) log_message("thread %d line %d %s", t, i, "payload-payload"); });
  }
  for (auto& thread : threads) thread.join();
  close_log();
  const std::vector<std::string> lines = kx::test::split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 800u);
  const std::regex whole(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[\d+\]: thread \d line \d+ payload-payload\r?$)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(SystemErrorText, UnknownCodeIsWrittenAsSignedDecimal) {
  EXPECT_EQ(system_error_text(-1), "Unknown error -1");
  EXPECT_EQ(system_error_text(static_cast<int32_t>(0x8ABCDEF1u)),
            "Unknown error " + std::to_string(static_cast<int32_t>(0x8ABCDEF1u)));
}

}  // namespace
