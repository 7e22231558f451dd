#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "platform/testing/temp_dir.h"
#include "spot/event_handler.h"

namespace {

using platform::testing::WriteFile;

void PutBe16(std::string& image, size_t at, uint16_t v) {
  image[at] = static_cast<char>(v >> 8);
  image[at + 1] = static_cast<char>(v);
}
void PutBe32(std::string& image, size_t at, uint32_t v) {
  PutBe16(image, at, static_cast<uint16_t>(v >> 16));
  PutBe16(image, at + 2, static_cast<uint16_t>(v));
}

constexpr uint32_t kJournaled = 1u << 13;
constexpr uint32_t kUnmounted = 1u << 8;

// An HFS Plus or HFSX volume header at `at`.
void PutVolumeHeader(std::string& image, size_t at, uint16_t signature, uint32_t attributes) {
  PutBe16(image, at, signature);
  PutBe16(image, at + 2, signature == 0x4858 ? 5 : 4);
  PutBe32(image, at + 4, attributes);
}

// An HFS wrapper whose embedded volume starts at allocation block 2 of 4096 bytes,
// after 16 sectors: 2 * 4096 + 16 * 512 + 1024 = 17408.
constexpr size_t kEmbeddedHeader = 17408;
void PutWrapper(std::string& image, uint16_t embedded_signature) {
  PutBe16(image, 1024, 0x4244);
  PutBe32(image, 1024 + 20, 4096);
  PutBe16(image, 1024 + 28, 16);
  PutBe16(image, 1024 + 124, embedded_signature);
  PutBe16(image, 1024 + 126, 2);
  PutBe16(image, 1024 + 128, 100);
}

class VolumeHeaderTest : public ::testing::Test {
 protected:
  VolumeHeaderTest() { host_.SetRawDevices(&devices_); }

  // Reads the header of a device holding `image`; the caller's format starts as HFS Plus.
  std::pair<VolumeFormat, Boolean> Read(const std::string& image) {
    const std::string path = images_.Sub("disk" + std::to_string(++count_) + ".img");
    EXPECT_TRUE(WriteFile(path, image));
    devices_.AddDevice("/dev/rdisk3s2", path);
    VolumeFormat format = kVolumeFormatHFSPlus;
    Boolean journaled = 7;
    handler_.FillInHFSHeaderInfo("disk3s2", &format, &journaled);
    return {format, journaled};
  }

  platform::testing::FakeHost host_;
  platform::testing::ImageRawDevices devices_;
  platform::testing::TempDir images_;
  TEventHandler handler_{-1};
  int count_ = 0;
};

TEST_F(VolumeHeaderTest, FormatAndJournalComeFromTheVolumeHeader) {
  struct Case {
    const char* name;
    std::function<void(std::string&)> make;
    VolumeFormat format;
    Boolean journaled;
  };
  const Case cases[] = {
      {"HFS Plus", [](std::string& i) { PutVolumeHeader(i, 1024, 0x482B, kUnmounted); },
       kVolumeFormatHFSPlus, 0},
      {"HFS Plus journaled",
       [](std::string& i) { PutVolumeHeader(i, 1024, 0x482B, kUnmounted | kJournaled); },
       kVolumeFormatHFSPlus, 1},
      {"HFSX journaled", [](std::string& i) { PutVolumeHeader(i, 1024, 0x4858, kJournaled); },
       kVolumeFormatHFSX, 1},
      {"HFSX", [](std::string& i) { PutVolumeHeader(i, 1024, 0x4858, 0); }, kVolumeFormatHFSX, 0},
      {"wrapped HFS Plus journaled",
       [](std::string& i) {
         PutWrapper(i, 0x482B);
         PutVolumeHeader(i, kEmbeddedHeader, 0x482B, kJournaled);
       },
       kVolumeFormatHFSPlus, 1},
      {"wrapped HFSX",
       [](std::string& i) {
         PutWrapper(i, 0x4858);
         PutVolumeHeader(i, kEmbeddedHeader, 0x4858, 0);
       },
       kVolumeFormatHFSX, 0},
      {"plain HFS", [](std::string& i) { PutBe16(i, 1024, 0x4244); }, kVolumeFormatHFSPlus, 0},
      {"wrapper whose embedded volume is elsewhere",
       [](std::string& i) {
         PutWrapper(i, 0x482B);
         PutVolumeHeader(i, 1024 + 512, 0x4858, kJournaled);
       },
       kVolumeFormatHFSPlus, 0},
      {"no file system", [](std::string&) {}, kVolumeFormatHFSPlus, 0},
      {"signature at the wrong byte order",
       [](std::string& i) {
         i[1024] = 0x2B;
         i[1025] = 0x48;
         PutBe32(i, 1028, kJournaled);
       },
       kVolumeFormatHFSPlus, 0},
  };
  for (const Case& c : cases) {
    std::string image(64 * 1024, '\0');
    c.make(image);
    const auto [format, journaled] = Read(image);
    EXPECT_EQ(format, c.format) << c.name;
    EXPECT_EQ(journaled, c.journaled) << c.name;
  }
  EXPECT_EQ(devices_.last_linux_flags() & O_ACCMODE, O_RDONLY);
}

TEST_F(VolumeHeaderTest, ShortDevicesAndFailedReadsChangeNothing) {
  std::string tiny(1500, '\0');
  PutBe16(tiny, 1024, 0x4858);
  auto [format, journaled] = Read(tiny);
  EXPECT_EQ(format, kVolumeFormatHFSPlus) << "a header cut short is not read";
  EXPECT_EQ(journaled, 0);

  std::string wrapped_beyond_end(8192, '\0');
  PutWrapper(wrapped_beyond_end, 0x4858);
  std::tie(format, journaled) = Read(wrapped_beyond_end);
  EXPECT_EQ(format, kVolumeFormatHFSPlus);

  std::string hfsx(64 * 1024, '\0');
  PutVolumeHeader(hfsx, 1024, 0x4858, kJournaled);
  devices_.FailReadAt(devices_.reads() + 1);
  std::tie(format, journaled) = Read(hfsx);
  EXPECT_EQ(devices_.read_failures_fired(), 1);
  EXPECT_EQ(format, kVolumeFormatHFSPlus);
  EXPECT_EQ(journaled, 0);

  VolumeFormat untouched = kVolumeFormatHFSPlus;
  Boolean flag = 1;
  handler_.FillInHFSHeaderInfo("disk9", &untouched, &flag);
  EXPECT_EQ(untouched, kVolumeFormatHFSPlus) << "no such device";
  EXPECT_EQ(flag, 0);
}

// A volume made by hfsutils, a formatter we did not write.
TEST_F(VolumeHeaderTest, AVolumeMadeByHformatReadsAsHFSPlusNotJournaled) {
  const std::string path = images_.Sub("hformat.img");
  ASSERT_TRUE(WriteFile(path, std::string(1024 * 1024, '\0')));
  const std::string command = "HOME='" + images_.path() + "' hformat -l Plain '" + path +
                              "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "hformat (hfsutils) must be installed";
  devices_.AddDevice("/dev/rdisk4s3", path);
  VolumeFormat format = kVolumeFormatHFSPlus;
  Boolean journaled = 1;
  handler_.FillInHFSHeaderInfo("disk4s3", &format, &journaled);
  EXPECT_EQ(format, kVolumeFormatHFSPlus);
  EXPECT_EQ(journaled, 0);
}

class BootableTest : public ::testing::Test {
 protected:
  void Make(const std::string& machine_path) {
    ASSERT_TRUE(WriteFile(host_.Resolve(machine_path), "x"));
  }
  platform::testing::FakeHost host_;
  TEventHandler handler_{-1};
};

TEST_F(BootableTest, ASystemNeedsAVersionFileAKernelAndBootX) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    VolumeFormat format;
    bool bootable;
  };
  const std::string kSystem = "System/Library/CoreServices/SystemVersion.plist";
  const std::string kServer = "System/Library/CoreServices/ServerVersion.plist";
  const std::string kBootX = "System/Library/CoreServices/BootX";
  const Case cases[] = {
      {"client system", {kSystem, "mach_kernel", kBootX}, kVolumeFormatHFSPlus, true},
      {"server system", {kServer, "mach_kernel", kBootX}, kVolumeFormatHFSPlus, true},
      {"UFS system", {kSystem, "mach_kernel", kBootX}, kVolumeFormatUFS, true},
      {"HFSX system", {kSystem, "mach_kernel", kBootX}, kVolumeFormatHFSX, false},
      {"MS-DOS", {kSystem, "mach_kernel", kBootX}, kVolumeFormatMSDOS, false},
      {"no kernel", {kSystem, kBootX}, kVolumeFormatHFSPlus, false},
      {"no BootX", {kSystem, "mach_kernel"}, kVolumeFormatHFSPlus, false},
      {"no version file", {"mach_kernel", kBootX}, kVolumeFormatHFSPlus, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string root = "/Volumes/V" + std::to_string(++n);
    ::mkdir(host_.Resolve(root).c_str(), 0755);
    for (const std::string& file : c.files) Make(root + "/" + file);
    EXPECT_EQ(handler_.IsBootable((root + "/").c_str(), c.format) != 0, c.bootable) << c.name;
    EXPECT_EQ(handler_.IsBootable(root.c_str(), c.format) != 0, c.bootable)
        << c.name << " without the trailing slash";
  }
}

TEST_F(BootableTest, TheStartupVolumeIsLookedForUnderTheMachineRoot) {
  EXPECT_FALSE(handler_.IsBootable("/", kVolumeFormatHFSPlus));
  Make("/System/Library/CoreServices/SystemVersion.plist");
  Make("/System/Library/CoreServices/BootX");
  Make("/mach_kernel");
  EXPECT_TRUE(handler_.IsBootable("/", kVolumeFormatHFSPlus));
}

}  // namespace
