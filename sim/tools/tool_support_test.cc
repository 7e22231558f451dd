#include "sim/tools/tool_support.h"

#include <gtest/gtest.h>

#include "platform/testing/fake_host.h"
#include "sim/tools/test_fakes.h"

namespace sim::tools {
namespace {

using platform::testing::FakeHost;
using testing::FakeDiskArbitration;

TEST(ParseByteCountTest, TakesCountsWithUnitsAndRefusesTheRest) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  struct Case {
    const char* text;
    uint64_t bare_unit;
    std::optional<uint64_t> want;
  } cases[] = {
      {"8MB", kMiB, 8 * kMiB},
      {"8mb", 0, 8 * kMiB},
      {"700m", 0, 700 * kMiB},
      {"2g", 0, 2ull << 30},
      {"512k", 0, 512ull << 10},
      {"1T", 0, 1ull << 40},
      {"4096b", 0, 4096},
      {"8", kMiB, 8 * kMiB},
      {"8", 0, std::nullopt},       // a unit is required here
      {"", kMiB, std::nullopt},
      {"m", kMiB, std::nullopt},
      {"8XB", kMiB, std::nullopt},
      {"8mbb", kMiB, std::nullopt},
      {"8bb", kMiB, std::nullopt},
      {"8 m", kMiB, std::nullopt},
      {"-8m", kMiB, std::nullopt},
      {"0m", kMiB, std::nullopt},
      {"9000000000000000000k", kMiB, std::nullopt},   // beyond 63 bits
      {"99999999999999999999m", kMiB, std::nullopt},  // beyond 64 bits of digits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseByteCount(c.text, c.bare_unit), c.want) << c.text;
  }
}

TEST(BsdNameOfTest, AcceptsDevicePathsAndNamesOfDisks) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"/dev/rdisk2s3", "disk2s3"}, {"/dev/disk2s3", "disk2s3"}, {"disk12", "disk12"},
      {"/dev/rdisk0", "disk0"},     {"/dev/disk", ""},           {"/dev/disk2x", ""},
      {"disk2s", ""},               {"disk2s3s4", ""},           {"/Volumes/disk2", ""},
      {"/dev/sda1", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(BsdNameOf(c.text), c.want) << c.text;
}

TEST(VolumeTableTest, MountPointsMatchWithOrWithoutTrailingSlash) {
  std::vector<MountedVolume> volumes = {
      {"disk1s3", "/Volumes/A", "hfs", "A"},
      {"disk2s3", "/Volumes/AB", "hfs", "AB"},
      {"disk3s3", "/Volumes/AB/Nested", "ufs", "N"},
      {"disk4s3", "", "", ""},
  };
  ASSERT_NE(FindByMountPoint(volumes, "/Volumes/AB/"), nullptr);
  EXPECT_EQ(FindByMountPoint(volumes, "/Volumes/AB/")->bsd_name, "disk2s3");
  EXPECT_EQ(FindByMountPoint(volumes, "/Volumes"), nullptr);
  EXPECT_EQ(FindByMountPoint(volumes, ""), nullptr);

  struct Case {
    const char* path;
    const char* holder;  // nullptr: none
  } cases[] = {
      {"/Volumes/A/System/Library/CoreServices", "disk1s3"},
      {"/Volumes/AB/System", "disk2s3"},  // not /Volumes/A
      {"/Volumes/AB/Nested/x", "disk3s3"},  // the deepest mount point wins
      {"/Volumes/A", "disk1s3"},
      {"/System/Library/CoreServices", nullptr},
  };
  for (const Case& c : cases) {
    const MountedVolume* v = FindHolder(volumes, c.path);
    if (c.holder == nullptr) {
      EXPECT_EQ(v, nullptr) << c.path;
    } else {
      ASSERT_NE(v, nullptr) << c.path;
      EXPECT_EQ(v->bsd_name, c.holder) << c.path;
    }
  }
}

TEST(VolumeTableTest, ListsWhatDiskArbitrationReports) {
  FakeHost host;
  FakeDiskArbitration da(host.run_loop());
  da.volumes = {FakeDiskArbitration::Volume("disk2s3", "/Volumes/Data", "hfs", "Data"),
                FakeDiskArbitration::Volume("disk2s4", "", "", "")};
  host.SetDiskArbitration(&da);
  auto volumes = ListDiskArbitrationVolumes(5.0);
  ASSERT_TRUE(volumes.has_value());
  ASSERT_EQ(volumes->size(), 2u);
  EXPECT_EQ((*volumes)[0].bsd_name, "disk2s3");
  EXPECT_EQ((*volumes)[0].mount_point, "/Volumes/Data");
  EXPECT_EQ((*volumes)[0].volume_name, "Data");
  EXPECT_EQ(da.starts, 1);
}

TEST(VolumeTableTest, UnansweredOrMissingDiskArbitrationGivesNothing) {
  FakeHost host;
  EXPECT_FALSE(ListDiskArbitrationVolumes(5.0).has_value());  // unavailable

  FakeDiskArbitration da(host.run_loop());
  da.volumes = {FakeDiskArbitration::Volume("disk2s3", "/Volumes/Data")};
  da.complete = false;
  host.SetDiskArbitration(&da);
  EXPECT_FALSE(ListDiskArbitrationVolumes(0.2).has_value());
  EXPECT_EQ(da.starts, 1);
}

TEST(AppendMachineLogTest, AppendsLinesUnderTheMachineRoot) {
  FakeHost host;
  ASSERT_TRUE(AppendMachineLog("/var/log/x.log", "one"));
  ASSERT_TRUE(AppendMachineLog("/var/log/x.log", "two"));
  EXPECT_EQ(platform::testing::ReadFile(host.Resolve("/var/log/x.log")), "one\ntwo\n");
  EXPECT_FALSE(AppendMachineLog("/no/such/folder/x.log", "three"));
}

}  // namespace
}  // namespace sim::tools
