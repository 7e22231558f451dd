#include "sim/tools/raw_device_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/testing/image_raw_devices.h"
#include "platform/testing/temp_dir.h"

namespace sim::tools {
namespace {

using platform::testing::ImageRawDevices;
using platform::testing::ReadFile;
using platform::testing::TempDir;
using platform::testing::WriteFile;

class RawDeviceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string bytes(8 * 512, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    original_ = bytes;
    ASSERT_TRUE(WriteFile(image_, bytes));
    devices_.AddDevice("/dev/rdisk2s3", image_);
    device_ = devices_.Open("/dev/rdisk2s3", platform::kBsdOpenReadWrite);
    ASSERT_NE(device_, nullptr);
  }

  // Every transfer that reached the device covered whole sectors.
  void ExpectOnlyWholeSectorWrites() {
    for (const auto& w : devices_.write_log()) {
      EXPECT_EQ(w.offset % 512, 0) << "write at " << w.offset;
      EXPECT_EQ(w.length % 512, 0u) << "write of " << w.length;
    }
  }

  TempDir dir_;
  std::string image_ = dir_.Sub("disk.img");
  std::string original_;
  ImageRawDevices devices_;
  std::unique_ptr<platform::RawDevice> device_;
};

TEST_F(RawDeviceStoreTest, PartialSectorWritesChangeOnlyTheirBytes) {
  RawDeviceStore store(*device_);
  struct Case {
    uint64_t offset;
    std::string bytes;
  } cases[] = {
      {10, "XY"},                             // inside one sector
      {500, std::string(30, 'Q')},            // across a sector boundary
      {1000, std::string(1100, 'Z')},         // partial, whole and partial sectors
      {4096 - 3, "END"},                      // the last bytes of the device
  };
  std::string expected = original_;
  for (const Case& c : cases) {
    ASSERT_TRUE(store.Write(c.offset, c.bytes.data(), c.bytes.size())) << c.offset;
    expected.replace(c.offset, c.bytes.size(), c.bytes);
  }
  EXPECT_EQ(ReadFile(image_), expected);
  ExpectOnlyWholeSectorWrites();

  char back[30];
  ASSERT_TRUE(store.Read(500, back, sizeof back));
  EXPECT_EQ(std::string(back, sizeof back), expected.substr(500, 30));
}

TEST_F(RawDeviceStoreTest, TransfersBeyondTheDeviceFailWithoutWriting) {
  RawDeviceStore store(*device_);
  char buffer[600] = {};
  EXPECT_FALSE(store.Write(4096 - 2, buffer, 3));
  EXPECT_EQ(store.last_error(), ERANGE);
  EXPECT_FALSE(store.Read(UINT64_MAX - 1, buffer, 4));
  EXPECT_FALSE(store.Write(4096, buffer, 1));
  EXPECT_TRUE(store.Write(4096, buffer, 0));
  EXPECT_EQ(devices_.writes(), 0);
  EXPECT_EQ(ReadFile(image_), original_);
}

TEST_F(RawDeviceStoreTest, DeviceFailuresAreReportedWithTheirError) {
  RawDeviceStore store(*device_);
  devices_.FailWriteAt(1);
  char buffer[512] = {};
  EXPECT_FALSE(store.Write(512, buffer, sizeof buffer));
  EXPECT_EQ(devices_.write_failures_fired(), 1);
  EXPECT_EQ(store.last_error(), EIO);

  devices_.FailReadAt(devices_.reads() + 1);
  // A partial write must read its sector first; the failed read stops it.
  EXPECT_FALSE(store.Write(100, buffer, 10));
  EXPECT_EQ(devices_.read_failures_fired(), 1);
  EXPECT_EQ(ReadFile(image_), original_);
}

TEST_F(RawDeviceStoreTest, SizeIsWholeSectorsOfTheDeviceOrTheGivenSize) {
  EXPECT_EQ(RawDeviceStore(*device_).Size(), 4096u);
  EXPECT_EQ(RawDeviceStore(*device_, 1500).Size(), 1024u);
}

}  // namespace
}  // namespace sim::tools
