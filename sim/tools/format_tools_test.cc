// newfs_hfs, newfs and diskutil on image files behind a fake host's raw devices.
// What they write is checked by a reader written here from the on-disk format (not
// the machine's own prober), by libblkid and by hfsutils.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "platform/testing/temp_dir.h"
#include "sim/tools/test_fakes.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

using platform::testing::FakeHost;
using platform::testing::ImageRawDevices;
using platform::testing::ReadFile;
using testing::FakeDiskArbitration;
using testing::MakeSparseFile;
using testing::RunTool;

constexpr char kDevice[] = "/dev/rdisk2s3";
constexpr off_t kVolumeBytes = 32 << 20;
// The fake host's clock (machine absolute time) as an HFS Plus date.
constexpr uint32_t kExpectedCreateDate = 600000000u + 3061152000u;

uint32_t Be(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(b.at(at + static_cast<size_t>(i)));
  return v;
}

// The fields of an HFS Plus volume header (at byte 1024) that the tests check.
struct Header {
  uint32_t signature = 0, version = 0, attributes = 0, create_date = 0;
  uint32_t block_size = 0, total_blocks = 0, free_blocks = 0;
  uint32_t catalog_start = 0;
  bool journaled() const { return (attributes & (1u << 13)) != 0; }
};

Header ReadHeader(const std::string& image) {
  Header h;
  h.signature = Be(image, 1024, 2);
  h.version = Be(image, 1026, 2);
  h.attributes = Be(image, 1028, 4);
  h.create_date = Be(image, 1024 + 16, 4);
  h.block_size = Be(image, 1024 + 40, 4);
  h.total_blocks = Be(image, 1024 + 44, 4);
  h.free_blocks = Be(image, 1024 + 48, 4);
  h.catalog_start = Be(image, 1024 + 272 + 16, 4);  // first extent of the catalog file
  return h;
}

// The root folder's name: the key of the catalog's folder record whose parent is
// 1 and whose folder ID is 2, found in the first leaf node. ASCII only.
std::optional<std::string> RootFolderName(const std::string& image, const Header& h) {
  size_t catalog = size_t{h.catalog_start} * h.block_size;
  uint32_t node_size = Be(image, catalog + 32, 2);
  uint32_t first_leaf = Be(image, catalog + 24, 4);
  size_t leaf = catalog + size_t{first_leaf} * node_size;
  if (static_cast<uint8_t>(image.at(leaf + 8)) != 0xFF) return std::nullopt;
  uint32_t records = Be(image, leaf + 10, 2);
  for (uint32_t i = 0; i < records; ++i) {
    size_t record = leaf + Be(image, leaf + node_size - 2 * (i + 1), 2);
    uint32_t key_length = Be(image, record, 2);
    if (Be(image, record + 2, 4) != 1) continue;
    size_t data = record + 2 + key_length;
    if (Be(image, data, 2) != 1 || Be(image, data + 8, 4) != 2) continue;
    uint32_t length = Be(image, record + 6, 2);
    std::string name;
    for (uint32_t c = 0; c < length; ++c) name.push_back(static_cast<char>(Be(image, record + 8 + 2 * c, 2)));
    return name;
  }
  return std::nullopt;
}

// Runs a shell command; its exit status (-1 when it did not exit) and output.
int Shell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveCommand(const std::string& name) {
  std::string ignored;
  return Shell("command -v " + name, &ignored) == 0;
}

class FormatToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeSparseFile(image_, kVolumeBytes));
    devices_.AddDevice(kDevice, image_);
    devices_.AddDevice("/dev/disk2s3", image_);
    host_.SetRawDevices(&devices_);
    host_.SetDiskArbitration(&da_);
  }

  std::string Image() { return ReadFile(image_); }

  FakeHost host_;
  std::string image_ = host_.Resolve("/tmp/volume.img");
  ImageRawDevices devices_;
  FakeDiskArbitration da_{host_.run_loop()};
};

TEST_F(FormatToolsTest, NewfsHfsWritesTheVolumeTheOptionsAskFor) {
  struct Case {
    std::vector<std::string> args;
    uint32_t signature, version, block_size;
    bool journaled;
  } cases[] = {
      {{"-v", "Plain", kDevice}, 0x482B, 4, 4096, false},
      {{"-J", "8MB", "-v", "Journaled", kDevice}, 0x482B, 4, 4096, true},
      {{"-J", "-s", "-v", "Both", kDevice}, 0x4858, 5, 4096, true},
      {{"-s", "-v", "CaseSensitive", kDevice}, 0x4858, 5, 4096, false},
      {{"-b", "512", "-v", "Small Blocks", "/dev/disk2s3"}, 0x482B, 4, 512, false},
      {{"-J8m", "-vAttached", kDevice}, 0x482B, 4, 4096, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 2]);
    ASSERT_TRUE(MakeSparseFile(image_, kVolumeBytes));
    std::vector<std::string> argv = {"newfs_hfs"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = RunTool(NewfsHfs, argv);
    ASSERT_EQ(r.status, kExitSuccess) << r.err;
    std::string image = Image();
    Header h = ReadHeader(image);
    EXPECT_EQ(h.signature, c.signature);
    EXPECT_EQ(h.version, c.version);
    EXPECT_EQ(h.journaled(), c.journaled);
    EXPECT_EQ(h.block_size, c.block_size);
    EXPECT_EQ(h.total_blocks, kVolumeBytes / c.block_size);
    EXPECT_GT(h.free_blocks, 0u);
    EXPECT_LT(h.free_blocks, h.total_blocks);
    EXPECT_EQ(h.create_date, kExpectedCreateDate);
    std::string name = c.args[c.args.size() - 2];
    if (name.starts_with("-v")) name = name.substr(2);
    EXPECT_EQ(RootFolderName(image, h), name);
    // The alternate header, 1024 bytes before the end, matches the primary one.
    EXPECT_EQ(image.substr(kVolumeBytes - 1024, 512), image.substr(1024, 512));
  }
}

TEST_F(FormatToolsTest, NewfsHfsWithoutANameNamesTheVolumeUntitled) {
  ASSERT_EQ(RunTool(NewfsHfs, {"newfs_hfs", kDevice}).status, kExitSuccess);
  std::string image = Image();
  EXPECT_EQ(RootFolderName(image, ReadHeader(image)), "untitled");
}

TEST_F(FormatToolsTest, NewfsHfsRefusesBadCommandLinesWithoutOpeningTheDevice) {
  std::string long_name(256, 'n');
  std::vector<std::vector<std::string>> cases = {
      {"newfs_hfs"},
      {"newfs_hfs", "-v", "Name"},                  // no device
      {"newfs_hfs", "-x", kDevice},                 // unknown option
      {"newfs_hfs", "-w", kDevice},                 // an HFS wrapper is not made here
      {"newfs_hfs", "-J", "8XB", kDevice},          // bad journal sizes
      {"newfs_hfs", "-J", "0", kDevice},
      {"newfs_hfs", "-J", "99999999999999999999", kDevice},
      {"newfs_hfs", "-J8q", kDevice},
      {"newfs_hfs", "-b", "1000", kDevice},         // not a power of two
      {"newfs_hfs", "-b", "256", kDevice},          // too small
      {"newfs_hfs", "-b", "128k", kDevice},         // too large
      {"newfs_hfs", kDevice, "-v"},                 // option without its value
      {"newfs_hfs", "-v", "", kDevice},             // empty name
      {"newfs_hfs", "-v", long_name, kDevice},      // longer than 255
      {"newfs_hfs", "-v", "Bad\xff", kDevice},      // not UTF-8
      {"newfs_hfs", kDevice, "/dev/rdisk3s3"},      // two devices
  };
  for (const auto& argv : cases) {
    auto r = RunTool(NewfsHfs, argv);
    EXPECT_EQ(r.status, kExitUsage) << argv.back();
    EXPECT_NE(r.err.find("usage: newfs_hfs"), std::string::npos) << argv.back();
  }
  EXPECT_EQ(devices_.opens(), 0);
  EXPECT_EQ(Image(), std::string(kVolumeBytes, '\0'));
}

TEST_F(FormatToolsTest, NewfsHfsReportsDeviceFailures) {
  auto missing = RunTool(NewfsHfs, {"newfs_hfs", "-v", "X", "/dev/rdisk9s3"});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_NE(missing.err.find("/dev/rdisk9s3"), std::string::npos);

  devices_.FailWriteAt(devices_.writes() + 3);
  auto failing = RunTool(NewfsHfs, {"newfs_hfs", "-v", "X", kDevice});
  EXPECT_EQ(failing.status, kExitFailure);
  EXPECT_EQ(devices_.write_failures_fired(), 1);
  EXPECT_NE(failing.err.find("Input/output error"), std::string::npos) << failing.err;
  devices_.ClearFaults();

  // A journal larger than the volume, and a volume too small for the metadata.
  EXPECT_EQ(RunTool(NewfsHfs, {"newfs_hfs", "-J", "64m", kDevice}).status, kExitFailure);
  ASSERT_TRUE(MakeSparseFile(image_, 8192));
  EXPECT_EQ(RunTool(NewfsHfs, {"newfs_hfs", "-v", "Tiny", kDevice}).status, kExitFailure);
  EXPECT_EQ(Image(), std::string(8192, '\0'));
}

TEST_F(FormatToolsTest, NewfsHfsReplacesAnHfsVolumeSoHfsutilsNoLongerMountsIt) {
  if (!HaveCommand("hformat") || !HaveCommand("hmount")) GTEST_SKIP() << "hfsutils is not installed";
  std::string env = "HOME=" + host_.root() + " ";
  std::string output;
  ASSERT_EQ(Shell(env + "hformat -l Old " + image_, &output), 0) << output;
  output.clear();
  // The check means something: hfsutils mounts what hformat made.
  ASSERT_EQ(Shell(env + "hmount " + image_, &output), 0) << output;
  Shell(env + "humount", &output);

  ASSERT_EQ(RunTool(NewfsHfs, {"newfs_hfs", "-v", "New", kDevice}).status, kExitSuccess);
  output.clear();
  EXPECT_NE(Shell(env + "hmount " + image_, &output), 0) << output;
  std::string image = Image();
  EXPECT_EQ(ReadHeader(image).signature, 0x482Bu);
  EXPECT_EQ(RootFolderName(image, ReadHeader(image)), "New");
}

TEST_F(FormatToolsTest, BlkidSeesTheFileSystemsTheToolsWrite) {
  if (!HaveCommand("blkid")) GTEST_SKIP() << "blkid is not installed";
  struct Case {
    int (*tool)(const ToolCall&);
    std::vector<std::string> argv;
    const char* type;
    const char* label;  // nullptr: not checked
  } cases[] = {
      {NewfsHfs, {"newfs_hfs", "-v", "Blk Name", kDevice}, "TYPE=hfsplus", "LABEL=Blk\\ Name"},
      {NewfsHfs, {"newfs_hfs", "-s", "-J", "-v", "Sensitive", kDevice}, "TYPE=hfsplus", "LABEL=Sensitive"},
      {Newfs, {"newfs", "-v", "Unix", kDevice}, "TYPE=ufs", nullptr},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(MakeSparseFile(image_, kVolumeBytes));
    ASSERT_EQ(RunTool(c.tool, c.argv).status, kExitSuccess);
    std::string output;
    ASSERT_EQ(Shell("blkid -p -o export " + image_, &output), 0) << output;
    EXPECT_NE(output.find(c.type), std::string::npos) << output;
    if (c.label != nullptr) {
      EXPECT_NE(output.find(c.label), std::string::npos) << output;
    }
  }
}

TEST_F(FormatToolsTest, NewfsWritesAUfsSuperblockAndTheLabel) {
  auto r = RunTool(Newfs, {"newfs", "-v", "Unix Volume", kDevice});
  ASSERT_EQ(r.status, kExitSuccess) << r.err;
  std::string image = Image();
  EXPECT_EQ(Be(image, 8192 + 1372, 4), 0x011954u);
  EXPECT_EQ(image.substr(7168, 4), "LABL");
  EXPECT_EQ(Be(image, 7168 + 4, 4), 1u);
  EXPECT_EQ(Be(image, 7168 + 8, 2), 11u);
  EXPECT_EQ(image.substr(7168 + 10, 11), "Unix Volume");
  // Nothing of an HFS volume is left to be mistaken for one.
  EXPECT_EQ(Be(image, 1024, 2), 0u);
}

TEST_F(FormatToolsTest, NewfsRefusesBadCommandLines) {
  std::vector<std::vector<std::string>> cases = {
      {"newfs"}, {"newfs", "-v", "X"}, {"newfs", "-J", kDevice}, {"newfs", "-v", "", kDevice},
      {"newfs", kDevice, kDevice}, {"newfs", kDevice, "-v"},
  };
  for (const auto& argv : cases) EXPECT_EQ(RunTool(Newfs, argv).status, kExitUsage) << argv.back();
  EXPECT_EQ(devices_.opens(), 0);
  EXPECT_EQ(RunTool(Newfs, {"newfs", "/dev/rdisk9"}).status, kExitFailure);
}

TEST_F(FormatToolsTest, DiskutilSwitchesTheJournalOfTheVolumeMountedThere) {
  ASSERT_EQ(RunTool(NewfsHfs, {"newfs_hfs", "-v", "Data", kDevice}).status, kExitSuccess);
  da_.volumes = {FakeDiskArbitration::Volume("disk1s3", "/Volumes/Other"),
                 FakeDiskArbitration::Volume("disk2s3", "/Volumes/Data", "hfs", "Data")};
  std::string before = Image();

  auto on = RunTool(Diskutil, {"diskutil", "enableJournal", "/Volumes/Data/"});
  ASSERT_EQ(on.status, kExitSuccess) << on.err;
  std::string after = Image();
  EXPECT_TRUE(ReadHeader(after).journaled());
  // Only the attributes word changed.
  std::string masked = after;
  masked.replace(1028, 4, before.substr(1028, 4));
  EXPECT_EQ(masked, before);

  // Again: nothing to do, still a success.
  EXPECT_EQ(RunTool(Diskutil, {"diskutil", "enableJournal", "/Volumes/Data"}).status, kExitSuccess);
  EXPECT_TRUE(ReadHeader(Image()).journaled());

  auto off = RunTool(Diskutil, {"diskutil", "disableJournal", "disk2s3"});
  ASSERT_EQ(off.status, kExitSuccess) << off.err;
  EXPECT_EQ(Image(), before);
}

TEST_F(FormatToolsTest, DiskutilFailsWithoutAnHfsPlusVolumeAtThePlace) {
  da_.volumes = {FakeDiskArbitration::Volume("disk2s3", "/Volumes/Unix", "ufs", "Unix")};
  ASSERT_EQ(RunTool(Newfs, {"newfs", "-v", "Unix", kDevice}).status, kExitSuccess);
  std::string before = Image();
  struct Case {
    std::vector<std::string> argv;
    int status;
  } cases[] = {
      {{"diskutil", "enableJournal", "/Volumes/Unix"}, kExitFailure},   // UFS
      {{"diskutil", "enableJournal", "/Volumes/None"}, kExitFailure},   // nothing mounted
      {{"diskutil", "enableJournal", "/dev/disk7s1"}, kExitFailure},    // no such device
      {{"diskutil", "eraseVolume", "/Volumes/Unix"}, kExitUsage},
      {{"diskutil", "enableJournal"}, kExitUsage},
      {{"diskutil"}, kExitUsage},
  };
  for (const Case& c : cases) EXPECT_EQ(RunTool(Diskutil, c.argv).status, c.status) << c.argv.back();
  EXPECT_EQ(Image(), before);

  host_.SetDiskArbitration(nullptr);
  EXPECT_EQ(RunTool(Diskutil, {"diskutil", "enableJournal", "/Volumes/Unix"}).status, kExitFailure);
}

}  // namespace
}  // namespace sim::tools
