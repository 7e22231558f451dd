#include "sim/tools/install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/testing/temp_dir.h"

namespace sim {
namespace {

using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

const std::string kToolsDir = SIM_TOOLS_DIR;

std::string LinkTarget(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(path, ec);
  return ec ? std::string() : target.string();
}

TEST(InstallStandInToolsTest, LinksEveryToolAtItsMachinePath) {
  TempDir root;
  std::string error;
  ASSERT_EQ(InstallStandInTools(root.path(), kToolsDir, &error), 0) << error;
  for (size_t i = 0; i < kStandInToolCount; ++i) {
    std::string place = root.path() + kStandInTools[i].machine_path;
    EXPECT_EQ(LinkTarget(place), kToolsDir + "/" + kStandInTools[i].file) << place;
    EXPECT_EQ(::access(place.c_str(), X_OK), 0) << place;
  }
  for (const char* path : {"/bin/ps", "/bin/cp", "/bin/mv", "/bin/rm", "/bin/chmod", "/usr/sbin/chown",
                           "/usr/bin/touch"}) {
    std::string place = root.path() + path;
    EXPECT_FALSE(LinkTarget(place).empty()) << place;
    EXPECT_EQ(::access(place.c_str(), X_OK), 0) << place;
  }
  // Again, as when a machine is pointed at a new build: the links are replaced.
  EXPECT_EQ(InstallStandInTools(root.path(), kToolsDir, &error), 0) << error;
}

TEST(InstallStandInToolsTest, LeavesFilesThatAreNotLinksAlone) {
  TempDir root;
  // A prepared disc keeps its own tool at the place of bless.
  ASSERT_TRUE(WriteFile(root.Sub("usr/sbin/bless"), "#!/bin/sh\n"));
  std::string error;
  EXPECT_EQ(InstallStandInTools(root.path(), kToolsDir, &error), EEXIST);
  EXPECT_NE(error.find("/usr/sbin/bless"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(root.Sub("usr/sbin/bless")), "#!/bin/sh\n");
}

TEST(InstallStandInToolsTest, MissingStandInsAreReported) {
  TempDir root, empty_tools;
  std::string error;
  EXPECT_EQ(InstallStandInTools(root.path(), empty_tools.path(), &error), ENOENT);
  EXPECT_NE(error.find("newfs_hfs"), std::string::npos) << error;
}

}  // namespace
}  // namespace sim
