// The map engine on a running simulated machine: a map written through the
// machine's raw device "/dev/rdisk0" reads back, lands in the disk image, and the
// machine publishes the partitions it describes; after an interrupted change, the
// machine's partition probe follows the live map until the engine's next read-write
// open puts the old layout back.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/host.h"
#include "platform/property.h"
#include "platform/sim/machine_host.h"
#include "sim/testing/test_machine.h"
#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"
#include "tool/disks/testing/plain_reader.h"

namespace mv_test {
namespace {

TEST(PartitionMapE2ETest, MapWrittenThroughTheMachineRawDeviceReadsBack) {
  // Machine seconds pass a hundred times faster: the 10 s scratch pass is short.
  sim::testing::TestMachine machine({.disk_count = 0, .time_scale = 0.01});
  ASSERT_TRUE(machine.up());
  const std::string image = machine.CreateImage("map.img", 64 * kMiB);
  ASSERT_EQ(machine.AttachDisk(image, "ata0", 0), "disk0");
  auto host = machine.NewHost();
  platform::ScopedHost scoped(*host);

  FakeDisk disk("/dev/rdisk0", 64 * kMiB);
  {
    TPartitionMap map(&disk, nullptr);
    ASSERT_EQ(map.Open(false), 0);
    ASSERT_EQ(map.Create(), 0);
    ASSERT_EQ(map.Write(nullptr, nullptr, 0), 0);
  }
  disk.driver_type = kDriverTypeMirovane;
  FakeVolumes volumes;
  {
    TPartitionMap map(&disk, &volumes);
    ASSERT_EQ(map.Open(false), 0);
    ASSERT_EQ(map.Read(true), 0);
    VolumePartitionStatusRec record;
    std::memset(&record, 0, sizeof(record));
    record.volumeID.set(0x77);
    record.partitionSize.set(8 * kMiB);
    ASSERT_EQ(map.AddVolumePartition(&record, true), 0);
    ASSERT_EQ(map.Write(nullptr, nullptr, 0), 0);
  }

  TPartitionMap again(&disk, &volumes);
  ASSERT_EQ(again.Open(true), 0);
  volumes.added.clear();
  ASSERT_EQ(again.Read(true), 0);
  EXPECT_EQ(again.ReturnDriverType(), kDriverTypeMirovane);
  ASSERT_EQ(again.ReturnEntryCount(), 5u);
  EXPECT_EQ(volumes.added, std::vector<MVUID>{0x77});
  const Partition& volume = *again.GetPartitionMapEntryAtIndex(3);
  EXPECT_TRUE(PartitionTypeIs(volume, kTypeVolume));
  EXPECT_EQ(volume.pmPyPartStart.get(), 65u + 54 + 20480);

  // The machine follows the map: entry 3 is published as disk0s4.
  platform::Registry& registry = host->registry();
  const bool published = sim::testing::RunUntil(
      *host,
      [&] {
        platform::RegistryEntry part =
            registry.GetMatchingService(platform::Matching::BSDNameMatching("disk0s4"));
        if (!part) return false;
        auto size = registry.GetProperty(part, "Size");
        return size && size->AsInteger() == static_cast<int64_t>(8 * kMiB);
      },
      10.0);
  EXPECT_TRUE(published) << machine.DaemonLog();
}

class PartitionMapRepairE2ETest : public MapFixture {};

TEST_F(PartitionMapRepairE2ETest, MachineProbeDropsInterruptedVolumeOnceRepairWritesOldMap) {
  // The interrupted change is made here, on fault-injecting devices over the image:
  // carving volume 2 stops just before the undo record is cleared, so the live map
  // and the current status copy are the new layout while the engine reads the old.
  Initialize();
  ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
  const LayoutView old = Snapshot();
  const std::string before = ReadBytes(0, 1 * kMiB);
  const int start = devices_.writes();
  ASSERT_EQ(CarveVolume(2, 3 * kMiB), 0);
  const int changeWrites = devices_.writes() - start;
  const LayoutView fresh = Snapshot();
  WriteBytes(0, before);
  devices_.CrashAfterWrite(devices_.writes() + changeWrites - 1);
  (void)CarveVolume(2, 3 * kMiB);
  devices_.ClearFaults();
  ASSERT_EQ(Snapshot(), old);
  ASSERT_TRUE(last_snapshot_rolled_back);
  ASSERT_EQ(ReadAsPlainReader(image()).layout, AsPlain(fresh));
  size_t volume2 = 0;
  for (size_t i = 0; i < fresh.entries.size(); ++i) {
    const EntryView& e = fresh.entries[i];
    if (e.type == kTypeVolume && e.length == 3 * kMiB / 512) volume2 = i;
  }
  ASSERT_GT(volume2, 0u);
  const std::string bsd = "disk0s" + std::to_string(volume2 + 1);

  sim::testing::TestMachine machine({.disk_count = 0, .time_scale = 0.01});
  ASSERT_TRUE(machine.up());
  ASSERT_EQ(machine.AttachDisk(image(), "ata0", 0), "disk0");
  auto host = machine.NewHost();
  platform::ScopedHost scoped(*host);
  platform::Registry& registry = host->registry();
  const auto published = [&] {
    return static_cast<bool>(
        registry.GetMatchingService(platform::Matching::BSDNameMatching(bsd)));
  };
  // The probe reads the live map: the interrupted volume is there.
  EXPECT_TRUE(sim::testing::RunUntil(*host, published, 10.0)) << machine.DaemonLog();

  FakeDisk disk("/dev/rdisk0", image_bytes());
  TPartitionMap map(&disk, nullptr);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Read(false), 0);
  EXPECT_TRUE(map.ReturnRepaired());
  map.Close();
  EXPECT_TRUE(sim::testing::RunUntil(*host, [&] { return !published(); }, 10.0))
      << machine.DaemonLog();
  EXPECT_EQ(ReadAsPlainReader(image()).layout, AsPlain(old));
}

}  // namespace
}  // namespace mv_test
