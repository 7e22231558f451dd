// The preparation steps of taking over a foreign disk: checks, room for the status
// partition, cleaning, removal of driver partitions, and the status partition.

#include <gtest/gtest.h>

#include <cstring>

#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"

namespace mv_test {
namespace {

class ConvertTest : public MapFixture {
 public:
  struct E {
    uint32_t first, blocks;
    const char* type;
    const char* name;
  };
  // Writes block 0 and a map of `entries` (entry 0 is the map) straight to the image.
  void WriteForeignMap(const std::vector<E>& entries) {
    std::string head(512 * 64, '\0');
    InitializeBlock0Rec(head.data(), image_bytes(), 512);
    for (uint32_t i = 0; i < entries.size(); ++i) {
      auto* e = reinterpret_cast<Partition*>(head.data() + 512 * (1 + i));
      InitializePartitionMapEntry(e, static_cast<uint32_t>(entries.size()), entries[i].first,
                                  uint64_t{entries[i].blocks} * 512, 512, entries[i].name,
                                  entries[i].type);
    }
    WriteBytes(0, head);
  }
  uint32_t Blocks() const { return static_cast<uint32_t>(image_bytes() / 512); }
};

TEST_F(ConvertTest, StatusPartitionGoesToLowestFreeSpaceAndDriversAreRemoved) {
  const uint32_t end = Blocks();
  WriteForeignMap({{1, 63, kTypePartitionMap, "Apple"},
                   {64, 100, "Apple_Driver43", "Macintosh"},
                   {164, 2000, kTypeFree, ""},
                   {2164, 20000, kTypeHFS, "Data"},
                   {22164, end - 22164, kTypeFree, ""}});
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Read(true), 0);
  ASSERT_EQ(map.ReturnDriverType(), kDriverTypeApple);
  disk_->driver_type = kDriverTypeApple;
  ASSERT_EQ(map.Convert(), 0);
  ASSERT_EQ(map.Write(nullptr, nullptr, 0), 0);

  const LayoutView v = Snapshot();
  ASSERT_EQ(v.result, 0) << v;
  EXPECT_EQ(v.driverType, kDriverTypeMirovane);
  EXPECT_EQ(disk_->status_version, 2u);
  // The driver partition and the free space after it merged; the status partition
  // took its low end although the free space at the end of the disk is larger.
  const std::vector<EntryView> expected = {
      {1, 63, kTypePartitionMap, "", 0, 0},  // cleaned: only the essentials kept
      {64, 54, kTypeStatus, "", 54, 0},
      {118, 2046, kTypeFree, "", 0, 0},
      {2164, 20000, kTypeHFS, "Data", 20000, 0x40000033},
      {22164, end - 22164, kTypeFree, "", 0, 0}};
  EXPECT_EQ(v.entries, expected);
}

TEST_F(ConvertTest, FullDiskGivesUpTheEndOfTheMapPartition) {
  const uint32_t end = Blocks();
  WriteForeignMap({{1, 63, kTypePartitionMap, "Apple"}, {64, end - 64, kTypeHFS, "Data"}});
  // Whatever lies in the map partition's tail must be overwritten by the status
  // partition, not by the old map blocks.
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Read(true), 0);
  disk_->driver_type = kDriverTypeApple;
  ASSERT_EQ(map.Convert(), 0);
  EXPECT_EQ(map.ReturnCapacity(), 9u);
  ASSERT_EQ(map.Write(nullptr, nullptr, 0), 0);

  const LayoutView v = Snapshot();
  ASSERT_EQ(v.result, 0) << v;
  EXPECT_EQ(v.driverType, kDriverTypeMirovane);
  ASSERT_EQ(v.entries.size(), 3u);
  EXPECT_EQ(v.entries[0], (EntryView{1, 9, kTypePartitionMap, "", 0, 0}));
  EXPECT_EQ(v.entries[1].first, 10u);
  EXPECT_EQ(v.entries[1].length, 54u);
  EXPECT_EQ(v.entries[1].type, kTypeStatus);
  EXPECT_EQ(v.statusVersion, 2u);  // the status partition was not overwritten
  EXPECT_NE(v.diskID, 0u);
}

TEST_F(ConvertTest, RefusalsChangeNothing) {
  const uint32_t end = Blocks();
  struct Case {
    const char* name;
    std::vector<E> entries;
    int32_t kind;
    MapResult result;
  };
  const std::vector<Case> cases = {
      {"no room for the status partition",
       {{1, 3, kTypePartitionMap, "Apple"}, {4, end - 4, kTypeHFS, "Data"}},
       kDriverTypeApple,
       kMirovaneErrNoSpaceForStatus},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteForeignMap(c.entries);
    const std::string before = ReadBytes(0, 512 * 200);
    TPartitionMap map(disk_.get(), &volumes_);
    ASSERT_EQ(map.Open(false), 0);
    ASSERT_EQ(map.Read(true), 0);
    disk_->driver_type = c.kind;
    EXPECT_EQ(map.Convert(), c.result);
    EXPECT_EQ(ReadBytes(0, 512 * 200), before);
  }
}

TEST_F(ConvertTest, OlderLayoutStripeMadeInPlaceIsRefused) {
  const uint32_t end = Blocks();
  WriteForeignMap({{1, 63, kTypePartitionMap, "Apple"}, {64, end - 64, kTypeOldStripeMember, "S"}});
  std::string entry = ReadBytes(512 * 2, 512);
  entry[81] = 1;  // the in-place flag
  WriteBytes(512 * 2, entry);
  const std::string before = ReadBytes(0, 512 * 200);
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Read(true), 0);
  ASSERT_EQ(map.ReturnDriverType(), kDriverTypeMirovane2);
  disk_->driver_type = kDriverTypeMirovane2;
  EXPECT_EQ(map.Convert(), kMirovaneErrStripeInPlace);
  EXPECT_EQ(ReadBytes(0, 512 * 200), before);
}

TEST_F(ConvertTest, ClassifiesByTheFirstDecisiveType) {
  const uint32_t end = Blocks();
  struct Case {
    const char* name;
    std::vector<const char*> types;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"only Apple types", {kTypeFree, kTypeHFS}, kDriverTypeApple},
      {"a foreign type", {kTypeHFS, "Linux_Swap"}, kDriverTypeOther},
      {"older stripe before a foreign type", {kTypeOldStripeMember, "Linux_Swap"},
       kDriverTypeMirovane2},
      {"foreign type first", {"Linux_Swap", kTypeOldStripeMember}, kDriverTypeOther},
      {"AppleRAID with header at the start", {kTypeHFS, kTypeAppleBootRAID}, kDriverTypeAppleBootRAID},
      {"AppleRAID with header at the end", {kTypeAppleRAID}, kDriverTypeAppleRAID},
      {"version-1 volume", {kTypeFree, kTypeVolumeV1}, kDriverTypeMirovane},
      {"driver partitions only", {"Apple_Driver_ATA", "Apple_Patches"}, kDriverTypeApple},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<E> entries = {{1, 63, kTypePartitionMap, "Apple"}};
    uint32_t first = 64;
    for (const char* type : c.types) {
      entries.push_back({first, 1000, type, ""});
      first += 1000;
    }
    entries.push_back({first, end - first, kTypeFree, ""});
    WriteForeignMap(entries);
    TPartitionMap map(disk_.get(), nullptr);
    ASSERT_EQ(map.Open(true), 0);
    const MapResult r = map.Read(false);
    // A version-1 volume without a status partition is a disk of this system whose
    // status partition is missing.
    EXPECT_EQ(r, c.expected == kDriverTypeMirovane ? kMirovaneErrReadFailed : 0);
    EXPECT_EQ(map.ReturnDriverType(), c.expected);
  }
}

}  // namespace
}  // namespace mv_test
