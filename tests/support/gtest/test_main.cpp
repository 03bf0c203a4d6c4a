// The unit tests' main: GoogleTest's, except that under CI a skipped test fails the
// run, naming the test and its reason, so a test that did not run never passes as green.
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <gtest/gtest.h>

namespace {

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0' && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0;
}

// Lists the skipped tests; returns how many there were.
int report_skipped(const testing::UnitTest& unit) {
  int skipped = 0;
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *unit.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const testing::TestInfo& test = *suite.GetTestInfo(t);
      if (!test.should_run() || !test.result()->Skipped()) continue;
      ++skipped;
      std::cerr << "SKIPPED in CI: " << suite.name() << "." << test.name() << ":";
      for (int p = 0; p < test.result()->total_part_count(); ++p) {
        std::cerr << " " << test.result()->GetTestPartResult(p).message();
      }
      std::cerr << "\n";
    }
  }
  return skipped;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  if (in_ci() && report_skipped(*testing::UnitTest::GetInstance()) > 0) status = 1;
  return status;
}
