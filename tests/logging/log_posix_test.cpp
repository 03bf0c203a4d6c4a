#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "logging/log.h"

namespace {

TEST(SystemErrorTextPosix, KnownErrnoGivesTheCLibraryText) {
  EXPECT_EQ(kx::logging::system_error_text(ECONNREFUSED), std::strerror(ECONNREFUSED));
  EXPECT_EQ(kx::logging::system_error_text(ENOENT), "No such file or directory");
}

TEST(SystemErrorTextPosix, CodesWithoutTextUseTheFallback) {
  EXPECT_EQ(kx::logging::system_error_text(100000), "Unknown error 100000");
}

}  // namespace
