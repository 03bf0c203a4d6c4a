#include <windows.h>

#include <gtest/gtest.h>

#include "logging/log.h"

namespace {

// Windows' text for ERROR_WRONG_DISK holds %1, %2 and %3: without an argument list
// FormatMessage must leave them in place instead of failing or reading garbage, and the
// fallback "Unknown error <code>" has no line end.
TEST(SystemErrorTextWin, TheWholeSystemTextComesBackWithItsLineEnd) {
  for (int32_t code : {ERROR_ACCESS_DENIED, ERROR_WRONG_DISK}) {
    const std::string text = kx::logging::system_error_text(code);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;
  }
}

}  // namespace
