#include "agent/errors.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(Errors, MessageIsReturnedUnchangedThroughEveryBase) {
  const kx::net::NetError error("StartTrace() failed: Access is denied.\r\n");
  const std::exception& as_std = error;
  const kx::error::UnknownError& as_unknown = error;
  EXPECT_STREQ(as_std.what(), "StartTrace() failed: Access is denied.\r\n");
  EXPECT_STREQ(as_unknown.what(), as_std.what());
  EXPECT_STREQ(error.what(), as_std.what());
}

TEST(Errors, CopyKeepsTheTextAfterTheOriginalIsGone) {
  auto original = std::make_unique<kx::sensor::SensorError>(std::string("select() timed out"));
  kx::sensor::SensorError copy(*original);
  original.reset();
  EXPECT_STREQ(copy.what(), "select() timed out");
}

TEST(Errors, EachClassIsCaughtAsStdException) {
  auto raise_and_catch = [](auto error) -> std::string {
    try {
      throw error;
    } catch (const std::exception& caught) {
      return caught.what();
    }
  };
  EXPECT_EQ(raise_and_catch(kx::config::ConfigError("fopen(x) failed: y")), "fopen(x) failed: y");
  EXPECT_EQ(raise_and_catch(kx::error::UnknownError("GetModuleHandle() failed: z")),
            "GetModuleHandle() failed: z");
  EXPECT_EQ(raise_and_catch(kx::sensor::SensorError("")), "");
}

}  // namespace
