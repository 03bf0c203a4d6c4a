#include "agent/executable_path.h"

#include <gtest/gtest.h>

namespace {

using kx::agent::directory_of;

TEST(ExecutableDirectory, CutsAtTheLastSeparatorOnly) {
  const struct { const char* path; char separator; const char* directory; } cases[] = {
      {"C:\\Program Files\\tevrin\\agent.exe", '\\', "C:\\Program Files\\tevrin"},
      {"C:\\agent.exe", '\\', "C:"}, {"\\agent.exe", '\\', ""}, {"agent.exe", '\\', "."},
      // Only the platform's separator counts: a forward slash is part of a name on Windows.
      {"C:/tools/agent.exe", '\\', "."},
      {"/usr/local/bin/agent", '/', "/usr/local/bin"}, {"/agent", '/', ""}, {"agent", '/', "."},
  };
  for (const auto& c : cases) EXPECT_EQ(directory_of(c.path, c.separator), c.directory) << c.path;
}

}  // namespace
