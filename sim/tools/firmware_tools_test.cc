// nvram and bless against a fake host's firmware, registry and Disk Arbitration.

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
using testing::FakeDiskArbitration;
using testing::FakeFirmware;
using testing::FakeRegistry;
using testing::RunTool;

constexpr char kBootDevice[] = "/pci@f4000000/ata-6@d/channel@0/@0:3,\\\\:tbxi";

class NvramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    firmware_.variables["boot-device"] = kBootDevice;
    host_.SetFirmware(&firmware_);
  }
  FakeHost host_;
  FakeFirmware firmware_;
};

TEST_F(NvramTest, SetsAndPrintsVariablesInOrder) {
  auto r = RunTool(Nvram, {"nvram", "boot-device=/pci@f2000000/scsi@4/@1:2,\\\\:tbxi", "boot-device",
                           "auto-boot?=true", "auto-boot?", "boot-args=a=b"});
  ASSERT_EQ(r.status, kExitSuccess) << r.err;
  EXPECT_EQ(r.out, "boot-device\t/pci@f2000000/scsi@4/@1:2,\\\\:tbxi\nauto-boot?\ttrue\n");
  EXPECT_EQ(firmware_.variables["boot-device"], "/pci@f2000000/scsi@4/@1:2,\\\\:tbxi");
  EXPECT_EQ(firmware_.variables["boot-args"], "a=b");  // only the first '=' separates
  ASSERT_EQ(RunTool(Nvram, {"nvram", "boot-args="}).status, kExitSuccess);
  EXPECT_EQ(firmware_.variables["boot-args"], "");
}

TEST_F(NvramTest, FailuresAreReportedAndBadLinesTouchNothing) {
  auto missing = RunTool(Nvram, {"nvram", "no-such-variable"});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_NE(missing.err.find("'no-such-variable'"), std::string::npos);

  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"nvram"}, {"nvram", "=value"}, {"nvram", "-p"}, {"nvram", "a=1", "-d", "a"}}) {
    EXPECT_EQ(RunTool(Nvram, argv).status, kExitUsage) << argv.back();
  }
  EXPECT_EQ(firmware_.sets, 0);

  firmware_.fail_sets_with = EIO;
  auto refused = RunTool(Nvram, {"nvram", "boot-device=x"});
  EXPECT_EQ(refused.status, kExitFailure);
  EXPECT_EQ(firmware_.variables["boot-device"], kBootDevice);

  host_.SetFirmware(nullptr);
  EXPECT_EQ(RunTool(Nvram, {"nvram", "boot-device=x"}).status, kExitFailure);
  EXPECT_EQ(RunTool(Nvram, {"nvram", "boot-device"}).status, kExitFailure);
}

class BlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    firmware_.variables["boot-device"] = kBootDevice;
    host_.SetFirmware(&firmware_);
    registry_.AddMedium("disk1s3", "IODeviceTree:/pci@f4000000/ata-6@d/channel@0/@0:3");
    registry_.AddMedium("disk3s5", "IODeviceTree:/pci@f2000000/scsi@4/@1:5");
    host_.SetRegistry(&registry_);
    da_.volumes = {FakeDiskArbitration::Volume("disk3s5", "/Volumes/Target", "hfs", "Target")};
    host_.SetDiskArbitration(&da_);
    for (const char* folder : {"/Volumes/Target/System/Library/CoreServices", "/System/Library/CoreServices"}) {
      std::string path = host_.Resolve(folder);
      ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
    }
  }
  std::string Log() { return ReadFile(host_.Resolve("/var/log/bless.log")); }

  FakeHost host_;
  FakeFirmware firmware_;
  FakeRegistry registry_;
  FakeDiskArbitration da_{host_.run_loop()};
};

TEST_F(BlessTest, RecordsEveryCallAndLeavesTheFirmwareWithoutSetboot) {
  auto r = RunTool(Bless, {"bless", "-folder", "/Volumes/Target/System/Library/CoreServices/", "-label",
                           "Install Disc"});
  ASSERT_EQ(r.status, kExitSuccess) << r.err;
  ASSERT_EQ(RunTool(Bless, {"bless", "-info"}).status, kExitSuccess);
  EXPECT_EQ(Log(),
            "bless\t-folder\t/Volumes/Target/System/Library/CoreServices/\t-label\tInstall Disc\n"
            "bless\t-info\n");
  EXPECT_EQ(firmware_.sets, 0);
}

TEST_F(BlessTest, SetbootPointsTheFirmwareAtTheDeviceOrTheFoldersVolume) {
  struct Case {
    std::vector<std::string> argv;
    const char* boot_device;
  } cases[] = {
      {{"bless", "-device", "/dev/disk1s3", "-setboot"},
       "/pci@f4000000/ata-6@d/channel@0/@0:3,\\\\:tbxi"},
      {{"bless", "-folder", "/Volumes/Target/System/Library/CoreServices", "-setboot"},
       "/pci@f2000000/scsi@4/@1:5,\\\\:tbxi"},
      {{"bless", "-MOUNT", "/Volumes/Target/", "-SetBoot"}, "/pci@f2000000/scsi@4/@1:5,\\\\:tbxi"},
  };
  for (const Case& c : cases) {
    firmware_.variables["boot-device"] = "old";
    auto r = RunTool(Bless, c.argv);
    ASSERT_EQ(r.status, kExitSuccess) << r.err;
    EXPECT_EQ(firmware_.variables["boot-device"], c.boot_device) << c.argv[2];
  }
}

TEST_F(BlessTest, SetbootOnTheMachinesOwnVolumeLeavesTheFirmware) {
  auto r = RunTool(Bless, {"bless", "-folder", "/System/Library/CoreServices", "-setboot"});
  EXPECT_EQ(r.status, kExitSuccess) << r.err;
  EXPECT_EQ(firmware_.sets, 0);
}

TEST_F(BlessTest, FailuresLeaveTheFirmwareAlone) {
  struct Case {
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {{"bless"}, kExitUsage},
      {{"bless", "-label", "X"}, kExitUsage},                           // nothing to bless
      {{"bless", "-folder"}, kExitUsage},
      {{"bless", "-frobnicate", "-folder", "/System"}, kExitUsage},
      {{"bless", "-device", "/dev/sda1", "-setboot"}, kExitUsage},
      {{"bless", "-device", "/dev/disk9s1", "-setboot"}, kExitFailure},  // unknown device
      {{"bless", "-folder", "/Volumes/Gone/System", "-setboot"}, kExitFailure},
  };
  for (const Case& c : cases) EXPECT_EQ(RunTool(Bless, c.argv).status, c.status) << c.argv.back();
  EXPECT_EQ(firmware_.sets, 0);

  host_.SetDiskArbitration(nullptr);
  EXPECT_EQ(RunTool(Bless, {"bless", "-folder", "/Volumes/Target", "-setboot"}).status, kExitFailure);
  firmware_.fail_sets_with = EIO;
  EXPECT_EQ(RunTool(Bless, {"bless", "-device", "disk1s3", "-setboot"}).status, kExitFailure);
  EXPECT_EQ(firmware_.variables["boot-device"], kBootDevice);
}

}  // namespace
}  // namespace sim::tools
