#include "spot/object_id_tracker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "platform/testing/temp_dir.h"
#include "spot/testing/notifying_registry.h"

namespace {

using platform::Property;
using platform::RegistryEntry;
using platform::testing::ReadFile;
using platform::testing::WriteFile;

BusRec MakeBus(BusType type, uint32_t number, const std::string& path) {
  BusRec bus{};
  bus.busType = type;
  bus.busNumber = number;
  std::memcpy(bus.path, path.data(), std::min(path.size(), sizeof bus.path));
  return bus;
}

// A saved-state image as the tracker writes it.
std::string Image(const std::vector<BusRec>& buses, const std::vector<FireWireDiskRec>& disks) {
  SavedStateHeader header{static_cast<uint32_t>(buses.size()),
                          static_cast<uint32_t>(disks.size())};
  std::string image(reinterpret_cast<const char*>(&header), sizeof header);
  for (const BusRec& bus : buses) image.append(reinterpret_cast<const char*>(&bus), sizeof bus);
  for (const FireWireDiskRec& disk : disks) {
    image.append(reinterpret_cast<const char*>(&disk), sizeof disk);
  }
  return image;
}

// A machine: a platform entry with buses below it, as the service plane shows them.
class TrackerTest : public ::testing::Test {
 protected:
  TrackerTest() {
    host_.SetRegistry(&registry_);
    platform_ = registry_.Add({}, "IOPlatformExpertDevice", "PowerMac3,6");
    pci_ = registry_.Add(platform_, "IOPCIBridge", "pci@f2000000");
  }

  RegistryEntry Bus(RegistryEntry parent, const std::string& name, const std::string& type) {
    return registry_.Add(parent, "IOService", name, {{"device_type", Property::String(type)}});
  }
  RegistryEntry Channel(RegistryEntry controller, const std::string& name, int channel) {
    return registry_.Add(controller, "IOATAController", name,
                         {{"Channel", Property::Integer(channel)}});
  }
  RegistryEntry Disk(RegistryEntry parent, const std::string& name) {
    return registry_.Add(parent, "IOBlockStorageDevice", name);
  }
  std::string PathOf(RegistryEntry entry) {
    return registry_.GetPath(entry, platform::Plane::kService).value_or("");
  }
  // The bus number the tracker gives the bus of `type` above `entry`; -1 for none.
  static int64_t NumberAbove(TObjectIDTracker& tracker, BusType type, RegistryEntry entry) {
    uint32_t number = 99;
    if (!tracker.FindBusID(type, entry, &number)) {
      EXPECT_EQ(number, 0u) << "a miss stores 0";
      return -1;
    }
    return number;
  }
  std::string SavedPath() { return host_.Resolve(kSavedStatePath); }

  platform::testing::FakeHost host_;
  spot_testing::NotifyingRegistry registry_;
  RegistryEntry platform_, pci_;
};

TEST_F(TrackerTest, FirstStartNumbersEachBusTypeFromZeroInRegistryOrder) {
  const RegistryEntry ata0 = Bus(pci_, "ata-4@1f000", "ata");
  const RegistryEntry scsi = Bus(pci_, "pci1000,f@4", "scsi-2");
  const RegistryEntry ata1 = Bus(pci_, "ata-6@d", "ata");
  // device_type may also be data, as the firmware stores it.
  const RegistryEntry firewire = registry_.Add(
      pci_, "IOService", "firewire@e", {{"device_type", Property::Data("ieee1394\0", 9)}});
  const RegistryEntry usb = Bus(pci_, "usb@18", "usb");
  const RegistryEntry sata = Bus(pci_, "k2-sata-root@c", "k2-sata-root");
  const RegistryEntry nothing = Bus(pci_, "mac-io@17", "mac-io");

  TObjectIDTracker tracker;
  ASSERT_EQ(tracker.Initialize(), 0);

  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(ata0, "disk@0")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(ata1, "disk@0")), 1);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeSCSI, Disk(scsi, "disk@2")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeFireWire, Disk(firewire, "node@0")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeUSB, Disk(usb, "hub@1")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(sata, "disk@0")), -1) << "k2-sata is no bus";
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, nothing), -1);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeSCSI, Disk(ata0, "disk@1")), -1) << "type must match";
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, ata1), 1) << "the bus itself is on the bus";

  ASSERT_EQ(tracker.ReturnBusCount(), 5u);
  EXPECT_EQ(FieldText(tracker.ReturnBusRecords()[0].path), PathOf(ata0));
  EXPECT_EQ(tracker.ReturnNextBusNumber(kBusTypeATA), 2u);
  EXPECT_EQ(tracker.ReturnNextBusNumber(kBusTypeSCSI), 1u);
}

TEST_F(TrackerTest, AnObjectIsOnABusOnlyWhenItsPathContinuesWithASlash) {
  const RegistryEntry bus = Bus(pci_, "ata@1", "ata");
  const RegistryEntry sibling = registry_.Add(pci_, "IOService", "ata@10");  // no device_type
  TObjectIDTracker tracker;
  ASSERT_EQ(tracker.Initialize(), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(bus, "disk@0")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(sibling, "disk@0")), -1);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, sibling), -1);
}

TEST_F(TrackerTest, ControllerChannelsBecomeBusesAndLaterBusesMoveUp) {
  const RegistryEntry first = Bus(pci_, "ata-6@d", "ata");
  const RegistryEntry ch0 = Channel(first, "AppleKauaiATA@0", 0);
  const RegistryEntry ch1 = Channel(first, "AppleKauaiATA@1", 1);
  const RegistryEntry second = Bus(pci_, "ata-4@1f000", "ata");
  const RegistryEntry scsi = Bus(pci_, "scsi@4", "scsi");

  TObjectIDTracker tracker;
  ASSERT_EQ(tracker.Initialize(), 0);

  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(ch0, "disk@0")), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(ch1, "disk@0")), 1);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(second, "disk@0")), 2);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeSCSI, Disk(scsi, "disk@0")), 0) << "other types stay";
  EXPECT_EQ(tracker.ReturnNextBusNumber(kBusTypeATA), 3u);

  ASSERT_EQ(tracker.ReturnBusCount(), 4u);
  const BusRec* buses = tracker.ReturnBusRecords();
  EXPECT_EQ(FieldText(buses[0].path), PathOf(ch0)) << "the controller takes its first channel";
  EXPECT_EQ(FieldText(buses[1].path), PathOf(ch1)) << "further channels follow it";
  EXPECT_EQ(FieldText(buses[2].path), PathOf(second));
}

TEST_F(TrackerTest, TwoMultiChannelControllersAreNumberedInOrder) {
  const RegistryEntry a = Bus(pci_, "ata-a", "ata");
  const RegistryEntry a0 = Channel(a, "chan@0", 0);
  const RegistryEntry a1 = Channel(a, "chan@1", 1);
  const RegistryEntry b = Bus(pci_, "ata-b", "ata");
  const RegistryEntry b0 = Channel(b, "chan@0", 0);
  const RegistryEntry b1 = Channel(b, "chan@1", 1);
  const RegistryEntry b2 = Channel(b, "chan@2", 2);

  TObjectIDTracker tracker;
  ASSERT_EQ(tracker.Initialize(), 0);
  const RegistryEntry channels[] = {a0, a1, b0, b1, b2};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, Disk(channels[i], "disk@0")), i);
  }
  EXPECT_EQ(tracker.ReturnNextBusNumber(kBusTypeATA), 5u);
}

TEST_F(TrackerTest, FireWireDiskNumbersArePerBusAndStable) {
  TObjectIDTracker tracker;
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0xA, 0), 0u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0xB, 0), 1u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0xA, 0), 0u) << "a disk seen again keeps its number";
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0xA, 1), 0u) << "the same GUID on another bus";
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0xC, 1), 1u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0, 0), 2u) << "a disk without GUID still gets one";
  EXPECT_EQ(tracker.ReturnFireWireDiskCount(), 5u);
  tracker.DiscardTables();
}

TEST_F(TrackerTest, RestartKeepsBusAndFireWireDiskNumbers) {
  const RegistryEntry ata_a = Bus(pci_, "ata-a", "ata");
  const RegistryEntry a0 = Channel(ata_a, "chan@0", 0);
  const RegistryEntry a1 = Channel(ata_a, "chan@1", 1);
  const RegistryEntry firewire = Bus(pci_, "firewire@e", "ieee1394");
  {
    TObjectIDTracker tracker;
    ASSERT_EQ(tracker.Initialize(), 0);
    EXPECT_EQ(tracker.ReturnFireWireDiskID(0x0030650000AAAA01, 0), 0u);
    EXPECT_EQ(tracker.ReturnFireWireDiskID(0x0030650000AAAA02, 0), 1u);
    EXPECT_EQ(tracker.ReturnFireWireDiskID(0, 0), 2u);
  }
  // The next start finds a new ATA bus ahead of the known ones in registry order.
  spot_testing::NotifyingRegistry later;
  host_.SetRegistry(&later);
  const RegistryEntry platform = later.Add({}, "IOPlatformExpertDevice", "PowerMac3,6");
  const RegistryEntry pci = later.Add(platform, "IOPCIBridge", "pci@f2000000");
  const RegistryEntry ata_new = later.Add(pci, "IOService", "ata-0new",
                                          {{"device_type", Property::String("ata")}});
  const RegistryEntry ata_a2 =
      later.Add(pci, "IOService", "ata-a", {{"device_type", Property::String("ata")}});
  later.Add(ata_a2, "IOATAController", "chan@0", {{"Channel", Property::Integer(0)}});
  const RegistryEntry a1_again =
      later.Add(ata_a2, "IOATAController", "chan@1", {{"Channel", Property::Integer(1)}});
  const RegistryEntry firewire2 =
      later.Add(pci, "IOService", "firewire@e", {{"device_type", Property::String("ieee1394")}});
  (void)a0;
  (void)a1;
  (void)firewire;

  TObjectIDTracker tracker;
  ASSERT_EQ(tracker.Initialize(), 0);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, later.Add(a1_again, "IOService", "disk@0")), 1);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeATA, later.Add(ata_new, "IOService", "disk@0")), 2);
  EXPECT_EQ(NumberAbove(tracker, kBusTypeFireWire, later.Add(firewire2, "IOService", "n")), 0);
  EXPECT_EQ(tracker.ReturnBusCount(), 4u)
      << "the split controller is known through its channels, not added again";
  EXPECT_EQ(tracker.ReturnNextBusNumber(kBusTypeATA), 3u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0x0030650000AAAA02, 0), 1u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0x0030650000AAAA01, 0), 0u);
  EXPECT_EQ(tracker.ReturnFireWireDiskID(0x0030650000AAAA03, 0), 2u);
}

TEST_F(TrackerTest, SavedFileHasTheGivenLayoutAndModeAndLeavesOutGUIDZero) {
  const RegistryEntry scsi = Bus(pci_, "scsi@4", "scsi");
  const RegistryEntry ata = Bus(pci_, "ata@d", "ata");
  {
    TObjectIDTracker tracker;
    ASSERT_EQ(tracker.Initialize(), 0);
    tracker.ReturnFireWireDiskID(0, 0);
    tracker.ReturnFireWireDiskID(0x1122334455667788, 0);
  }
  const std::string expected =
      Image({MakeBus(kBusTypeSCSI, 0, PathOf(scsi)), MakeBus(kBusTypeATA, 0, PathOf(ata))},
            {FireWireDiskRec{0x1122334455667788, 0, 1}});
  EXPECT_EQ(ReadFile(SavedPath()), expected);
  struct stat st {};
  ASSERT_EQ(::lstat(SavedPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(TrackerTest, NothingIsSavedWithoutTables) {
  { TObjectIDTracker tracker; ASSERT_EQ(tracker.Initialize(), 0); }
  EXPECT_NE(::access(SavedPath().c_str(), F_OK), 0);
}

TEST_F(TrackerTest, InitializeFailsWhenTheRegistryCannotBeWalked) {
  registry_.FailIterators();
  TObjectIDTracker tracker;
  EXPECT_EQ(tracker.Initialize(), 1);
}

// Saved files that must be discarded completely. The registry has ATA buses a and b;
// the saved file numbers them the other way round and records a FireWire disk with
// number 5, so a file that was taken shows b = 0, a = 1 and disk 5.
class SavedFileTest : public TrackerTest {
 protected:
  SavedFileTest() {
    a_ = Bus(pci_, "ata-a", "ata");
    b_ = Bus(pci_, "ata-b", "ata");
  }
  std::vector<BusRec> Buses() {
    return {MakeBus(kBusTypeATA, 1, PathOf(a_)), MakeBus(kBusTypeATA, 0, PathOf(b_))};
  }
  std::vector<FireWireDiskRec> Disks() { return {FireWireDiskRec{0xFEED, 0, 5}}; }
  // Whether a tracker started now took the saved file.
  bool TookSavedFile() {
    TObjectIDTracker tracker;
    EXPECT_EQ(tracker.Initialize(), 0);
    const int64_t a = NumberAbove(tracker, kBusTypeATA, a_);
    const int64_t b = NumberAbove(tracker, kBusTypeATA, b_);
    const uint32_t disk = tracker.ReturnFireWireDiskID(0xFEED, 0);
    tracker.DiscardTables();  // leave the file for the test to look at
    if (a == 1 && b == 0 && disk == 5) return true;
    EXPECT_TRUE(a == 0 && b == 1 && disk == 0) << "a discarded file leaves nothing behind";
    return false;
  }
  RegistryEntry a_, b_;
};

TEST_F(SavedFileTest, APlausibleFileIsTaken) {
  ASSERT_TRUE(WriteFile(SavedPath(), Image(Buses(), Disks())));
  EXPECT_TRUE(TookSavedFile());
}

TEST_F(SavedFileTest, ThirtyOneBusesAreTakenAndThirtyTwoDiscarded) {
  for (uint32_t count : {31u, 32u}) {
    std::vector<BusRec> buses = Buses();
    for (uint32_t n = 0; buses.size() < count; ++n) {
      buses.push_back(MakeBus(kBusTypeUSB, n, "IOService:/usb" + std::to_string(n)));
    }
    ASSERT_TRUE(WriteFile(SavedPath(), Image(buses, Disks())));
    EXPECT_EQ(TookSavedFile(), count == 31) << count;
  }
}

TEST_F(SavedFileTest, DamagedOrImplausibleFilesAreDiscarded) {
  struct Case {
    const char* name;
    std::function<std::string(std::vector<BusRec>&, std::vector<FireWireDiskRec>&)> make;
  };
  const Case cases[] = {
      {"empty", [](auto&, auto&) { return std::string(); }},
      {"header cut", [](auto& b, auto& d) { return Image(b, d).substr(0, 6); }},
      {"record cut", [](auto& b, auto& d) { return Image(b, d).substr(0, 8 + 520 + 100); }},
      {"last byte missing", [](auto& b, auto& d) { auto i = Image(b, d); i.pop_back(); return i; }},
      {"bytes after the records", [](auto& b, auto& d) { return Image(b, d) + "x"; }},
      {"1024 FireWire disks",
       [](auto& b, auto& d) {
         for (uint32_t n = 1; d.size() < 1024; ++n) d.push_back(FireWireDiskRec{0x100 + n, 1, n});
         return Image(b, d);
       }},
      {"counts beyond the data",
       [](auto& b, auto& d) {
         std::string i = Image(b, d);
         const uint32_t huge = 0xFFFFFFFF;
         std::memcpy(&i[0], &huge, 4);
         return i;
       }},
      {"bus number 33", [](auto& b, auto& d) { b[0].busNumber = 33; return Image(b, d); }},
      {"bus type 5", [](auto& b, auto& d) { b[0].busType = 5; return Image(b, d); }},
      {"two buses with one number",
       [](auto& b, auto& d) { b[0].busNumber = 0; return Image(b, d); }},
      {"a gap in the numbers", [](auto& b, auto& d) { b[0].busNumber = 2; return Image(b, d); }},
      {"a bus without path",
       [](auto& b, auto& d) { std::memset(b[0].path, 0, sizeof b[0].path); return Image(b, d); }},
      {"FireWire GUID 0", [](auto& b, auto& d) { d[0].guid = 0; return Image(b, d); }},
      {"FireWire disk number that would wrap",
       [](auto& b, auto& d) { d[0].diskNumber = 0xFFFFFFFF; return Image(b, d); }},
      {"FireWire bus number 33", [](auto& b, auto& d) { d[0].busNumber = 33; return Image(b, d); }},
  };
  for (const Case& c : cases) {
    std::vector<BusRec> buses = Buses();
    std::vector<FireWireDiskRec> disks = Disks();
    ASSERT_TRUE(WriteFile(SavedPath(), c.make(buses, disks)));
    EXPECT_FALSE(TookSavedFile()) << c.name;
  }
}

TEST_F(SavedFileTest, ALinkAtThePathIsNeitherFollowedNorOverwritten) {
  platform::testing::TempDir elsewhere;
  const std::string victim = elsewhere.Sub("victim");
  const std::string plausible = Image(Buses(), Disks());
  ASSERT_TRUE(WriteFile(victim, plausible));
  ASSERT_EQ(::symlink(victim.c_str(), SavedPath().c_str()), 0);

  { TObjectIDTracker tracker; ASSERT_EQ(tracker.Initialize(), 0); }

  EXPECT_EQ(ReadFile(victim), plausible) << "the link's target is untouched";
  struct stat st {};
  ASSERT_EQ(::lstat(SavedPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link was replaced by a file of our own";
  EXPECT_EQ(ReadFile(SavedPath()),
            Image({MakeBus(kBusTypeATA, 0, PathOf(a_)), MakeBus(kBusTypeATA, 1, PathOf(b_))}, {}));
}

TEST_F(SavedFileTest, NonRegularFilesAtThePathCountAsMissing) {
  ASSERT_EQ(::mkfifo(SavedPath().c_str(), 0600), 0);
  EXPECT_FALSE(TookSavedFile()) << "and opening the FIFO did not hang";
  ASSERT_EQ(::unlink(SavedPath().c_str()), 0);

  ASSERT_EQ(::mkdir(SavedPath().c_str(), 0700), 0);
  { TObjectIDTracker tracker; ASSERT_EQ(tracker.Initialize(), 0); }
  struct stat st {};
  ASSERT_EQ(::lstat(SavedPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a folder in the way is left alone";
  // No temporary file was left beside it.
  int leftovers = 0;
  const std::string tmp = host_.Resolve("/tmp");
  for (const auto& entry : std::filesystem::directory_iterator(tmp)) {
    if (entry.path().filename() != "Mirovane.tmp") ++leftovers;
  }
  EXPECT_EQ(leftovers, 0);
}

TEST_F(SavedFileTest, AFileOfAnotherUserIsNotTaken) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_TRUE(WriteFile(SavedPath(), Image(Buses(), Disks())));
  ASSERT_EQ(::chown(SavedPath().c_str(), 12345, 12345), 0);
  EXPECT_FALSE(TookSavedFile());
}

}  // namespace
