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
  // ERROR_WRONG_DISK's text holds %1, %2 and %3; without an argument list FormatMessage
  // would read garbage or fail. Either the sequences stay or the fallback is used.
  const std::string text = kx::logging::system_error_text(ERROR_WRONG_DISK);
  EXPECT_TRUE(text.find('%') != std::string::npos || text == "Unknown error 34") << text;
}

}  // namespace
