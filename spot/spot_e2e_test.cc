// The real MirovaneSpot on a simulated machine: what it reports at start-up, while
// disks and volumes come and go, how it keeps its bus numbering, and how it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/machine_host.h"
#include "platform/testing/temp_dir.h"
#include "sim/testing/test_machine.h"
#include "spot/object_id_tracker.h"
#include "spot/testing/spot_process.h"

namespace {

// Fields of the packed records are compared as copies (unary +): the test macros take
// references, and a reference to a packed field may be misaligned.

using platform::Property;
using platform::PropertyDictionary;
using sim::testing::TestMachine;
using sim::testing::TestMachineOptions;
using spot_testing::Ending;
using spot_testing::NameOf;
using spot_testing::SpotProcess;

constexpr double kWait = 20;    // seconds any single expected record may take
constexpr double kQuiet = 1.0;  // seconds without a record that count as "nothing more"

std::string Location(const DiskAppearedRec& d) {
  return std::string(FieldText(reinterpret_cast<const char*>(d.deviceLocation),
                               sizeof d.deviceLocation));
}

bool IsType(const SpotEventRec& r, SpotEventType type, const std::string& bsd) {
  return r.eventType == type && NameOf(r) == bsd;
}

const SpotEventRec* Find(const std::vector<SpotEventRec>& records, SpotEventType type,
                         const std::string& bsd) {
  for (const SpotEventRec& r : records) {
    if (IsType(r, type, bsd)) return &r;
  }
  return nullptr;
}

// The machine's media: BSD name by (bus, unit) for whole disks, and each disk's
// partitions in order.
struct MediaMap {
  std::map<std::pair<std::string, int64_t>, std::string> whole;
  std::map<std::string, std::vector<std::pair<std::string, int64_t>>> partitions;  // bsd, size
};

MediaMap ReadMedia(TestMachine& machine) {
  MediaMap map;
  std::map<std::string, std::string> whole_by_image;
  const platform::PropertyArray media = machine.control().Media();
  for (const Property& m : media) {
    if (*m.Find("whole")->AsBoolean()) {
      map.whole[{*m.Find("bus")->AsString(), *m.Find("unit")->AsInteger()}] =
          *m.Find("bsd")->AsString();
      whole_by_image[*m.Find("image")->AsString()] = *m.Find("bsd")->AsString();
    }
  }
  for (const Property& m : media) {
    if (!*m.Find("whole")->AsBoolean()) {
      map.partitions[whole_by_image[*m.Find("image")->AsString()]].emplace_back(
          *m.Find("bsd")->AsString(), *m.Find("size")->AsInteger());
    }
  }
  return map;
}

// An image with an Apple Partition Map and two partitions, made by GNU parted.
std::string PartitionedImage(TestMachine& machine, const std::string& name) {
  const std::string path = machine.CreateImage(name, 16 << 20);
  const std::string command = "parted -s '" + path +
                              "' mklabel mac mkpart primary hfs+ 1MiB 6MiB mkpart primary hfs+ "
                              "6MiB 12MiB >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << "parted must be installed";
  return path;
}

// A plain HFS volume made by hfsutils: over the whole image, or on its `partition`th
// HFS partition.
void Hformat(const std::string& image, const std::string& volume_name, int partition = 0) {
  platform::testing::TempDir home;
  const std::string command = "HOME='" + home.path() + "' hformat -l '" + volume_name + "' '" +
                              image + "'" + (partition > 0 ? " " + std::to_string(partition) : "") +
                              " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "hformat (hfsutils) must be installed";
}

// The start-up records: until every medium of the machine (but those in `skip`) has
// had its disk record, then until the watcher stays quiet.
std::vector<SpotEventRec> ReadStartup(SpotProcess& spot, TestMachine& machine,
                                      const std::set<std::string>& skip = {}) {
  std::set<std::string> due;
  for (const Property& m : machine.control().Media()) {
    const std::string bsd = *m.Find("bsd")->AsString();
    if (skip.count(bsd) == 0) due.insert(bsd);
  }
  std::vector<SpotEventRec> records = spot.ReadUntil(
      [&](const SpotEventRec& r) {
        if (r.eventType == kSpotDiskAppeared) due.erase(NameOf(r));
        return due.empty();
      },
      kWait);
  EXPECT_TRUE(due.empty()) << "no disk record for " << *due.begin();
  for (const SpotEventRec& r : spot.ReadUntilQuiet(kQuiet, kWait)) records.push_back(r);
  return records;
}

class SpotE2ETest : public ::testing::Test {
 protected:
  std::unique_ptr<SpotProcess> StartSpot(TestMachine& machine) {
    return std::make_unique<SpotProcess>(MIROVANE_SPOT_PROGRAM, machine.root());
  }
  // Ends the watcher with SIGTERM and checks that it ended well and said nothing else.
  void Stop(SpotProcess& spot, int signal = SIGTERM) {
    const Ending ending = spot.Signal(signal, kWait);
    EXPECT_FALSE(ending.timed_out);
    EXPECT_TRUE(ending.exited) << "ended by signal " << ending.signal;
    EXPECT_EQ(ending.status, 0);
    EXPECT_EQ(spot.ErrorOutput(), "");
    EXPECT_EQ(spot.bad_packets(), 0);
  }
  // A Disk Arbitration session of the test's own on the machine.
  platform::DiskArbitration& DiskArb(TestMachine& machine) {
    if (!host_) {
      host_ = machine.NewHost();
      EXPECT_EQ(host_->disk_arbitration().Start(), 0);
    }
    return host_->disk_arbitration();
  }
  std::unique_ptr<platform::MachineHost> host_;
};

struct DiskExpectation {
  std::string bus;
  int64_t unit;
  BusType type;
  uint32_t bus_number, id, lun;
  std::string vendor, identity;
  uint8_t wwn;
  std::string location;
};

TEST_F(SpotE2ETest, DisksPresentAtStartAreReportedWithTheirBusIdentity) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  ASSERT_NE(machine.AttachDisk(machine.CreateImage("usb.img", 8 << 20), "usb0", 2), "");
  ASSERT_NE(machine.AttachDisk(machine.CreateImage("wwn.img", 8 << 20), "scsi0", 3,
                               {{"World Wide Node Name", Property::Integer(0x20000004CF8A1B2C)}}),
            "");
  ASSERT_NE(machine.AttachDisk(PartitionedImage(machine, "apm.img"), "ata1", 1), "");
  const MediaMap media = ReadMedia(machine);

  auto spot = StartSpot(machine);
  const std::vector<SpotEventRec> records = ReadStartup(*spot, machine);

  const std::string ata = "MIROVANE SIM-ATA v.1.0";
  const DiskExpectation expected[] = {
      {"ata0", 0, kBusTypeATA, 0, 0, 0, ata, "MV4200", 0, "Internal ATA Bus 0"},
      {"ata1", 0, kBusTypeATA, 1, 0, 0, ata, "MV4201", 0, "Internal ATA Bus 1"},
      {"ata1", 1, kBusTypeATA, 1, 1, 0, ata, "MV1001", 0, "Internal ATA Bus 1"},
      {"scsi0", 1, kBusTypeSCSI, 0, 1, 0, "MIROVANE SIM-SCSI v.0001", "", 0, "PCI Slot 4"},
      {"scsi0", 3, kBusTypeSCSI, 0, 3, 0, "MIROVANE SIM-SCSI v.0001", "20 00 00 04 CF 8A 1B 2C",
       1, "PCI Slot 4"},
      {"firewire0", 0, kBusTypeFireWire, 0, 0, 0, "MIROVANE SIM-1394 v.2.0",
       "00 30 E0 00 00 A0 00 00", 0, "FireWire Port"},
      {"usb0", 2, kBusTypeUSB, 0x1b, 2, 0, "MIROVANE SIM-USB v.3.0", "MV1002", 0, "USB Port"},
  };
  size_t whole_records = 0;
  for (const SpotEventRec& r : records) {
    if (r.eventType == kSpotDiskAppeared && r.payload.diskAppeared.isPartition == 0) {
      ++whole_records;
    }
  }
  EXPECT_EQ(whole_records, std::size(expected));

  for (const DiskExpectation& e : expected) {
    const std::string bsd = media.whole.at({e.bus, e.unit});
    SCOPED_TRACE(e.bus + " unit " + std::to_string(e.unit) + " (" + bsd + ")");
    const SpotEventRec* r = Find(records, kSpotDiskAppeared, bsd);
    ASSERT_NE(r, nullptr);
    const DiskAppearedRec& d = r->payload.diskAppeared;
    EXPECT_EQ(+d.isPartition, 0);
    EXPECT_EQ(+d.ident.busType, e.type);
    EXPECT_EQ(+d.ident.busNumber, e.bus_number);
    EXPECT_EQ(+d.ident.id, e.id);
    EXPECT_EQ(+d.ident.lun, e.lun);
    EXPECT_EQ(FieldText(d.vendorText), e.vendor);
    EXPECT_EQ(FieldText(d.identityText), e.identity);
    EXPECT_EQ(+d.isWWN, e.wwn);
    EXPECT_EQ(Location(d), e.location);
    EXPECT_EQ(+d.blockSize, 512u);
    EXPECT_GT(+d.size, 0u);
  }

  // The partitions of the partitioned disk, with the disk's bus type and location only.
  const std::string apm = media.whole.at({"ata1", 1});
  ASSERT_GE(media.partitions.at(apm).size(), 3u) << "the map and two partitions";
  for (const auto& [bsd, size] : media.partitions.at(apm)) {
    SCOPED_TRACE(bsd);
    const SpotEventRec* r = Find(records, kSpotDiskAppeared, bsd);
    ASSERT_NE(r, nullptr);
    const DiskAppearedRec& p = r->payload.diskAppeared;
    EXPECT_EQ(+p.isPartition, 1);
    EXPECT_EQ(+p.size, static_cast<uint64_t>(size));
    EXPECT_EQ(+p.ident.busType, kBusTypeATA);
    EXPECT_EQ(+p.ident.busNumber, 0u);
    EXPECT_EQ(+p.ident.id, 0u);
    EXPECT_EQ(+p.vendorText[0], 0);
    EXPECT_EQ(+p.identityText[0], 0);
    EXPECT_EQ(Location(p), "Internal ATA Bus 1");
  }
  Stop(*spot);
}

TEST_F(SpotE2ETest, EjectableMediaAreIgnoredAndUnsupportedOnesOnlyReportedWhenTheyGo) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  const std::string ejectable =
      machine.AttachDisk(machine.CreateImage("cd.img", 4 << 20), "usb0", 4,
                         {{"Ejectable", Property::Boolean(true)}});
  const std::string unsupported =
      machine.AttachDisk(machine.CreateImage("virtual.img", 4 << 20), "scsi0", 5,
                         {{"Physical Interconnect", Property::String("Virtual Interface")}});
  ASSERT_NE(ejectable, "");
  ASSERT_NE(unsupported, "");

  auto spot = StartSpot(machine);
  for (const SpotEventRec& r : ReadStartup(*spot, machine, {ejectable, unsupported})) {
    EXPECT_NE(NameOf(r), ejectable) << "type " << r.eventType;
    EXPECT_NE(NameOf(r), unsupported) << "type " << r.eventType;
  }

  ASSERT_TRUE(machine.DetachDisk(unsupported));
  const std::vector<SpotEventRec> gone = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotDiskDisappeared, unsupported); }, kWait);
  ASSERT_FALSE(gone.empty());
  ASSERT_TRUE(IsType(gone.back(), kSpotDiskDisappeared, unsupported));
  EXPECT_EQ(+gone.back().payload.diskAppeared.size, 4u << 20);

  ASSERT_TRUE(machine.DetachDisk(ejectable));
  for (const SpotEventRec& r : spot->ReadUntilQuiet(kQuiet, kWait)) {
    EXPECT_NE(NameOf(r), ejectable) << "type " << r.eventType;
  }
  Stop(*spot);
}

TEST_F(SpotE2ETest, HotPluggedDisksAreReportedInOrder) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto spot = StartSpot(machine);
  (void)ReadStartup(*spot, machine);

  const std::string image = PartitionedImage(machine, "hot.img");
  const std::string bsd = machine.AttachDisk(image, "firewire0", 1);
  ASSERT_NE(bsd, "");
  const std::vector<std::pair<std::string, int64_t>> partitions = ReadMedia(machine).partitions[bsd];
  ASSERT_GE(partitions.size(), 3u);

  std::vector<std::string> appeared;
  const std::string last = partitions.back().first;
  for (const SpotEventRec& r :
       spot->ReadUntil([&](const SpotEventRec& r) { return IsType(r, kSpotDiskAppeared, last); },
                       kWait)) {
    if (r.eventType == kSpotDiskAppeared) appeared.push_back(NameOf(r));
    if (IsType(r, kSpotDiskAppeared, bsd)) {
      EXPECT_EQ(+r.payload.diskAppeared.ident.busType, kBusTypeFireWire);
      EXPECT_EQ(+r.payload.diskAppeared.ident.id, 1u) << "the second FireWire disk";
      EXPECT_EQ(FieldText(r.payload.diskAppeared.identityText), "00 30 E0 00 00 A0 00 01");
    }
  }
  std::vector<std::string> expected = {bsd};
  for (const auto& p : partitions) expected.push_back(p.first);
  EXPECT_EQ(appeared, expected) << "the disk first, then its partitions in order";

  ASSERT_TRUE(machine.DetachDisk(bsd));
  std::vector<std::string> disappeared;
  for (const SpotEventRec& r :
       spot->ReadUntil([&](const SpotEventRec& r) { return IsType(r, kSpotDiskDisappeared, bsd); },
                       kWait)) {
    if (r.eventType == kSpotDiskDisappeared) disappeared.push_back(NameOf(r));
  }
  ASSERT_FALSE(disappeared.empty());
  EXPECT_EQ(disappeared.back(), bsd) << "the partitions go before their disk";
  std::sort(expected.begin(), expected.end());
  std::sort(disappeared.begin(), disappeared.end());
  EXPECT_EQ(disappeared, expected);
  Stop(*spot);
}

TEST_F(SpotE2ETest, AMountedVolumeIsReportedRenamedUnmountedAndMountedAgain) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto spot = StartSpot(machine);
  (void)ReadStartup(*spot, machine);

  // A real HFS volume made by hfsutils, plugged in while the watcher runs: the disk
  // record comes first, then Disk Arbitration's mount.
  const std::string image = machine.CreateImage("plain.img", 8 << 20);
  Hformat(image, "Plain");
  const std::string bsd = machine.AttachDisk(image, "ata1", 1);
  ASSERT_NE(bsd, "");
  std::vector<SpotEventRec> records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, bsd); }, kWait);
  ASSERT_GE(records.size(), 2u);
  EXPECT_TRUE(IsType(records[records.size() - 2], kSpotDiskAppeared, bsd));
  const VolumeAppearedRec& v = records.back().payload.volumeAppeared;
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, bsd));
  EXPECT_EQ(+v.volumeID, 0u);
  EXPECT_EQ(FieldText(v.volumeName), "Plain");
  EXPECT_EQ(FieldText(v.mountPoint), "/Volumes/Plain/");
  EXPECT_EQ(+v.format, kVolumeFormatHFSPlus) << "plain HFS counts as HFS Plus";
  EXPECT_EQ(+v.journaled, 0);
  EXPECT_EQ(+v.bootable, 0);
  EXPECT_EQ(+v.size, 8u << 20);

  platform::DiskArbitration& da = DiskArb(machine);
  ASSERT_EQ(da.RequestDiskChange(bsd, "Renamed", 0), 0);
  records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeChanged, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeChanged, bsd));
  EXPECT_EQ(FieldText(records.back().payload.volumeChanged.volumeName), "Renamed");
  EXPECT_EQ(FieldText(records.back().payload.volumeChanged.mountPoint), "/Volumes/Renamed/");
  EXPECT_EQ(+records.back().payload.volumeChanged.format, kVolumeFormatHFSPlus);
  EXPECT_EQ(+records.back().payload.volumeChanged.size, 8u << 20);

  ASSERT_EQ(da.RequestUnmount(bsd, 0), 0);
  records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeChanged, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeChanged, bsd));
  EXPECT_EQ(FieldText(records.back().payload.volumeChanged.volumeName), "Renamed");
  EXPECT_EQ(FieldText(records.back().payload.volumeChanged.mountPoint), "");

  ASSERT_EQ(da.RequestMount(bsd), 0);
  records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, bsd));
  EXPECT_EQ(FieldText(records.back().payload.volumeAppeared.mountPoint), "/Volumes/Renamed/");
  Stop(*spot);
}

TEST_F(SpotE2ETest, VolumesPresentAtStartAreReportedAfterTheirDisks) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  const std::string image = machine.CreateImage("early.img", 8 << 20);
  Hformat(image, "Early");
  const std::string bsd = machine.AttachDisk(image, "usb0", 3);
  ASSERT_NE(bsd, "");

  auto spot = StartSpot(machine);
  const std::vector<SpotEventRec> records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, bsd));
  EXPECT_NE(Find(records, kSpotDiskAppeared, bsd), nullptr);
  EXPECT_EQ(FieldText(records.back().payload.volumeAppeared.mountPoint), "/Volumes/Early/");
  EXPECT_EQ(FieldText(records.back().payload.volumeAppeared.volumeName), "Early");
  Stop(*spot);
}

TEST_F(SpotE2ETest, AJournaledHFSXVolumeReadsAsHFSXJournaled) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  const std::string bsd = machine.AttachDisk(machine.CreateImage("hfsx.img", 16 << 20), "ata1", 1);
  ASSERT_NE(bsd, "");
  const std::string newfs = machine.Resolve("/sbin/newfs_hfs");
  ASSERT_EQ(::access(newfs.c_str(), X_OK), 0) << "the stand-in newfs_hfs is installed";
  const sim::testing::RunResult made =
      machine.Run(newfs, {"-s", "-J", "-v", "Cased", "/dev/r" + bsd});
  ASSERT_EQ(made.exit_status, 0) << made.err;

  auto spot = StartSpot(machine);
  (void)ReadStartup(*spot, machine);
  ASSERT_EQ(DiskArb(machine).RequestMount(bsd), 0);
  const std::vector<SpotEventRec> records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, bsd));
  const VolumeAppearedRec& v = records.back().payload.volumeAppeared;
  EXPECT_EQ(FieldText(v.volumeName), "Cased");
  EXPECT_EQ(+v.format, kVolumeFormatHFSX);
  EXPECT_EQ(+v.journaled, 1);
  EXPECT_EQ(+v.bootable, 0) << "an HFSX volume never starts the machine";
  Stop(*spot);
}

TEST_F(SpotE2ETest, ARAIDVolumeIsReportedByItsIdentityNotAsADisk) {
  TestMachineOptions options;
  options.start = false;
  TestMachine machine(options);
  Hformat(machine.Resolve("/disks/disk-3.img"), "Mirror");  // the SCSI disk
  ASSERT_TRUE(machine.Start());
  const std::string bsd = ReadMedia(machine).whole.at({"scsi0", 1});
  std::string error;
  ASSERT_EQ(machine.control().SetProperty(bsd, "Mirovane Volume ID",
                                          Property::Integer(0x00000104A2B3C4D5), &error),
            0)
      << error;

  auto spot = StartSpot(machine);
  const std::vector<SpotEventRec> records = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, bsd); }, kWait);
  ASSERT_FALSE(records.empty());
  ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, bsd));
  EXPECT_EQ(Find(records, kSpotDiskAppeared, bsd), nullptr) << "a RAID volume is no disk";
  const VolumeAppearedRec& v = records.back().payload.volumeAppeared;
  EXPECT_EQ(+v.volumeID, 0x00000104A2B3C4D5u);
  EXPECT_EQ(FieldText(v.volumeName), "Mirror");
  EXPECT_EQ(FieldText(v.mountPoint), "/Volumes/Mirror/");

  // On a supported bus, its going is reported.
  ASSERT_TRUE(machine.DetachDisk(bsd));
  const std::vector<SpotEventRec> gone = spot->ReadUntil(
      [&](const SpotEventRec& r) { return IsType(r, kSpotDiskDisappeared, bsd); }, kWait);
  ASSERT_FALSE(gone.empty());
  EXPECT_TRUE(IsType(gone.back(), kSpotDiskDisappeared, bsd));
  Stop(*spot);
}

// --- Disk Arbitration before the registry ----------------------------------------------

// The BSD name the machine gives the next disk plugged in: the lowest free number.
std::string NextDiskName(TestMachine& machine) {
  std::set<std::string> taken;
  for (const Property& m : machine.control().Media()) taken.insert(*m.Find("bsd")->AsString());
  int n = 0;
  while (taken.count("disk" + std::to_string(n)) != 0) ++n;
  return "disk" + std::to_string(n);
}

// The medium of `disk` (it or one of its partitions) that carries a volume, with its
// size and mount point as the machine has them.
struct MountedVolume {
  std::string bsd;
  int64_t size = 0;
  std::string mount_point;
};
MountedVolume VolumeOn(TestMachine& machine, const std::string& disk) {
  for (const Property& m : machine.control().Media()) {
    const std::string bsd = *m.Find("bsd")->AsString();
    if ((bsd == disk || bsd.starts_with(disk + "s")) && !m.Find("fs_type")->AsString()->empty()) {
      return {bsd, *m.Find("size")->AsInteger(), *m.Find("mount_point")->AsString()};
    }
  }
  return {};
}

TEST_F(SpotE2ETest, AVolumeDiskArbitrationReportsFirstIsRecordedOnceTheRegistryFollows) {
  struct Case {
    const char* what;
    const char* image;
    const char* bus;
    int64_t unit;
    bool partitioned;      // an HFS partition on a mapped disk, else HFS on the whole disk
    uint64_t raid_id;      // "Mirovane Volume ID" of the volume's medium, 0 for none
    const char* name;
  } cases[] = {
      {"a partition of a disk", "late.img", "ata1", 1, true, 0, "Late"},
      {"a RAID volume", "raid.img", "scsi0", 2, false, 0x00000107F00DCAFE, "Mirror"},
  };
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  auto spot = StartSpot(machine);
  (void)ReadStartup(*spot, machine);

  int marker_unit = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string image =
        c.partitioned ? PartitionedImage(machine, c.image) : machine.CreateImage(c.image, 8 << 20);
    Hformat(image, c.name, c.partitioned ? 1 : 0);
    // The registry keeps quiet about the new disk and its partitions; Disk
    // Arbitration mounts the volume and tells the watcher.
    const std::string disk = NextDiskName(machine);
    const int64_t hold = machine.HoldRegistryNotifications(disk);
    ASSERT_NE(hold, 0);
    ASSERT_EQ(machine.AttachDisk(image, c.bus, c.unit), disk);
    const MountedVolume volume = VolumeOn(machine, disk);
    ASSERT_NE(volume.bsd, "") << "the machine found no volume on " << disk;
    if (c.raid_id != 0) {
      // The volume's own medium carries its identity, as the driver publishes it.
      std::string error;
      ASSERT_EQ(machine.control().SetProperty(volume.bsd, "Mirovane Volume ID",
                                              Property::Integer(static_cast<int64_t>(c.raid_id)),
                                              &error),
                0)
          << error;
    }
    EXPECT_EQ(volume.mount_point, std::string("/Volumes/") + c.name) << "Disk Arbitration mounted it";
    EXPECT_GT(machine.FaultFired(hold), 0);

    // A disk plugged in after it reaches the watcher on the same connection, after
    // Disk Arbitration's report: once its record is in, the report has been handled.
    const std::string marker = machine.AttachDisk(
        machine.CreateImage("marker-" + std::string(c.image), 4 << 20), "usb0", marker_unit++);
    ASSERT_NE(marker, "");
    const std::vector<SpotEventRec> before = spot->ReadUntil(
        [&](const SpotEventRec& r) { return IsType(r, kSpotDiskAppeared, marker); }, kWait);
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(IsType(before.back(), kSpotDiskAppeared, marker));
    for (const SpotEventRec& r : before) {
      EXPECT_FALSE(NameOf(r) == disk || NameOf(r).starts_with(disk + "s"))
          << "type " << r.eventType << " for " << NameOf(r) << " before the registry spoke";
    }

    // The registry speaks: the volume's record follows at once.
    ASSERT_TRUE(machine.ReleaseRegistryNotifications(disk));
    const std::vector<SpotEventRec> records = spot->ReadUntil(
        [&](const SpotEventRec& r) { return IsType(r, kSpotVolumeAppeared, volume.bsd); }, kWait);
    ASSERT_FALSE(records.empty());
    ASSERT_TRUE(IsType(records.back(), kSpotVolumeAppeared, volume.bsd));
    if (c.raid_id != 0) {
      EXPECT_EQ(Find(records, kSpotDiskAppeared, volume.bsd), nullptr) << "a RAID volume is no disk";
    } else {
      ASSERT_GE(records.size(), 2u);
      EXPECT_TRUE(IsType(records[records.size() - 2], kSpotDiskAppeared, volume.bsd))
          << "the medium's record, then its volume's";
      EXPECT_NE(Find(records, kSpotDiskAppeared, disk), nullptr);
    }
    const VolumeAppearedRec& v = records.back().payload.volumeAppeared;
    EXPECT_EQ(+v.volumeID, c.raid_id);
    EXPECT_EQ(FieldText(v.volumeName), c.name);
    EXPECT_EQ(FieldText(v.mountPoint), std::string("/Volumes/") + c.name + "/")
        << "the root-directory form, whichever notification came first";
    EXPECT_EQ(+v.format, kVolumeFormatHFSPlus);
    EXPECT_EQ(+v.journaled, 0);
    EXPECT_EQ(+v.size, static_cast<uint64_t>(volume.size));
  }
  Stop(*spot);
}

// --- Bus numbering kept between runs ---------------------------------------------------

// The FireWire disk number of `bsd` in a run of the watcher.
uint32_t FireWireIdOf(const std::vector<SpotEventRec>& records, const std::string& bsd) {
  const SpotEventRec* r = Find(records, kSpotDiskAppeared, bsd);
  EXPECT_NE(r, nullptr) << bsd;
  return r != nullptr ? r->payload.diskAppeared.ident.id : 0xFFFFFFFF;
}

TEST_F(SpotE2ETest, BusNumberingSurvivesARestartThroughTheSavedFile) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  const std::string first = ReadMedia(machine).whole.at({"firewire0", 0});
  {
    auto spot = StartSpot(machine);
    EXPECT_EQ(FireWireIdOf(ReadStartup(*spot, machine), first), 0u);
    const std::string second = machine.AttachDisk(machine.CreateImage("fw2.img", 4 << 20),
                                                  "firewire0", 1);
    const std::vector<SpotEventRec> records = spot->ReadUntil(
        [&](const SpotEventRec& r) { return IsType(r, kSpotDiskAppeared, second); }, kWait);
    EXPECT_EQ(FireWireIdOf(records, second), 1u);
    Stop(*spot);
  }
  struct stat st {};
  const std::string saved = machine.Resolve(kSavedStatePath);
  ASSERT_EQ(::lstat(saved.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Five buses (SCSI, two ATA channels, FireWire, USB) and two FireWire disks.
  EXPECT_EQ(st.st_size, static_cast<off_t>(8 + 5 * sizeof(BusRec) + 2 * sizeof(FireWireDiskRec)));

  // Without the first disk, a fresh numbering would make the second disk 0.
  ASSERT_TRUE(machine.DetachDisk(first));
  const std::string second = ReadMedia(machine).whole.at({"firewire0", 1});
  auto spot = StartSpot(machine);
  EXPECT_EQ(FireWireIdOf(ReadStartup(*spot, machine), second), 1u);
  Stop(*spot, SIGINT);
}

// Writes a saved file that gives the machine's FireWire disk (unit 0) number 7, with
// `damage` applied to it.
std::string SavedFileGivingSeven(TestMachine& machine, bool damaged) {
  std::string image;
  SavedStateHeader header{1, damaged ? 2u : 1u};
  image.append(reinterpret_cast<const char*>(&header), sizeof header);
  BusRec bus{};
  bus.busType = kBusTypeFireWire;
  const std::string path = "IOService:/pci@f4000000/firewire@e";
  std::memcpy(bus.path, path.data(), path.size());
  image.append(reinterpret_cast<const char*>(&bus), sizeof bus);
  const FireWireDiskRec disk{0x0030e00000a00000, 0, 7};
  image.append(reinterpret_cast<const char*>(&disk), sizeof disk);
  if (damaged) {
    const FireWireDiskRec bad{0, 0, 1};  // a GUID of 0 never belongs in the file
    image.append(reinterpret_cast<const char*>(&bad), sizeof bad);
  }
  EXPECT_TRUE(platform::testing::WriteFile(machine.Resolve(kSavedStatePath), image));
  return image;
}

TEST_F(SpotE2ETest, ADamagedSavedFileIsDiscardedAndAPlausibleOneTaken) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  const std::string firewire = ReadMedia(machine).whole.at({"firewire0", 0});
  for (bool damaged : {false, true, false}) {
    SCOPED_TRACE(damaged ? "damaged" : "plausible");
    SavedFileGivingSeven(machine, damaged);
    auto spot = StartSpot(machine);
    EXPECT_EQ(FireWireIdOf(ReadStartup(*spot, machine), firewire), damaged ? 0u : 7u);
    Stop(*spot);
  }
  // Garbage is discarded just the same, and replaced by a good file.
  ASSERT_TRUE(platform::testing::WriteFile(machine.Resolve(kSavedStatePath),
                                           std::string(600, '\xFF')));
  auto spot = StartSpot(machine);
  EXPECT_EQ(FireWireIdOf(ReadStartup(*spot, machine), firewire), 0u);
  Stop(*spot);
  EXPECT_EQ(platform::testing::ReadFile(machine.Resolve(kSavedStatePath)).size(),
            8 + 5 * sizeof(BusRec) + sizeof(FireWireDiskRec));
}

TEST_F(SpotE2ETest, ALinkPlantedAtTheSavedFileIsNeitherFollowedNorOverwritten) {
  TestMachine machine;
  ASSERT_TRUE(machine.up());
  platform::testing::TempDir elsewhere;
  const std::string victim = elsewhere.Sub("precious");
  ASSERT_TRUE(platform::testing::WriteFile(victim, "keep me"));
  const std::string saved = machine.Resolve(kSavedStatePath);
  ASSERT_EQ(::symlink(victim.c_str(), saved.c_str()), 0);

  auto spot = StartSpot(machine);
  EXPECT_FALSE(ReadStartup(*spot, machine).empty());
  Stop(*spot);
  EXPECT_EQ(platform::testing::ReadFile(victim), "keep me");
  struct stat st {};
  ASSERT_EQ(::lstat(saved.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link gave way to the watcher's own file";
}

TEST_F(SpotE2ETest, WithoutADaemonTheWatcherEndsWithOneAndWritesNothing) {
  TestMachineOptions options;
  options.start = false;
  TestMachine machine(options);
  auto spot = StartSpot(machine);
  const Ending ending = spot->Wait(kWait);
  ASSERT_FALSE(ending.timed_out);
  EXPECT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 1);
  EXPECT_FALSE(spot->Next(0).has_value()) << "no record";
  EXPECT_EQ(spot->ErrorOutput(), "");
}

}  // namespace
