#include "tool/disks/disk_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(StripOffPartitionCharacters, CutsPartitionSuffixOnly) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{{"disk10s12", "disk10"},
                                         {"disk2s3", "disk2"},
                                         {"disk4", "disk4"},
                                         {"", ""},
                                         {"s1", ""}}) {
    std::vector<char> buffer(c.in.begin(), c.in.end());
    buffer.push_back('\0');
    StripOffPartitionCharacters(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), c.out) << c.in;
  }
  StripOffPartitionCharacters(nullptr);  // harmless
}

TEST(DetermineDiskBlockSize, KeepsBlockCountWithin32Bits) {
  struct Case {
    uint64_t disk;
    uint32_t sector, expected;
  };
  for (const Case& c : std::vector<Case>{
           {250'000'000'000ull, 512, 512},
           {3'000'000'000ull, 512, 512},
           {3'000'000'000'000ull, 512, 1024},
           {250'000'000'000ull, 2048, 2048},
           {0, 512, 512},
           {513ull * 0xFFFFFFFFull, 512, 1024},
           {~0ull, 512, 0xFFFFFFFFu},  // saturates instead of wrapping
       }) {
    const uint32_t got = DetermineDiskBlockSize(c.disk, c.sector);
    EXPECT_EQ(got, c.expected) << c.disk << " " << c.sector;
    if (got != 0xFFFFFFFFu) {
      EXPECT_LE(c.disk / got, 0xFFFFFFFFull) << c.disk;
    }
  }
}

TEST(InitializeBlock0Rec, SetsSignatureSizeAndCountAndNothingElse) {
  InitializeBlock0Rec(nullptr, 1 << 20, 512);  // no buffer: nothing happens
  Block0 block;
  std::memset(&block, 0xAB, sizeof(block));
  InitializeBlock0Rec(&block, 10'000'000'000ull, 512);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&block);
  EXPECT_EQ(bytes[0], 0x45);
  EXPECT_EQ(bytes[1], 0x52);
  EXPECT_EQ(block.sbBlkSize.get(), 512);
  EXPECT_EQ(block.sbBlkCount.get(), static_cast<uint32_t>(10'000'000'000ull / 512));
  for (size_t i = 8; i < sizeof(block); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(InitializePartitionMapEntry, StatusAndDataLengthFollowTheType) {
  struct Case {
    const char* type;
    uint32_t status, dataLength;
  };
  for (const Case& c : std::vector<Case>{{kTypeFree, 0, 0},
                                         {kTypePartitionMap, 3, 64},
                                         {kTypeStatus, 3, 64},
                                         {kTypeVolume, 0x40000033, 64},
                                         {kTypeHFS, 0x40000033, 64}}) {
    Partition e;
    std::memset(&e, 0xCD, sizeof(e));
    InitializePartitionMapEntry(&e, 5, 1, 64 * 512 + 100, 512, "Apple", c.type);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&e);
    EXPECT_EQ(bytes[0], 'P');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(e.pmMapBlkCnt.get(), 5u);
    EXPECT_EQ(e.pmPyPartStart.get(), 1u);
    EXPECT_EQ(e.pmPartBlkCnt.get(), 64u);  // rounded down to whole blocks
    EXPECT_STREQ(e.pmPartName, "Apple");
    EXPECT_STREQ(e.pmParType, c.type);
    EXPECT_EQ(e.pmDataCnt.get(), c.dataLength) << c.type;
    EXPECT_EQ(e.pmPartStatus.get(), c.status) << c.type;
    for (size_t i = 92; i < sizeof(e); ++i) ASSERT_EQ(bytes[i], 0) << i;
  }
}

TEST(StatusCopySelection, HigherSequenceWinsWithWrapAround) {
  struct Case {
    uint32_t a, b;
    bool aNewer;
  };
  for (const Case& c : std::vector<Case>{{5, 5, false},
                                         {6, 5, true},
                                         {0xFFFFFFFF, 0, false},
                                         {0, 0xFFFFFFFF, true},
                                         {0, 1, false},
                                         {7, 9, false},
                                         {0xFFFFFFFE, 0xFFFFFFFF, false}}) {
    EXPECT_EQ(StatusCopyAIsNewer(c.a, c.b), c.aNewer) << c.a << " " << c.b;
  }
}

TEST(BigEndianFields, StoreMostSignificantByteFirst) {
  VolumePartitionStatusRec r;
  std::memset(&r, 0, sizeof(r));
  r.volumeID.set(0x0102030405060708ull);
  r.raidLevel.set(static_cast<uint32_t>(-1));
  r.chunkSize.set(0x10000);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[7], 0x08);
  EXPECT_EQ(bytes[16], 0xFF);
  EXPECT_EQ(bytes[19], 0xFF);
  EXPECT_EQ(bytes[128 + 1], 0x01);
  EXPECT_EQ(static_cast<int32_t>(r.raidLevel.get()), -1);
}

TEST(PartitionTypeCompare, NeverReadsPastTheField) {
  Partition e;
  std::memset(&e, 'A', sizeof(e));  // no terminator anywhere in the type field
  EXPECT_FALSE(PartitionTypeIs(e, kTypeFree));
  SetPartitionType(&e, kTypeOldStripeMember);
  EXPECT_TRUE(PartitionTypeBeginsWith(e, kTypeOldStripeMember, kOldMemberTypePrefix));
  EXPECT_TRUE(PartitionTypeIs(e, kTypeOldStripeMember));
  EXPECT_FALSE(PartitionTypeIs(e, kTypeHFS));
}

}  // namespace
