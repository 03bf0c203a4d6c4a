#include <windows.h>

#include <gtest/gtest.h>

#include "logging/log.h"

namespace {

TEST(SystemErrorTextWin, KnownCodeKeepsTheSystemLineEnd) {
  const std::string text = kx::logging::system_error_text(ERROR_ACCESS_DENIED);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;
  EXPECT_EQ(text.rfind("Unknown error", 0), std::string::npos) << text;
}

TEST(SystemErrorTextWin, TextWithInsertionSequencesDoesNotReadArguments) {
  // Windows' text for ERROR_WRONG_DISK holds %1, %2 and %3; without an argument list
  // FormatMessage would read garbage. The whole system text (ending with its line end)
  // or the fallback must come back, whatever the system's wording.
  const std::string text = kx::logging::system_error_text(ERROR_WRONG_DISK);
  const bool whole_text = text.size() > 2 && text.substr(text.size() - 2) == "\r\n";
  EXPECT_TRUE(whole_text || text == "Unknown error 34") << text;
}

}  // namespace
