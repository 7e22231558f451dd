// Component tests of the partition map engine on sparse disk images.

#include "tool/disks/partition_map.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "tool/disks/disk_state.h"
#include "tool/disks/testing/map_fixture.h"

namespace mv_test {
namespace {

class PartitionMapTest : public MapFixture {};

constexpr uint32_t kStatusBlocks = 54;
constexpr uint32_t kScratchBlocks = 20480;
constexpr uint32_t kScratchFirst = 65 + kStatusBlocks;
constexpr uint32_t kFreeFirst = kScratchFirst + kScratchBlocks;

TEST_F(PartitionMapTest, BlankDiskHasNoMap) {
  const LayoutView v = Snapshot();
  EXPECT_EQ(v.result, 0);
  EXPECT_EQ(v.driverType, kDriverTypeNone);
  EXPECT_TRUE(v.entries.empty());
}

// A clock that moves three seconds at every reading and notes the progress value it
// sees then, so the scratch clearing's pacing can be followed pass by pass.
class ProgressWatchingClock : public platform::Clock {
 public:
  explicit ProgressWatchingClock(const uint32_t* progress) : progress_(progress) {}
  double AbsoluteTime() override {
    seen.push_back(*progress_);
    return now_ += 3.0;
  }
  void Sleep(double seconds) override { now_ += seconds; }
  double ToRealSeconds(double) override { return 0; }
  int32_t SecondsFromGMT(double) override { return 0; }
  std::vector<uint32_t> seen;

 private:
  const uint32_t* progress_;
  double now_ = 600000000.0;
};

TEST_F(PartitionMapTest, ScratchClearingRepeatsWholePassesForTenSecondsAndReportsProgress) {
  uint32_t state = 0, progress = 40;
  ProgressWatchingClock clock(&progress);
  host_.SetClock(&clock);
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Create(), 0);
  const int writesBefore = devices_.writes();
  clock.seen.clear();  // Create read the clock for the status area's identifier
  ASSERT_EQ(map.Write(&state, &progress, 50), 0);
  host_.SetClock(&clock_);

  // Readings: the start, then one after each pass at 3, 6, 9 and 12 seconds. Each
  // pass shows the progress of the one before: 3 s of 10 -> 15 % of the span, ...
  EXPECT_EQ(clock.seen, (std::vector<uint32_t>{40, 40, 55, 70, 85}));
  EXPECT_EQ(progress, 90u);
  // Four passes of 10 MiB in 128 KiB pieces, besides block 0, map and status.
  const int scratchWrites = 4 * static_cast<int>(kScratchBlocks * 512 / (128 * 1024));
  EXPECT_GE(devices_.writes() - writesBefore, scratchWrites);
  EXPECT_LT(devices_.writes() - writesBefore, scratchWrites + 16);
}

TEST_F(PartitionMapTest, InitializeWritesTheFreshLayout) {
  // Junk in the middle of the future scratch partition must be zeroed.
  WriteBytes(uint64_t{kScratchFirst} * 512 + 5 * kMiB, std::string(4096, '\xEE'));
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Create(), 0);
  uint32_t state = 0, progress = 40;
  ASSERT_EQ(map.Write(&state, &progress, 50), 0);
  EXPECT_EQ(state, kDiskClearingScratch);
  EXPECT_EQ(progress, 90u);
  EXPECT_EQ(disk_->status_version, 2u);

  const uint32_t total = static_cast<uint32_t>(image_bytes() / 512);
  const LayoutView v = Snapshot();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(v.driverType, kDriverTypeMirovane);
  EXPECT_EQ(v.blockSize, 512u);
  const std::vector<EntryView> expected = {
      {1, 64, kTypePartitionMap, "Apple", 64, 3},
      {65, kStatusBlocks, kTypeStatus, "", kStatusBlocks, 0},
      {kScratchFirst, kScratchBlocks, kTypeScratch, "", kScratchBlocks, 0},
      {kFreeFirst, total - kFreeFirst, kTypeFree, "", 0, 0}};
  EXPECT_EQ(v.entries, expected);
  EXPECT_EQ(v.statusVersion, 2u);
  EXPECT_NE(v.diskID, 0u);
  EXPECT_TRUE(v.records.empty());
  EXPECT_EQ(ReadBytes(uint64_t{kScratchFirst} * 512 + 5 * kMiB, 4096), std::string(4096, '\0'));

  // Block 0 and both status copies as the driver expects them.
  const std::string block0 = ReadBytes(0, 8);
  EXPECT_EQ(block0.substr(0, 4), std::string("ER\x02\x00", 4));
  const uint32_t count = (uint8_t(block0[4]) << 24) | (uint8_t(block0[5]) << 16) |
                         (uint8_t(block0[6]) << 8) | uint8_t(block0[7]);
  EXPECT_EQ(count, total);
  const std::string status = ReadBytes(65 * 512, kStatusPartitionBytes);
  EXPECT_EQ(status.substr(0, 8), std::string("\0\0\0\2\0\0\0\0", 8));
  EXPECT_EQ(status.substr(kStatusCopyBOffset, 8), std::string("\0\0\0\2\0\0\0\1", 8));
  EXPECT_EQ(status.substr(kStatusCopyAOffset + 8, 8), status.substr(kStatusCopyBOffset + 8, 8));
}

TEST_F(PartitionMapTest, InitializeRefusesDiskTooSmallForTheLayout) {
  MakeImage(8 * kMiB);  // no room for the 10 MiB scratch partition
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  EXPECT_EQ(map.Create(), kMirovaneErrWriteFailed);
  EXPECT_EQ(map.Write(nullptr, nullptr, 0), kMirovaneErrNotFound);
  EXPECT_EQ(Snapshot().driverType, kDriverTypeNone);
}

TEST_F(PartitionMapTest, InitializeUsesLargerBlocksForLargeSectors) {
  MakeImage(64 * kMiB);
  disk_ = std::make_unique<FakeDisk>(kDevice, 64 * kMiB, 2048);
  Initialize();
  const LayoutView v = Snapshot();
  ASSERT_EQ(v.result, 0);
  EXPECT_EQ(v.blockSize, 2048u);
  ASSERT_EQ(v.entries.size(), 4u);
  EXPECT_EQ(v.entries[1].length, 14u);   // 27648 rounded up to 2048-byte blocks
  EXPECT_EQ(v.entries[2].length, 5120u);
}

TEST_F(PartitionMapTest, CarvingPicksBestFitAndSplitsAtTheLowEnd) {
  Initialize();
  // Free space: 10, 20 MiB holes between volumes, and no tail.
  ASSERT_EQ(CarveVolume(1, 10 * kMiB), 0);
  ASSERT_EQ(CarveVolume(2, 1 * kMiB), 0);
  ASSERT_EQ(CarveVolume(3, 20 * kMiB), 0);
  ASSERT_EQ(CarveVolume(4, 1 * kMiB), 0);
  {
    auto map = OpenAndRead();
    ASSERT_EQ(CarveVolume(5, map->ReturnSizeOfLargestFreePartition()), 0);  // exact fit
  }
  ASSERT_EQ(DeleteVolume(1), 0);
  ASSERT_EQ(DeleteVolume(3), 0);
  const LayoutView before = Snapshot();
  const uint32_t hole10 = before.entries[3].first;
  const uint32_t hole20 = before.entries[5].first;
  ASSERT_EQ(before.entries[3].type, kTypeFree);
  ASSERT_EQ(before.entries[5].type, kTypeFree);

  struct Case {
    uint64_t size;
    MapResult result;
    uint32_t first;
  };
  for (const Case& c : std::vector<Case>{{8 * kMiB, 0, hole10},
                                         {15 * kMiB, 0, hole20},
                                         {25 * kMiB, kMirovaneErrNoSpace, 0}}) {
    auto map = OpenAndRead();
    const VolumePartitionStatusRec r = Record(100, c.size);
    ASSERT_EQ(map->AddVolumePartition(&r, true), c.result) << c.size;
    if (c.result != 0) continue;
    map->Sort();
    bool found = false;
    for (uint32_t i = 0; i < map->ReturnEntryCount(); ++i) {
      const Partition& e = *map->GetPartitionMapEntryAtIndex(i);
      if (!PartitionTypeIs(e, kTypeVolume) || e.pmPyPartStart.get() != c.first) continue;
      found = true;
      EXPECT_EQ(uint64_t{e.pmPartBlkCnt.get()} * 512, c.size);
      EXPECT_EQ(e.pmPartStatus.get(), kPartitionStatusVolume);
      EXPECT_EQ(map->StatusRecordAtIndex(i)->volumeID.get(), 100u);
      const Partition& rest = *map->GetPartitionMapEntryAtIndex(i + 1);
      EXPECT_TRUE(PartitionTypeIs(rest, kTypeFree));
      EXPECT_EQ(rest.pmPyPartStart.get(), c.first + e.pmPartBlkCnt.get());
    }
    EXPECT_TRUE(found) << c.size;
    EXPECT_EQ(map->ReturnEntryCount(), before.entries.size() + 1);
  }
}

TEST_F(PartitionMapTest, ExactFitReplacesOnlyTheTypeAndKeepsTheCount) {
  Initialize();
  auto map = OpenAndRead();
  const uint32_t count = map->ReturnEntryCount();
  const Partition freeEntry = *map->GetPartitionMapEntryAtIndex(3);
  const VolumePartitionStatusRec r = Record(7, map->ReturnSizeOfLargestFreePartition());
  ASSERT_EQ(map->AddVolumePartition(&r, false), 0);
  EXPECT_EQ(map->ReturnEntryCount(), count);
  Partition expected = freeEntry;
  SetPartitionType(&expected, kTypeVolume);
  EXPECT_EQ(std::memcmp(map->GetPartitionMapEntryAtIndex(3), &expected, sizeof(expected)), 0);
  EXPECT_EQ(map->ReturnFreeBytes(), 0u);
  ASSERT_EQ(volumes_.added.size(), 1u);
  EXPECT_EQ(volumes_.added[0], 7u);
}

TEST_F(PartitionMapTest, RecordKeepsAskedSizeWhileEntryIsRoundedDown) {
  Initialize();
  ASSERT_EQ(CarveVolume(9, 5 * kMiB + 100), 0);
  const LayoutView v = Snapshot();
  ASSERT_EQ(v.records.size(), 1u);
  EXPECT_EQ(v.records[0].size, 5 * kMiB + 100);
  EXPECT_EQ(uint64_t{v.entries[v.records[0].index].length} * 512, 5 * kMiB);
}

TEST_F(PartitionMapTest, StatusAndScratchGoToLowestPlacedFreeSpace) {
  Initialize();
  ASSERT_EQ(CarveVolume(1, 20 * kMiB), 0);
  ASSERT_EQ(CarveVolume(2, 1 * kMiB), 0);
  ASSERT_EQ(CarveVolume(3, 10 * kMiB), 0);
  ASSERT_EQ(CarveVolume(4, 1 * kMiB), 0);
  ASSERT_EQ(DeleteVolume(1), 0);  // 20 MiB hole, lowest placed
  ASSERT_EQ(DeleteVolume(3), 0);  // 10 MiB hole above it
  auto map = OpenAndRead();
  uint64_t size = 0, offset = 0;
  ASSERT_TRUE(map->CreateNewPartition(8 * kMiB, &size, kTypeScratch, nullptr, &offset));
  EXPECT_EQ(offset, uint64_t{kFreeFirst} * 512);  // not the better-fitting 10 MiB hole
  EXPECT_EQ(size, 8 * kMiB);
  // Too big for the lowest hole: falls back to the best fit.
  ASSERT_TRUE(map->CreateNewPartition(15 * kMiB, &size, kTypeScratch, nullptr, &offset));
  EXPECT_GT(offset, uint64_t{kFreeFirst} * 512 + 20 * kMiB);
}

TEST_F(PartitionMapTest, FullMapStillAllowsExactFitButNoSplit) {
  MakeImage(96 * kMiB);
  Initialize();
  // 4 entries after initialising; every carve adds one until the 64 records are used.
  for (MVUID id = 1; id <= 60; ++id) ASSERT_EQ(CarveVolume(id, 1 * kMiB), 0) << id;
  auto map = OpenAndRead();
  ASSERT_EQ(map->ReturnEntryCount(), 64u);
  const VolumePartitionStatusRec small = Record(99, 1 * kMiB);
  EXPECT_EQ(map->AddVolumePartition(&small, false), kMirovaneErrNoSpace);
  const VolumePartitionStatusRec exact = Record(98, map->ReturnSizeOfLargestFreePartition());
  EXPECT_EQ(map->AddVolumePartition(&exact, false), 0);
  EXPECT_EQ(map->ReturnEntryCount(), 64u);
  ASSERT_EQ(map->Write(nullptr, nullptr, 0), 0);
  EXPECT_EQ(Snapshot().records.size(), 61u);
}

TEST_F(PartitionMapTest, DeleteMergesWithFreeNeighboursOnBothSides) {
  Initialize();
  ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
  ASSERT_EQ(CarveVolume(2, 3 * kMiB), 0);
  ASSERT_EQ(CarveVolume(3, 4 * kMiB), 0);
  ASSERT_EQ(DeleteVolume(1), 0);
  ASSERT_EQ(DeleteVolume(3), 0);  // merges with the free tail
  const LayoutView before = Snapshot();
  ASSERT_EQ(before.entries.size(), 6u);  // map, status, scratch, free, vol 2, free

  auto map = OpenAndRead();
  ASSERT_EQ(map->DeleteVolumePartition(2), 0);
  EXPECT_EQ(map->ReturnEntryCount(), 4u);
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(map->GetPartitionMapEntryAtIndex(i)->pmMapBlkCnt.get(), 4u);
  }
  EXPECT_EQ(map->ReturnWorkingStatus()->header.entryCount.get(), 4u);
  const Partition& merged = *map->GetPartitionMapEntryAtIndex(3);
  EXPECT_TRUE(PartitionTypeIs(merged, kTypeFree));
  EXPECT_EQ(merged.pmPyPartStart.get(), kFreeFirst);
  EXPECT_EQ(uint64_t{merged.pmPartBlkCnt.get()} * 512, image_bytes() - uint64_t{kFreeFirst} * 512);
  EXPECT_EQ(map->ReturnFreeBytes(), map->ReturnSizeOfLargestFreePartition());
  ASSERT_EQ(volumes_.deleted.back(), 2u);
  ASSERT_EQ(map->Write(nullptr, nullptr, 0), 0);
  EXPECT_EQ(Snapshot().entries.size(), 4u);
}

TEST_F(PartitionMapTest, DeleteOfUnknownVolumeChangesNothing) {
  Initialize();
  ASSERT_EQ(CarveVolume(5, 2 * kMiB), 0);
  auto map = OpenAndRead();
  const uint32_t count = map->ReturnEntryCount();
  // 0 is the identifier of every empty record: it must not free the map itself.
  for (MVUID id : {MVUID{6}, MVUID{0}}) {
    EXPECT_EQ(map->DeleteVolumePartition(id), kMirovaneErrNotFound) << id;
    EXPECT_EQ(map->ReturnEntryCount(), count);
  }
  EXPECT_TRUE(PartitionTypeIs(*map->GetPartitionMapEntryAtIndex(0), kTypePartitionMap));
}

TEST_F(PartitionMapTest, SortKeepsStatusRecordsWithTheirEntries) {
  Initialize();
  ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
  ASSERT_EQ(CarveVolume(2, 3 * kMiB), 0);
  ASSERT_EQ(CarveVolume(3, 4 * kMiB), 0);
  const LayoutView sorted = Snapshot();
  auto map = OpenAndRead();
  map->SwapPartitionMapEntries(1, 5);
  map->SwapPartitionMapEntries(3, 6);
  map->SwapPartitionMapEntries(0, 4);
  ASSERT_EQ(map->Write(nullptr, nullptr, 0), 0);
  const LayoutView v = Snapshot();
  EXPECT_EQ(v.entries, sorted.entries);
  EXPECT_EQ(v.records, sorted.records);
  for (const RecordView& r : v.records) {
    EXPECT_EQ(uint64_t{v.entries[r.index].length} * 512, r.size) << r.volumeID;
  }
}

TEST_F(PartitionMapTest, ReadPicksNewerCopyWithWrapAroundAndRenumbersTheOther) {
  Initialize();
  const uint64_t status = 65 * 512;
  struct Case {
    uint32_t a, b;
    bool useA;
  };
  for (const Case& c : std::vector<Case>{{7, 9, false},
                                         {9, 7, true},
                                         {0xFFFFFFFF, 0, false},
                                         {0, 0xFFFFFFFF, true},
                                         {5, 5, false}}) {
    // Copy A names itself "A" in volume 1's record name, copy B "B".
    std::string area = ReadBytes(status, sizeof(StatusArea));
    auto* s = reinterpret_cast<StatusArea*>(area.data());
    s->records[3].volumeID.set(1);
    s->header.sequence.set(c.a);
    CopyTextField(s->records[3].volumeName, 64, "A");
    WriteBytes(status + kStatusCopyAOffset, area);
    s->header.sequence.set(c.b);
    CopyTextField(s->records[3].volumeName, 64, "B");
    WriteBytes(status + kStatusCopyBOffset, area);

    auto map = OpenAndRead(true);
    const StatusArea* w = map->ReturnWorkingStatus();
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->records[3].volumeName, c.useA ? "A" : "B") << c.a << "," << c.b;
    const uint32_t newer = c.useA ? c.a : c.b;
    EXPECT_EQ(w->header.sequence.get(), newer + 1);
    // The working copy is the older slot.
    const auto* base = reinterpret_cast<const uint8_t*>(w);
    const auto* other = reinterpret_cast<const StatusArea*>(c.useA ? base - kStatusCopyBOffset
                                                                   : base + kStatusCopyBOffset);
    EXPECT_STREQ(other->records[3].volumeName, c.useA ? "A" : "B");
    EXPECT_EQ(other->header.sequence.get(), newer);
  }
}

TEST_F(PartitionMapTest, UpdateBringsVersionOneDiskToTheCurrentForm) {
  Initialize();
  ASSERT_EQ(CarveVolume(4, 2 * kMiB), 0);
  // Turn the disk into the older form: version-1 type names and status version 1.
  auto map = OpenAndRead();
  for (uint32_t i = 0; i < map->ReturnEntryCount(); ++i) {
    Partition* e = map->GetPartitionMapEntryAtIndex(i);
    if (PartitionTypeIs(*e, kTypeStatus)) SetPartitionType(e, kTypeStatusV1);
    if (PartitionTypeIs(*e, kTypeVolume)) SetPartitionType(e, kTypeVolumeV1);
    if (PartitionTypeIs(*e, kTypeScratch)) SetPartitionType(e, kTypeScratchV1);
    e->pmDataCnt.set(0);
  }
  const_cast<StatusArea*>(map->ReturnWorkingStatus())->header.version.set(1);
  ASSERT_EQ(map->Write(nullptr, nullptr, 0), 0);
  map.reset();
  const LayoutView v1 = Snapshot();
  ASSERT_EQ(v1.driverType, kDriverTypeMirovane);
  ASSERT_EQ(v1.statusVersion, 1u);

  disk_->driver_type = kDriverTypeApple;
  map = OpenAndRead();
  EXPECT_EQ(map->Update(), kMirovaneErrNotFound);  // not a disk of this system
  disk_->driver_type = kDriverTypeMirovane;
  ASSERT_EQ(map->Update(), 0);
  EXPECT_EQ(disk_->status_version, 2u);
  ASSERT_EQ(map->Write(nullptr, nullptr, 0), 0);
  map.reset();
  const LayoutView v2 = Snapshot();
  EXPECT_EQ(v2.statusVersion, 2u);
  EXPECT_EQ(v2.records, v1.records);
  for (const EntryView& e : v2.entries) {
    EXPECT_EQ(e.type.rfind("Mirovane_", 0), std::string::npos) << e.type;
    if (e.type != kTypeFree) {
      EXPECT_EQ(e.dataLength, e.length) << e.type;
    }
  }
  // A current disk only keeps its version.
  map = OpenAndRead();
  ASSERT_EQ(map->Update(), 0);
  EXPECT_EQ(map->ReturnStatusRecVersion(), 2u);
}

TEST_F(PartitionMapTest, VolumeScanHandsEveryVolumeToTheList) {
  Initialize();
  ASSERT_EQ(CarveVolume(11, 2 * kMiB), 0);
  ASSERT_EQ(CarveVolume(12, 2 * kMiB), 0);
  volumes_.added.clear();
  auto map = OpenAndRead();
  EXPECT_EQ(volumes_.added, (std::vector<MVUID>{11, 12}));
  EXPECT_EQ(map->ReturnNumberPartitions(), 2u);
  PartitionInfoRec info[3];
  std::memset(info, 0xFF, sizeof(info));
  map->FillInPartitionInfoArray(info, 3);
  EXPECT_STREQ(info[0].type, kTypeVolume);
  EXPECT_EQ(info[0].blockCount, 4096u);
  EXPECT_EQ(info[1].firstBlock, info[0].firstBlock + 4096);
  EXPECT_EQ(info[2].firstBlock, 0u);  // zeroed past the volumes
}

TEST_F(PartitionMapTest, OpenRetriesFiveTimesOneSecondApart) {
  struct Case {
    int failures;
    MapResult result;
    int sleeps;
  };
  for (const Case& c : std::vector<Case>{{0, 0, 0}, {4, 0, 4}, {5, kMirovaneErrReadFailed, 4}}) {
    devices_.FailOpens(c.failures);
    clock_.sleeps = 0;
    const int fired = devices_.open_failures_fired();
    TPartitionMap map(disk_.get(), nullptr);
    EXPECT_EQ(map.Open(false), c.result) << c.failures;
    EXPECT_EQ(clock_.sleeps, c.sleeps) << c.failures;
    EXPECT_EQ(devices_.open_failures_fired() - fired, c.failures);
    devices_.FailOpens(0);
  }
  TPartitionMap map(disk_.get(), nullptr);
  ASSERT_EQ(map.Open(false), 0);
  // BSD 0x0A is read-write plus O_APPEND; O_APPEND must not reach a Linux file.
  EXPECT_EQ(devices_.last_linux_flags() & O_ACCMODE, O_RDWR);
  EXPECT_EQ(devices_.last_linux_flags() & O_APPEND, 0);
  devices_.FailOpens(1);
  TPartitionMap readOnly(disk_.get(), nullptr);
  EXPECT_EQ(readOnly.Open(true), kMirovaneErrReadFailed);  // read-only is not retried
}

TEST_F(PartitionMapTest, FailedWriteOrBadReadBackLeavesThePreviousMap) {
  Initialize();
  ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
  const LayoutView old = Snapshot();
  // Faults are placed relative to the counters once the map has been read, so
  // they hit the carve's clearing writes, the writes of Write and its read-backs.
  struct Fault {
    const char* name;
    std::function<void(int)> inject;
    std::function<int()> fired;
  };
  const std::vector<Fault> faults = {
      {"write fails", [&](int n) { devices_.FailWriteAt(devices_.writes() + n); },
       [&] { return devices_.write_failures_fired(); }},
      {"read-back differs", [&](int n) { devices_.CorruptReadBackAt(devices_.reads() + n); },
       [&] { return devices_.corruptions_fired(); }},
      {"read-back fails", [&](int n) { devices_.FailReadAt(devices_.reads() + n); },
       [&] { return devices_.read_failures_fired(); }},
  };
  for (const Fault& f : faults) {
    int n = 1;
    for (;; ++n) {
      const int before = f.fired();
      auto map = OpenAndRead();
      f.inject(n);
      const VolumePartitionStatusRec record = Record(2, 3 * kMiB);
      MapResult r = map->AddVolumePartition(&record, true);
      if (r == 0) r = map->Write(nullptr, nullptr, 0);
      map.reset();
      devices_.ClearFaults();
      if (f.fired() == before) {
        ASSERT_EQ(r, 0);  // past the last write or read of the carve: it went through
        ASSERT_EQ(DeleteVolume(2), 0);
        break;
      }
      EXPECT_TRUE(r == kMirovaneErrWriteFailed || r == kMirovaneErrNoSpace) << f.name << " " << n;
      EXPECT_EQ(Snapshot(), old) << f.name << " " << n;
      // The disk stays usable: a retry succeeds.
      ASSERT_EQ(CarveVolume(2, 3 * kMiB), 0) << f.name << " " << n;
      ASSERT_EQ(DeleteVolume(2), 0);
      ASSERT_EQ(Snapshot().entries, old.entries) << f.name << " " << n;
    }
    EXPECT_GT(n, 5) << f.name;  // the fault really walked through several steps
  }
}

}  // namespace
}  // namespace mv_test
