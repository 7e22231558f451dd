// Damaged maps: each is refused cleanly (no map, or kMirovaneErrReadFailed), leaves
// nothing to edit or write, and is never read or written past its buffers or the
// end of the disk.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"

namespace mv_test {
namespace {

constexpr uint64_t kImage = 16 * kMiB;
constexpr uint64_t kPrefix = 1 * kMiB;
constexpr uint32_t kEntries = 4;  // map, status, scratch, free after initialising

class RefusalTest : public MapFixture {
 public:
  // The fresh map's image, edited by `edit`, then written back.
  void Damage(const std::function<void(std::string&)>& edit) {
    if (fresh_.empty()) {
      MakeImage(kImage);
      Initialize();
      // Past the map and the status partition the fresh image is all zero.
      fresh_ = ReadBytes(0, kPrefix);
      ASSERT_EQ(ReadBytes(kPrefix, kImage - kPrefix), std::string(kImage - kPrefix, '\0'));
    }
    std::string bytes = fresh_;
    edit(bytes);
    MakeImage(bytes.size() < kPrefix ? bytes.size() : kImage);
    WriteBytes(0, bytes);
  }

 private:
  std::string fresh_;
};

Partition& EntryOf(std::string& image, uint32_t i) {
  return *reinterpret_cast<Partition*>(image.data() + 512 * (1 + i));
}
void SetBe16(std::string& image, size_t at, uint16_t v) {
  image[at] = static_cast<char>(v >> 8);
  image[at + 1] = static_cast<char>(v);
}

struct Case {
  const char* name;
  std::function<void(std::string&)> edit;
  MapResult result;
  int32_t driverType;
};

TEST_F(RefusalTest, DamagedMapsAreRefusedCleanly) {
  const std::vector<Case> cases = {
      {"block size 0", [](std::string& m) { SetBe16(m, 2, 0); }, 0, kDriverTypeNone},
      {"block size 1", [](std::string& m) { SetBe16(m, 2, 1); }, 0, kDriverTypeNone},
      {"block size 700", [](std::string& m) { SetBe16(m, 2, 700); }, 0, kDriverTypeNone},
      {"block size beyond the disk",
       [](std::string& m) {
         SetBe16(m, 2, 4096);
         m.resize(6000);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"block size with no entry behind it", [](std::string& m) { SetBe16(m, 2, 0xFE00); }, 0,
       kDriverTypeNone},
      {"entry count 0",
       [](std::string& m) {
         for (uint32_t i = 0; i < kEntries; ++i) EntryOf(m, i).pmMapBlkCnt.set(0);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"entry count beyond the map partition",
       [](std::string& m) {
         for (uint32_t i = 0; i < kEntries; ++i) EntryOf(m, i).pmMapBlkCnt.set(65);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"entry count 0xFFFFFFFF",
       [](std::string& m) {
         for (uint32_t i = 0; i < kEntries; ++i) EntryOf(m, i).pmMapBlkCnt.set(0xFFFFFFFF);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"entry count differing", [](std::string& m) { EntryOf(m, 2).pmMapBlkCnt.set(3); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"entry count larger than the present entries",
       [](std::string& m) {
         for (uint32_t i = 0; i < kEntries; ++i) EntryOf(m, i).pmMapBlkCnt.set(5);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"signature missing part-way", [](std::string& m) { EntryOf(m, 2).pmSig.set(0); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"map partition not at block 1", [](std::string& m) { EntryOf(m, 0).pmPyPartStart.set(2); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"map partition of length 0", [](std::string& m) { EntryOf(m, 0).pmPartBlkCnt.set(0); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"start plus length overflows",
       [](std::string& m) {
         EntryOf(m, 3).pmPyPartStart.set(0xFFFFFFF0);
         EntryOf(m, 3).pmPartBlkCnt.set(0x20);
       },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"partition past the end of the disk",
       [](std::string& m) { EntryOf(m, 3).pmPartBlkCnt.set(EntryOf(m, 3).pmPartBlkCnt.get() + 1); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"status partition past the end of the disk",
       [](std::string& m) { EntryOf(m, 1).pmPyPartStart.set(kImage / 512 - 10); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"overlapping partitions",
       [](std::string& m) { EntryOf(m, 1).pmPartBlkCnt.set(EntryOf(m, 1).pmPartBlkCnt.get() + 1); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"partition inside the map", [](std::string& m) { EntryOf(m, 1).pmPyPartStart.set(60); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"name without terminator",
       [](std::string& m) { std::memset(EntryOf(m, 2).pmPartName, 'N', kPartitionNameBytes); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"type without terminator",
       [](std::string& m) { std::memset(EntryOf(m, 3).pmParType, 'T', kPartitionTypeBytes); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"status partition too small for both copies",
       [](std::string& m) {
         EntryOf(m, 1).pmPartBlkCnt.set(30);
       },
       kMirovaneErrReadFailed, kDriverTypeMirovane},
      {"status partition at byte 0 is missing",
       [](std::string& m) { SetPartitionType(&EntryOf(m, 1), kTypeFree); },
       kMirovaneErrReadFailed, kDriverTypeMirovane},
      {"image shorter than one block", [](std::string& m) { m.resize(100); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"image shorter than two blocks", [](std::string& m) { m.resize(700); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"image cut inside the map", [](std::string& m) { m.resize(512 * 20); },
       kMirovaneErrReadFailed, kDriverTypeNone},
      {"image cut inside the status partition", [](std::string& m) { m.resize(512 * 80); },
       kMirovaneErrReadFailed, kDriverTypeNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Damage(c.edit);
    const std::string before = ReadBytes(0, kPrefix);
    const int writes = devices_.writes();

    TPartitionMap map(disk_.get(), &volumes_);
    ASSERT_EQ(map.Open(false), 0);
    volumes_.added.clear();
    EXPECT_EQ(map.Read(true), c.result);
    EXPECT_EQ(map.ReturnDriverType(), c.driverType);
    EXPECT_EQ(map.ReturnEntryCount(), 0u);
    EXPECT_TRUE(volumes_.added.empty());
    // Nothing can be edited or written on a refused map.
    const VolumePartitionStatusRec record = Record(1, kMiB);
    EXPECT_EQ(map.AddVolumePartition(&record, false), kMirovaneErrNotFound);
    EXPECT_EQ(map.DeleteVolumePartition(1), kMirovaneErrNotFound);
    EXPECT_EQ(map.Write(nullptr, nullptr, 0), kMirovaneErrNotFound);
    EXPECT_EQ(map.ReturnNumberPartitions(), 0u);
    EXPECT_EQ(ReadBytes(0, kPrefix), before);
    EXPECT_EQ(devices_.writes(), writes);
  }
}

// Older-layout member types keep binary data in their type field; that is not
// damage.
TEST_F(RefusalTest, OlderLayoutTypeFieldsNeedNoTerminator) {
  Damage([](std::string& m) {
    Partition& e = EntryOf(m, 3);
    std::memset(e.pmParType, 0x7F, kPartitionTypeBytes);
    std::memcpy(e.pmParType, kTypeOldStripeMember, kOldMemberTypePrefix);
  });
  TPartitionMap map(disk_.get(), nullptr);
  ASSERT_EQ(map.Open(true), 0);
  EXPECT_EQ(map.Read(false), 0);
  // The status partition comes first in the map, so the disk is of this system.
  EXPECT_EQ(map.ReturnDriverType(), kDriverTypeMirovane);
}

}  // namespace
}  // namespace mv_test
