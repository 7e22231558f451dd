// hdiutil resize and vsdbutil on files under a fake host's machine root.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/testing/fake_host.h"
#include "platform/testing/temp_dir.h"
#include "sim/tools/test_fakes.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

using platform::testing::FakeHost;
using platform::testing::ReadFile;
using platform::testing::WriteFile;
using testing::MakeSparseFile;
using testing::RunTool;

constexpr char kImage[] = "/tmp/Mirovane_TempImage.dmg";

// The first `n` bytes of a file (which may be large).
std::string Head(const std::string& path, size_t n) {
  std::string bytes(n, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t got = fd >= 0 ? ::pread(fd, bytes.data(), n, 0) : -1;
  if (fd >= 0) ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

struct stat StatOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

class HdiutilTest : public ::testing::Test {
 protected:
  FakeHost host_;
  std::string image_ = host_.Resolve(kImage);
};

TEST_F(HdiutilTest, ResizeGrowsSparselyAndShrinksAnEmptyTail) {
  std::string head = "image head";
  ASSERT_TRUE(WriteFile(image_, head));
  ASSERT_TRUE(::truncate(image_.c_str(), 1 << 20) == 0);

  auto grow = RunTool(Hdiutil, {"hdiutil", "resize", "-size", "700m", kImage});
  ASSERT_EQ(grow.status, kExitSuccess) << grow.err;
  struct stat st = StatOf(image_);
  EXPECT_EQ(st.st_size, 700ll << 20);
  EXPECT_LT(st.st_blocks * 512, 1ll << 20);  // sparse: the new part takes no space
  EXPECT_EQ(Head(image_, head.size()), head);

  auto shrink = RunTool(Hdiutil, {"hdiutil", "resize", "-size", "2m", kImage});
  ASSERT_EQ(shrink.status, kExitSuccess) << shrink.err;
  EXPECT_EQ(StatOf(image_).st_size, 2ll << 20);
  EXPECT_EQ(Head(image_, head.size()), head);

  // Byte counts are rounded up to whole sectors.
  ASSERT_EQ(RunTool(Hdiutil, {"hdiutil", "resize", "-size", "1000000b", kImage}).status, kExitSuccess);
  EXPECT_EQ(StatOf(image_).st_size, 1000448);
}

TEST_F(HdiutilTest, ShrinkingOverDataIsRefusedAndLosesNothing) {
  ASSERT_TRUE(MakeSparseFile(image_, 4 << 20));
  {
    int fd = ::open(image_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "data", 4, 3 << 20), 4);
    ::close(fd);
  }
  std::string before = ReadFile(image_);
  auto r = RunTool(Hdiutil, {"hdiutil", "resize", "-size", "2m", kImage});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_NE(r.err.find("data beyond"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(image_), before);
  // Cutting only behind the data is fine.
  EXPECT_EQ(RunTool(Hdiutil, {"hdiutil", "resize", "-size", "3073k", kImage}).status, kExitSuccess);
  EXPECT_EQ(StatOf(image_).st_size, 3073 << 10);
}

TEST_F(HdiutilTest, BadRequestsChangeNothing) {
  ASSERT_TRUE(MakeSparseFile(image_, 1 << 20));
  ASSERT_EQ(::mkdir(host_.Resolve("/tmp/folder.dmg").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(image_.c_str(), host_.Resolve("/tmp/link.dmg").c_str()), 0);
  struct Case {
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {{"hdiutil"}, kExitUsage},
      {{"hdiutil", "attach", kImage}, kExitUsage},
      {{"hdiutil", "resize", kImage}, kExitUsage},                         // no size
      {{"hdiutil", "resize", "-size", "700", kImage}, kExitUsage},         // no unit
      {{"hdiutil", "resize", "-size", "700x", kImage}, kExitUsage},
      {{"hdiutil", "resize", "-size", "0m", kImage}, kExitUsage},
      {{"hdiutil", "resize", "-size", "700m"}, kExitUsage},                // no image
      {{"hdiutil", "resize", "-size"}, kExitUsage},
      {{"hdiutil", "resize", "-size", "2m", kImage, kImage}, kExitUsage},
      {{"hdiutil", "resize", "-size", "2m", "/tmp/none.dmg"}, kExitFailure},
      {{"hdiutil", "resize", "-size", "2m", "/tmp/folder.dmg"}, kExitFailure},
      {{"hdiutil", "resize", "-size", "2m", "/tmp/link.dmg"}, kExitFailure},  // not followed
  };
  for (const Case& c : cases) {
    auto r = RunTool(Hdiutil, c.argv);
    EXPECT_EQ(r.status, c.status) << c.argv.back();
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(StatOf(image_).st_size, 1 << 20);
}

class VsdbutilTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(host_.Resolve("/Volumes/Data").c_str(), 0755), 0); }
  std::string Database() { return ReadFile(host_.Resolve("/var/db/volinfo.database")); }

  FakeHost host_;
};

TEST_F(VsdbutilTest, RecordsOwnershipOncePerVolumeAndTellsIt) {
  ASSERT_EQ(RunTool(Vsdbutil, {"vsdbutil", "-a", "/Volumes/Data/"}).status, kExitSuccess);
  ASSERT_EQ(RunTool(Vsdbutil, {"vsdbutil", "-a", "/Volumes/Data"}).status, kExitSuccess);
  EXPECT_EQ(Database(), "/Volumes/Data\tenabled\n");

  auto check = RunTool(Vsdbutil, {"vsdbutil", "-c", "/Volumes/Data"});
  EXPECT_EQ(check.status, kExitSuccess);
  EXPECT_EQ(check.out, "Permissions on '/Volumes/Data' are enabled.\n");

  ASSERT_EQ(RunTool(Vsdbutil, {"vsdbutil", "-a", "/"}).status, kExitSuccess);
  ASSERT_EQ(RunTool(Vsdbutil, {"vsdbutil", "-d", "/Volumes/Data"}).status, kExitSuccess);
  EXPECT_EQ(Database(), "/\tenabled\n");
  EXPECT_EQ(RunTool(Vsdbutil, {"vsdbutil", "-c", "/Volumes/Data"}).out,
            "Permissions on '/Volumes/Data' are disabled.\n");
}

TEST_F(VsdbutilTest, RefusesBadArgumentsAndMissingFolders) {
  struct Case {
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {{"vsdbutil"}, kExitUsage},
      {{"vsdbutil", "-a"}, kExitUsage},
      {{"vsdbutil", "-x", "/Volumes/Data"}, kExitUsage},
      {{"vsdbutil", "-a", "/Volumes/Data", "/"}, kExitUsage},
      {{"vsdbutil", "-a", "/Volumes/Missing"}, kExitFailure},
  };
  for (const Case& c : cases) EXPECT_EQ(RunTool(Vsdbutil, c.argv).status, c.status) << c.argv.back();
  EXPECT_EQ(Database(), "");
}

}  // namespace
}  // namespace sim::tools
