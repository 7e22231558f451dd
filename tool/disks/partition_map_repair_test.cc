// An interrupted change as readers that know nothing of the undo record see it
// (they take the live entries and the status copy with the newer sequence
// number), and how the next read-write open puts the disk back.

#include <gtest/gtest.h>

#include <functional>

#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"
#include "tool/disks/testing/plain_reader.h"

namespace mv_test {
namespace {

// Block 0, the 64-block map and the 54-block status partition of a fresh disk:
// every write of a volume change lands in them.
constexpr size_t kLayoutBytes = (1 + 64 + 54) * 512;
constexpr uint64_t kRecordHeaderOffset = 64 * 512;  // last block of the map partition

class RepairTest : public MapFixture {
 protected:
  // Volumes 2 and 3 after a freed gap: deleting 2 merges three entries into one,
  // so the entries after it, and their status records, move down.
  void MakeDiskWithGapBeforeVolume2() {
    Initialize();
    ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
    ASSERT_EQ(CarveVolume(2, 2 * kMiB), 0);
    ASSERT_EQ(CarveVolume(3, 2 * kMiB), 0);
    ASSERT_EQ(DeleteVolume(1), 0);
  }

  // Runs `change` and crashes the machine right after the working status copy's
  // header sector has landed: that copy is then the newer one, while the live
  // entries are still the old ones. Returns the layout the change makes.
  LayoutView InterruptAfterStatusHeader(const std::function<MapResult()>& change) {
    const std::string before = ReadBytes(0, kLayoutBytes);
    const uint64_t statusOffset = ReadAsPlainReader(image()).statusOffset;
    const size_t first = devices_.write_log().size();
    EXPECT_EQ(change(), 0);
    const LayoutView fresh = Snapshot();
    const auto log = devices_.write_log();
    size_t lastStatusWrite = 0;
    for (size_t i = first; i < log.size(); ++i) {
      const auto offset = static_cast<uint64_t>(log[i].offset);
      if (offset >= statusOffset && offset < statusOffset + 54 * 512) {
        lastStatusWrite = i - first + 1;
      }
    }
    EXPECT_GT(lastStatusWrite, 0u);
    WriteBytes(0, before);

    const int lost = devices_.writes_lost();
    devices_.CrashAfterWrite(devices_.writes() + static_cast<int>(lastStatusWrite));
    (void)change();  // the machine is gone; only the disk counts
    devices_.ClearFaults();
    EXPECT_GT(devices_.writes_lost(), lost);
    return fresh;
  }

  MapResult OpenAndReadWith(bool readOnly, TPartitionMap* map) {
    MapResult r = map->Open(readOnly);
    if (r == 0) r = map->Read(false);
    return r;
  }

  // Sets the sequence number of status copy `copy` (0 = A, 1 = B) on the disk.
  void SetSequence(uint64_t statusOffset, int copy, uint32_t sequence) {
    const std::string bytes = {static_cast<char>(sequence >> 24), static_cast<char>(sequence >> 16),
                               static_cast<char>(sequence >> 8), static_cast<char>(sequence)};
    WriteBytes(statusOffset + (copy == 0 ? kStatusCopyAOffset : kStatusCopyBOffset) + 4, bytes);
  }
};

TEST_F(RepairTest, PlainReadersSeeTheMixtureUntilAReadWriteOpenPutsTheOldLayoutBack) {
  MakeDiskWithGapBeforeVolume2();
  const LayoutView old = Snapshot();
  InterruptAfterStatusHeader([this] { return DeleteVolume(2); });
  const PlainView mixed = ReadAsPlainReader(image());
  // What the repair is for: the old entries beside the new status records.
  EXPECT_EQ(mixed.layout.entries, old.entries);
  EXPECT_NE(mixed.layout.records, old.records);

  // A read-only open rolls back in memory and writes nothing.
  const int writes = devices_.writes();
  {
    TPartitionMap map(disk_.get(), nullptr);
    ASSERT_EQ(OpenAndReadWith(true, &map), 0);
    EXPECT_TRUE(map.ReturnRolledBack());
    EXPECT_FALSE(map.ReturnRepaired());
  }
  EXPECT_EQ(devices_.writes(), writes);
  EXPECT_EQ(ReadAsPlainReader(image()).layout, mixed.layout);

  {
    TPartitionMap map(disk_.get(), nullptr);
    ASSERT_EQ(OpenAndReadWith(false, &map), 0);
    EXPECT_TRUE(map.ReturnRolledBack());
    EXPECT_TRUE(map.ReturnRepaired());
  }
  const PlainView repaired = ReadAsPlainReader(image());
  EXPECT_EQ(repaired.layout, AsPlain(old));
  // The interrupted copy's slot now holds the old records, numbered past it.
  EXPECT_EQ(repaired.statusCopy, mixed.statusCopy);
  EXPECT_EQ(repaired.sequence, mixed.sequence + 1);
  // The record is gone: the map partition past the entries is blank.
  const size_t liveEnd = 512 * (1 + old.entries.size());
  EXPECT_EQ(ReadBytes(liveEnd, kRecordHeaderOffset + 512 - liveEnd),
            std::string(kRecordHeaderOffset + 512 - liveEnd, '\0'));
  EXPECT_EQ(Snapshot(), old);
  EXPECT_FALSE(last_snapshot_rolled_back);
}

TEST_F(RepairTest, RepairedCopyWinsWhateverTheSequenceNumbers) {
  struct Case {
    uint32_t base;      // sequence number of the current copy before the change
    uint32_t repaired;  // the one the repair gives the interrupted copy's slot
  };
  // One past the interrupted copy (base + 1) where that still wins over the base
  // copy; at the wrap-around, one past the base copy.
  const Case cases[] = {{5, 7},
                        {0, 2},
                        {0xFFFFFFFD, 0xFFFFFFFF},
                        {0xFFFFFFFE, 0xFFFFFFFF},
                        {0xFFFFFFFF, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("base sequence " + std::to_string(c.base));
    MakeImage(64 * kMiB);
    Initialize();
    ASSERT_EQ(CarveVolume(1, 2 * kMiB), 0);
    const PlainView start = ReadAsPlainReader(image());
    SetSequence(start.statusOffset, start.statusCopy, c.base);
    SetSequence(start.statusOffset, 1 - start.statusCopy, c.base - 1);
    ASSERT_EQ(ReadAsPlainReader(image()).statusCopy, start.statusCopy);
    const LayoutView old = Snapshot();

    InterruptAfterStatusHeader([this] { return CarveVolume(2, 3 * kMiB); });
    const PlainView mixed = ReadAsPlainReader(image());
    ASSERT_NE(mixed.statusCopy, start.statusCopy);
    ASSERT_EQ(mixed.sequence, c.base + 1);

    TPartitionMap map(disk_.get(), nullptr);
    ASSERT_EQ(OpenAndReadWith(false, &map), 0);
    EXPECT_TRUE(map.ReturnRepaired());
    map.Close();
    const PlainView repaired = ReadAsPlainReader(image());
    EXPECT_EQ(repaired.layout, AsPlain(old));
    EXPECT_EQ(repaired.statusCopy, mixed.statusCopy);
    EXPECT_EQ(repaired.sequence, c.repaired);

    // The next change goes to the other copy and wins over the repaired one.
    ASSERT_EQ(CarveVolume(2, 3 * kMiB), 0);
    const LayoutView fresh = Snapshot();
    ASSERT_EQ(fresh.records.size(), 2u);
    const PlainView after = ReadAsPlainReader(image());
    EXPECT_EQ(after.layout, AsPlain(fresh));
    EXPECT_EQ(after.statusCopy, start.statusCopy);
  }
}

TEST_F(RepairTest, ChangeAfterARepairLeavesTheCurrentCopyAloneUntilItsHeaderLands) {
  MakeDiskWithGapBeforeVolume2();
  InterruptAfterStatusHeader([this] { return DeleteVolume(2); });
  const std::string interrupted = ReadBytes(0, kLayoutBytes);
  const VolumePartitionStatusRec record = Record(9, 1 * kMiB);
  // Repair and change on one object, stopping after `repairWrites` writes when
  // given.
  int repairWrites = 0;
  PlainView repaired;
  const auto repairAndChange = [&](bool dryRun) {
    TPartitionMap map(disk_.get(), nullptr);
    const int start = devices_.writes();
    MapResult r = OpenAndReadWith(false, &map);
    if (dryRun) {
      EXPECT_EQ(r, 0);
      EXPECT_TRUE(map.ReturnRepaired());
      repairWrites = devices_.writes() - start;
      repaired = ReadAsPlainReader(image());
    }
    if (r == 0) r = map.AddVolumePartition(&record, true);
    if (r == 0) r = map.Write(nullptr, nullptr, 0);
    return r;
  };
  const int before = devices_.writes();
  ASSERT_EQ(repairAndChange(true), 0);
  const int changeWrites = devices_.writes() - before - repairWrites;
  ASSERT_GT(repairWrites, 1) << "the repair is expected to rewrite the status copy";
  ASSERT_GT(changeWrites, 2);

  for (int n = 0; n < changeWrites; ++n) {
    SCOPED_TRACE("crash after change write " + std::to_string(n));
    WriteBytes(0, interrupted);
    devices_.CrashAfterWrite(devices_.writes() + repairWrites + n);
    (void)repairAndChange(false);
    devices_.ClearFaults();
    const PlainView now = ReadAsPlainReader(image());
    if (now.statusCopy == repaired.statusCopy) {
      EXPECT_EQ(now.sequence, repaired.sequence);
      EXPECT_EQ(now.layout.records, repaired.layout.records);
    }
  }
}

}  // namespace
}  // namespace mv_test
