#include "platform/sim/machine_paths.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(MachinePathsTest, PlacesAbsolutePathsUnderTheRootAndLeavesRelativeOnes) {
  struct Case {
    const char* root;
    const char* path;
    const char* expected;
  } cases[] = {
      {"/m", "/tmp/Mirovane.tmp", "/m/tmp/Mirovane.tmp"},
      {"/m/", "/dev/rdisk2s3", "/m/dev/rdisk2s3"},
      {"/m", "MirovaneAction", "MirovaneAction"},
      {"/m", "", ""},
      {"", "/usr/sbin/nvram", "/usr/sbin/nvram"},
  };
  for (const Case& c : cases) {
    MachinePaths paths(c.root);
    EXPECT_EQ(paths.Resolve(c.path), c.expected) << c.root << " " << c.path;
  }
}

}  // namespace
}  // namespace platform
