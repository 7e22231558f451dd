// Raw devices of a running machine: where the bytes land, what a BSD device refuses,
// the faults the machine injects, and the machine following what was written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/raw_device.h"
#include "platform/sim/machine_host.h"
#include "sim/testing/test_machine.h"

namespace sim {
namespace {

using platform::Matching;
using platform::Property;
using testing::TestMachine;

constexpr int kReadWriteAppend = platform::kBsdOpenReadWrite | platform::kBsdOpenAppend;  // 0x0A

// A machine with one disk, partitioned by parted: s2 at 1 MiB (8 MiB), s3 at 9 MiB.
struct PartitionedMachine {
  TestMachine machine{{.disk_count = 0}};
  std::string image;
  std::unique_ptr<platform::MachineHost> host;

  PartitionedMachine() {
    image = machine.CreateImage("p.img", 16 << 20);
    std::string command = "parted -s " + image +
                          " mklabel mac mkpart a hfs+ 1MiB 9MiB mkpart b hfs+ 9MiB 15MiB >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(machine.AttachDisk(image, "ata0", 0), "disk0");
    host = machine.NewHost();
  }
  platform::RawDevices& devices() { return host->raw_devices(); }
  std::string Image() { return platform::testing::ReadFile(image); }
};

TEST(DevicesE2ETest, WritingAPartitionChangesExactlyThoseBytesOfTheImage) {
  PartitionedMachine m;
  std::string before = m.Image();
  auto device = m.devices().Open("/dev/rdisk0s2", kReadWriteAppend);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Size(), 8 << 20);
  std::string data(4096, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 1);
  ASSERT_EQ(device->Seek(8192), 8192);
  ASSERT_EQ(device->Write(data.data(), data.size()), 4096);  // not sent to the end: no append
  ASSERT_EQ(device->Seek(8192), 8192);
  std::string back(4096, '\0');
  ASSERT_EQ(device->Read(back.data(), back.size()), 4096);
  EXPECT_EQ(back, data);
  EXPECT_EQ(device->SynchronizeCache(), 0);
  device.reset();

  std::string after = m.Image();
  ASSERT_EQ(after.size(), before.size());
  size_t start = (1 << 20) + 8192;
  EXPECT_EQ(after.substr(start, 4096), data);
  EXPECT_EQ(after.substr(0, start), before.substr(0, start));
  EXPECT_EQ(after.substr(start + 4096), before.substr(start + 4096));
}

TEST(DevicesE2ETest, DevicesRefuseWhatABsdRawDeviceRefuses) {
  PartitionedMachine m;
  errno = 0;
  EXPECT_EQ(m.devices().Open("/dev/rdisk7", platform::kBsdOpenReadOnly), nullptr);
  EXPECT_EQ(errno, ENOENT);
  auto device = m.devices().Open("/dev/disk0s3", platform::kBsdOpenReadOnly);
  ASSERT_NE(device, nullptr);
  char buffer[1024] = {};
  struct Case {
    const char* what;
    int64_t seek;
    size_t length;
    bool write;
    ssize_t result;
    int error;
  } cases[] = {
      {"unaligned length", 0, 100, false, -1, EINVAL},
      {"unaligned offset", 10, 512, false, -1, EINVAL},
      {"write on a read-only open", 0, 512, true, -1, EBADF},
      {"read at the end", 6 << 20, 512, false, 0, 0},
      {"read across the end", (6 << 20) - 512, 1024, false, 512, 0},
  };
  for (const Case& c : cases) {
    errno = 0;
    ASSERT_EQ(device->Seek(c.seek), c.seek);
    ssize_t n = c.write ? device->Write(buffer, c.length) : device->Read(buffer, c.length);
    EXPECT_EQ(n, c.result) << c.what;
    if (c.result < 0) {
      EXPECT_EQ(errno, c.error) << c.what;
    }
  }
  errno = 0;
  EXPECT_EQ(device->Seek(-1), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(DevicesE2ETest, InjectedFaultsFailTheTransfersTheyCoverAndCountThemselves) {
  PartitionedMachine m;
  // Opened before the faults are armed: the device notices the change.
  auto device = m.devices().Open("/dev/rdisk0s2", platform::kBsdOpenReadWrite);
  ASSERT_NE(device, nullptr);
  int64_t read_error = m.machine.AddFault({{"kind", Property::String("io-error")},
                                           {"device", Property::String("disk0s2")},
                                           {"start", Property::Integer(4096)},
                                           {"length", Property::Integer(512)},
                                           {"writes", Property::Boolean(false)}});
  int64_t failing = m.machine.AddFault({{"kind", Property::String("fail-write")},
                                        {"device", Property::String("/dev/rdisk0s2")},
                                        {"nth", Property::Integer(2)}});
  std::string block(4096, 'w');
  std::string in(4096, '\0');
  // Reads outside the range work; across it they fail.
  ASSERT_EQ(device->Seek(0), 0);
  EXPECT_EQ(device->Read(in.data(), 4096), 4096);
  errno = 0;
  EXPECT_EQ(device->Read(in.data(), 4096), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(m.machine.FaultFired(read_error), 1);
  // The second write fails, the first and third land.
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(device->Seek(65536 * i), 65536 * i);
    errno = 0;
    EXPECT_EQ(device->Write(block.data(), block.size()), i == 2 ? -1 : 4096) << i;
  }
  EXPECT_EQ(m.machine.FaultFired(failing), 1);
  std::string image = m.Image();
  EXPECT_EQ(image.substr((1 << 20) + 65536, 4096), block);
  EXPECT_EQ(image.substr((1 << 20) + 2 * 65536, 4096), std::string(4096, '\0'));
  EXPECT_EQ(image.substr((1 << 20) + 3 * 65536, 4096), block);
}

TEST(DevicesE2ETest, TornWriteLandsOnlyItsFirstSectors) {
  PartitionedMachine m;
  int64_t tear = m.machine.AddFault({{"kind", Property::String("tear-write")},
                                     {"device", Property::String("disk0s3")},
                                     {"nth", Property::Integer(1)},
                                     {"sectors", Property::Integer(3)}});
  auto device = m.devices().Open("/dev/rdisk0s3", platform::kBsdOpenReadWrite);
  ASSERT_NE(device, nullptr);
  std::string block(8 * 512, 't');
  errno = 0;
  EXPECT_EQ(device->Write(block.data(), block.size()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(m.machine.FaultFired(tear), 1);
  std::string image = m.Image();
  size_t start = 9 << 20;
  EXPECT_EQ(image.substr(start, 3 * 512), std::string(3 * 512, 't'));
  EXPECT_EQ(image.substr(start + 3 * 512, 5 * 512), std::string(5 * 512, '\0'));
}

TEST(DevicesE2ETest, AMapWrittenThroughTheWholeDiskIsPublishedByTheTimeItIsClosed) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  // The map comes from parted, written on a scratch image, then copied through the
  // raw device of a blank disk.
  std::string scratch = machine.CreateImage("scratch.img", 16 << 20);
  ASSERT_EQ(std::system(("parted -s " + scratch + " mklabel mac mkpart x hfs+ 1MiB 5MiB"
                         " >/dev/null 2>&1").c_str()), 0);
  std::string map = platform::testing::ReadFile(scratch).substr(0, 1 << 20);
  std::string blank = machine.CreateImage("blank.img", 16 << 20);
  ASSERT_EQ(machine.AttachDisk(blank, "scsi0", 3), "disk0");
  auto host = machine.NewHost();
  platform::Registry& r = host->registry();
  EXPECT_FALSE(r.GetMatchingService(Matching::BSDNameMatching("disk0s2")));
  auto device = host->raw_devices().Open("/dev/rdisk0", kReadWriteAppend);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->Write(map.data(), map.size()), static_cast<ssize_t>(map.size()));
  device.reset();
  platform::RegistryEntry part = r.GetMatchingService(Matching::BSDNameMatching("disk0s2"));
  ASSERT_TRUE(part);
  EXPECT_EQ(r.GetProperty(part, "Size")->AsInteger(), 4 << 20);
  EXPECT_EQ(::access(machine.Resolve("/dev/rdisk0s2").c_str(), F_OK), 0);
}

TEST(DevicesE2ETest, DeviceOfAMediumThatWentAwayFails) {
  PartitionedMachine m;
  auto device = m.devices().Open("/dev/rdisk0s2", platform::kBsdOpenReadOnly);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(m.machine.DetachDisk("disk0"));
  char buffer[512];
  errno = 0;
  EXPECT_EQ(device->Read(buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, ENXIO);
}

}  // namespace
}  // namespace sim
