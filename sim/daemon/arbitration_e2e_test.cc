// Disk Arbitration of a running machine through its client sessions: volumes found
// and mounted, unmount / rename / mount with their notifications in order, refusals,
// and the offer of unrecognised partitions to the sessions that claimed them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/disk_arbitration.h"
#include "platform/sim/machine_host.h"
#include "sim/fs/block_store.h"
#include "sim/fs/volume_format.h"
#include "sim/fs/volume_probe.h"
#include "sim/testing/test_machine.h"

namespace sim {
namespace {

using platform::DiskArbitration;
using platform::Property;
using testing::RunUntil;
using testing::TestMachine;

// A volume reached through a raw device of the machine.
class DeviceStore : public BlockStore {
 public:
  explicit DeviceStore(platform::RawDevice& device) : device_(device) {}
  bool Read(uint64_t offset, void* buffer, size_t length) override {
    return device_.Seek(static_cast<int64_t>(offset)) == static_cast<int64_t>(offset) &&
           device_.Read(buffer, length) == static_cast<ssize_t>(length);
  }
  bool Write(uint64_t offset, const void* buffer, size_t length) override {
    return device_.Seek(static_cast<int64_t>(offset)) == static_cast<int64_t>(offset) &&
           device_.Write(buffer, length) == static_cast<ssize_t>(length);
  }
  uint64_t Size() const override { return static_cast<uint64_t>(device_.Size()); }

 private:
  platform::RawDevice& device_;
};

// An image partitioned by parted: s2 at 1 MiB (8 MiB), s3 at 9 MiB (6 MiB).
std::string PartitionedImage(TestMachine& machine, const std::string& name) {
  std::string image = machine.CreateImage(name, 16 << 20);
  std::string command = "parted -s " + image +
                        " mklabel mac mkpart a hfs+ 1MiB 9MiB mkpart b hfs+ 9MiB 15MiB >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  return image;
}

// Formats [offset, offset + size) of an image file as HFS Plus named `name`.
void FormatInImage(const std::string& image, uint64_t offset, uint64_t size, const std::string& name) {
  int fd = ::open(image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  FileRegion region(fd, offset, size);
  EXPECT_EQ(FormatHfsPlus(region, {name, false, true, 4096, 0}), 0);
  ::close(fd);
}

VolumeInfo ProbeInImage(const std::string& image, uint64_t offset, uint64_t size) {
  int fd = ::open(image.c_str(), O_RDONLY);
  FileRegion region(fd, offset, size);
  VolumeInfo info = ProbeVolume(region);
  ::close(fd);
  return info;
}

// A session that writes down every notification it gets, as text, and agrees to
// every unmount.
struct Recorder {
  std::unique_ptr<platform::MachineHost> host;
  std::vector<std::string> log;
  std::map<std::string, platform::DiskAppearedComplete> appeared;
  int32_t objection = 0;  // what it answers to pre-notifications

  explicit Recorder(TestMachine& machine) : host(machine.NewHost()) {
    DiskArbitration& da = host->disk_arbitration();
    da.OnDiskAppearedComplete([this](const platform::DiskAppearedComplete& d) {
      appeared[d.bsd_name] = d;
      log.push_back("appeared " + d.bsd_name + " " + d.fs_type + " " + d.volume_name + " " + d.mount_point);
    });
    da.OnDiskAppearedWithMountpoint([this](const platform::DiskAppearedWithMountpoint& d) {
      log.push_back("mountpoint " + d.bsd_name + " " + d.mount_point);
    });
    da.OnDiskChanged([this](const platform::DiskChanged& d) {
      log.push_back("changed " + d.bsd_name + " " + d.volume_name + " " + std::to_string(d.success));
    });
    da.OnUnmountPre([this](const std::string& bsd, uint32_t) {
      log.push_back("unmount_pre " + bsd);
      host->disk_arbitration().UnmountPreNotifyAck(bsd, objection);
    });
    da.OnUnmountPost([this](const std::string& bsd, int32_t error, int32_t dissenter) {
      log.push_back("unmount_post " + bsd + " " + std::to_string(error) +
                    (dissenter != 0 ? " by " + std::to_string(dissenter) : ""));
    });
    da.OnNotificationComplete([this](uint32_t type) { log.push_back("complete " + std::to_string(type)); });
    EXPECT_EQ(da.Start(), 0);
  }
  DiskArbitration& da() { return host->disk_arbitration(); }
  bool Has(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
  // Runs the session until `line` was logged.
  bool Await(const std::string& line) { return RunUntil(*host, [&] { return Has(line); }, 15); }
};

TEST(ArbitrationE2ETest, FormattedPartitionIsReportedAndMountedAsHfs) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  std::string image = PartitionedImage(machine, "p.img");
  ASSERT_EQ(machine.AttachDisk(image, "ata0", 0), "disk0");
  Recorder session(machine);
  ASSERT_EQ(session.da().UpdateClientFlags(), 0);  // the sessions hears of every disk there is
  ASSERT_TRUE(session.Await("complete 1"));
  ASSERT_EQ(session.appeared.count("disk0s2"), 1u);
  EXPECT_EQ(session.appeared["disk0s2"].fs_type, "");
  EXPECT_EQ(session.appeared["disk0s2"].io_content, "Apple_HFS");

  auto device = session.host->raw_devices().Open("/dev/rdisk0s2", platform::kBsdOpenReadWrite);
  ASSERT_NE(device, nullptr);
  DeviceStore store(*device);
  ASSERT_EQ(FormatHfsPlus(store, {"Data", false, false, 4096, 0}), 0);
  device.reset();

  session.log.clear();
  ASSERT_EQ(session.da().RequestMount("disk0s2"), 0);
  ASSERT_TRUE(session.Await("complete 5"));
  EXPECT_TRUE(session.Has("mountpoint disk0s2 /Volumes/Data"));
  EXPECT_TRUE(session.Has("appeared disk0s2 hfs Data /Volumes/Data"));
  EXPECT_EQ(::access(machine.Resolve("/Volumes/Data").c_str(), F_OK), 0);

  // A disk that comes with a plain HFS volume on it is mounted as it appears.
  std::string classic = machine.CreateImage("classic.img", 4 << 20);
  ASSERT_EQ(std::system(("hformat -l Classic " + classic + " >/dev/null 2>&1").c_str()), 0);
  session.log.clear();
  std::string disk = machine.AttachDisk(classic, "usb0");
  ASSERT_TRUE(session.Await("mountpoint " + disk + " /Volumes/Classic"));
  EXPECT_TRUE(session.Has("appeared " + disk + " hfs Classic /Volumes/Classic"));
}

TEST(ArbitrationE2ETest, UnmountRenameAndMountDeliverTheirNotificationsInOrder) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  std::string image = PartitionedImage(machine, "p.img");
  FormatInImage(image, 1 << 20, 8 << 20, "Before");
  ASSERT_EQ(machine.AttachDisk(image, "firewire0"), "disk0");
  ASSERT_TRUE(platform::testing::WriteFile(machine.Resolve("/Volumes/Before/hello.txt"), "hi"));
  Recorder session(machine);

  ASSERT_EQ(session.da().RequestUnmount("disk0s2", platform::kDiskArbUnmountOneVolume), 0);
  ASSERT_TRUE(session.Await("complete 2"));
  EXPECT_EQ(session.log, (std::vector<std::string>{"unmount_pre disk0s2", "unmount_post disk0s2 0",
                                                   "complete 2"}));
  EXPECT_NE(::access(machine.Resolve("/Volumes/Before").c_str(), F_OK), 0);

  session.log.clear();
  ASSERT_EQ(session.da().RequestDiskChange("disk0s2", "After", 0), 0);
  ASSERT_TRUE(session.Await("complete 4")) << machine.DaemonLog();
  EXPECT_EQ(session.log, (std::vector<std::string>{"changed disk0s2 After 1", "complete 4"}));
  EXPECT_EQ(ProbeInImage(image, 1 << 20, 8 << 20).name, "After");  // on disk too

  session.log.clear();
  ASSERT_EQ(session.da().RequestMount("disk0s2"), 0);
  ASSERT_TRUE(session.Await("complete 5"));
  EXPECT_EQ(session.log, (std::vector<std::string>{"mountpoint disk0s2 /Volumes/After",
                                                   "appeared disk0s2 hfs After /Volumes/After",
                                                   "complete 5"}));
  // What was written on the volume came back with it.
  EXPECT_EQ(platform::testing::ReadFile(machine.Resolve("/Volumes/After/hello.txt")), "hi");
}

TEST(ArbitrationE2ETest, RefusedUnmountReportsItsError) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  std::string image = PartitionedImage(machine, "p.img");
  FormatInImage(image, 1 << 20, 8 << 20, "Busy");
  ASSERT_EQ(machine.AttachDisk(image, "ata1"), "disk0");
  Recorder requester(machine);

  // A volume the system cannot let go of.
  int64_t refuse = machine.AddFault({{"kind", Property::String("refuse-unmount")},
                                     {"device", Property::String("disk0s2")}});
  ASSERT_EQ(requester.da().RequestUnmount("disk0s2", platform::kDiskArbUnmountOneVolume), 0);
  ASSERT_TRUE(requester.Await("complete 2"));
  EXPECT_TRUE(requester.Has("unmount_post disk0s2 " + std::to_string(EBUSY)));
  EXPECT_EQ(machine.FaultFired(refuse), 1);
  EXPECT_EQ(::access(machine.Resolve("/Volumes/Busy").c_str(), F_OK), 0);
  std::string error;
  ASSERT_EQ(machine.control().ClearFaults(&error), 0);

  // Another session dissents when asked.
  Recorder dissenter(machine);
  dissenter.objection = 49153;
  requester.log.clear();
  ASSERT_EQ(requester.da().RequestUnmount("disk0s2", platform::kDiskArbUnmountOneVolume), 0);
  ASSERT_TRUE(requester.Await("unmount_pre disk0s2"));
  ASSERT_TRUE(dissenter.Await("unmount_pre disk0s2"));
  ASSERT_TRUE(requester.Await("complete 2"));
  EXPECT_TRUE(requester.Has("unmount_post disk0s2 49153 by " + std::to_string(::getpid())));
  EXPECT_EQ(::access(machine.Resolve("/Volumes/Busy").c_str(), F_OK), 0);

  // An unknown volume is reported as such rather than left unanswered.
  requester.log.clear();
  ASSERT_EQ(requester.da().RequestUnmount("disk5s9", 0), 0);
  ASSERT_TRUE(requester.Await("complete 2"));
  EXPECT_TRUE(requester.Has("unmount_post disk5s9 " + std::to_string(ENOENT)));
}

TEST(ArbitrationE2ETest, UnrecognisedMediaAreOfferedToTheClaimantOfHighestPriority) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  struct Claimant {
    std::unique_ptr<platform::MachineHost> host;
    std::vector<platform::UnrecognizedDisk> offers;
    std::string decline;  // the one it turns down
  };
  Claimant low{machine.NewHost(), {}, ""};
  Claimant high{machine.NewHost(), {}, "disk0s3"};
  Claimant idle{machine.NewHost(), {}, ""};  // takes no part
  for (Claimant* c : {&low, &high, &idle}) {
    DiskArbitration& da = c->host->disk_arbitration();
    da.OnUnrecognizedDisk([c](const platform::UnrecognizedDisk& d) {
      c->offers.push_back(d);
      c->host->disk_arbitration().ClientWillHandleUnrecognizedDisk(d.bsd_name, d.bsd_name != c->decline);
    });
    ASSERT_EQ(da.Start(), 0);
  }
  ASSERT_EQ(low.host->disk_arbitration().ClientHandlesUnrecognizedDisks(0x3C0F, 20), 0);
  ASSERT_EQ(high.host->disk_arbitration().ClientHandlesUnrecognizedDisks(0x3C0F, 30), 0);

  ASSERT_EQ(machine.AttachDisk(PartitionedImage(machine, "p.img"), "ata0", 0), "disk0");
  ASSERT_TRUE(RunUntil(*high.host, [&] { return high.offers.size() == 2; }, 15));
  ASSERT_TRUE(RunUntil(*low.host, [&] { return low.offers.size() == 1; }, 15));
  EXPECT_EQ(high.offers[0].bsd_name, "disk0s2");  // the map partition is never offered
  EXPECT_EQ(high.offers[1].bsd_name, "disk0s3");
  EXPECT_EQ(high.offers[0].disk_type, 1 << 2);    // unrecognised, fixed
  EXPECT_EQ(high.offers[0].is_whole, 0);
  EXPECT_EQ(high.offers[0].is_removable, 0);
  EXPECT_EQ(high.offers[0].device_type, "ATA");
  EXPECT_EQ(low.offers[0].bsd_name, "disk0s3");  // declined by the first, taken by the next

  // A blank disk is offered whole, as uninitialised.
  std::string blank = machine.CreateImage("blank.img", 4 << 20);
  ASSERT_EQ(machine.AttachDisk(blank, "usb0"), "disk1");
  ASSERT_TRUE(RunUntil(*high.host, [&] { return high.offers.size() == 3; }, 15));
  EXPECT_EQ(high.offers[2].bsd_name, "disk1");
  EXPECT_EQ(high.offers[2].disk_type, 1 << 0);
  EXPECT_EQ(high.offers[2].is_whole, 1);
  RunUntil(*idle.host, [] { return false; }, 0.2);
  EXPECT_TRUE(idle.offers.empty());
}

}  // namespace
}  // namespace sim
