#include "common/volume_state.h"

#include <gtest/gtest.h>

namespace {

constexpr VolumeState kAllOnes = ~VolumeState{0};

struct NamedBit {
  const char* name;
  uint32_t bit;
  Boolean (*is)(const VolumeState*);
  void (*set)(VolumeState*, Boolean);
};

// The bit numbers are a contract with the driver and the application.
const NamedBit kNamedBits[] = {
    {"Mounting", 0, IsVolumeMounting, SetVolumeMounting},
    {"Unmounting", 1, IsVolumeUnmounting, SetVolumeUnmounting},
    {"InTransition", 2, IsVolumeInTransition, SetVolumeInTransition},
    {"CreatingFileSystem", 3, IsVolumeCreatingFileSystem, SetVolumeCreatingFileSystem},
    {"ReadOnly", 4, IsVolumeReadOnly, SetVolumeReadOnly},
    {"Open", 5, IsVolumeOpen, SetVolumeOpen},
    {"ChangedID", 6, IsVolumeChangedID, SetVolumeChangedID},
    {"SplitMirror", 7, IsVolumeSplitMirror, SetVolumeSplitMirror},
    {"EnablingJournaling", 8, IsVolumeEnablingJournaling, SetVolumeEnablingJournaling},
    {"DisablingJournaling", 9, IsVolumeDisablingJournaling, SetVolumeDisablingJournaling},
    {"MissingStripeDisk", 16, IsMissingStripeDisk, SetMissingStripeDisk},
    {"MirrorWaitingForDisks", 24, IsMirrorWaitingForDisks, SetMirrorWaitingForDisks},
    {"MirrorPrimaryDisk", 25, IsMirrorPrimaryDisk, SetMirrorPrimaryDisk},
    {"MirrorSecondaryDisk", 26, IsMirrorSecondaryDisk, SetMirrorSecondaryDisk},
    {"MirrorRebuilding", 27, IsMirrorRebuilding, SetMirrorRebuilding},
    {"MirrorOutOfSync", 28, IsMirrorOutOfSync, SetMirrorOutOfSync},
    {"MirrorFailed", 29, IsMirrorFailed, SetMirrorFailed},
    {"MirrorMissingSecondaryDisk", 30, IsMirrorMissingSecondaryDisk, SetMirrorMissingSecondaryDisk},
    {"MirrorMissingSecondaryDisks", 31, IsMirrorMissingSecondaryDisks,
     SetMirrorMissingSecondaryDisks},
    {"MirrorNoSecondary", 32, IsMirrorNoSecondary, SetMirrorNoSecondary},
};

TEST(VolumeStateTest, EachNamedFunctionOwnsExactlyItsBit) {
  for (const NamedBit& b : kNamedBits) {
    SCOPED_TRACE(b.name);
    const VolumeState only = VolumeState{1} << b.bit;

    VolumeState word = 0;
    b.set(&word, 1);
    EXPECT_EQ(word, only);
    EXPECT_EQ(b.is(&word), 1);

    VolumeState others = kAllOnes & ~only;
    EXPECT_EQ(b.is(&others), 0);

    VolumeState full = kAllOnes;
    b.set(&full, 0);
    EXPECT_EQ(full, kAllOnes & ~only);
  }
}

TEST(VolumeStateTest, BitNumbersAddressTheWholeSixtyFourBitWord) {
  VolumeState word = 0;
  SetVolumeBitNumber(&word, 32, 1);
  EXPECT_EQ(word, 0x0000000100000000ULL);
  EXPECT_EQ(TestVolumeBitNumber(&word, 31), 0);
  EXPECT_EQ(TestVolumeBitNumber(&word, 32), 1);

  SetVolumeBitNumber(&word, 63, 1);
  EXPECT_EQ(word, 0x8000000100000000ULL);
  EXPECT_EQ(TestVolumeBitNumber(&word, 63), 1);
}

TEST(VolumeStateTest, AnyNonzeroValueSetsTheBit) {
  for (Boolean value : {Boolean{1}, Boolean{2}, Boolean{0x80}, Boolean{0xFF}}) {
    VolumeState word = 0;
    SetVolumeBitNumber(&word, 5, value);
    EXPECT_EQ(word, 0x20u) << int{value};
  }
}

TEST(VolumeStateTest, OutOfRangeBitsAndNullWordsAreHarmless) {
  VolumeState word = 0x1234;
  SetVolumeBitNumber(&word, 64, 1);
  SetVolumeBitNumber(&word, 0xFFFFFFFFu, 0);
  EXPECT_EQ(word, 0x1234u);
  EXPECT_EQ(TestVolumeBitNumber(&word, 64), 0);
  EXPECT_EQ(TestVolumeBitNumber(&word, 200), 0);

  EXPECT_EQ(TestVolumeBitNumber(nullptr, 0), 0);
  SetVolumeBitNumber(nullptr, 0, 1);
  EXPECT_EQ(DoesVolumeHaveErrorState(nullptr), 0);
  CopyDiskSpecificVolumeState(kAllOnes, nullptr);
  CopyMirrorVolumeStateToPrimary(kAllOnes, nullptr);
  ClearAllMirrorBits(nullptr);
  ClearAllActionStateBits(nullptr);
}

TEST(VolumeStateTest, ErrorStateMeansOneOfTheErrorBits) {
  struct Case {
    VolumeState word;
    Boolean expected;
  };
  const Case cases[] = {
      {0, 0},
      {0x0000000100000000ULL, 1},  // no secondary
      {0x0000000000010000ULL, 1},  // missing stripe disk
      {0x0000000010000000ULL, 1},  // out of sync
      {0x0000000020000000ULL, 1},  // failed
      {0x0000000040000000ULL, 1},  // missing secondary
      {0x0000000080000000ULL, 1},  // missing secondaries
      {0x000000000E00FFFFULL, 0},  // bits 0-15 and 25-27
      {0x0100000001000000ULL, 0},  // waiting for disks, unassigned bit 56
      {kAllOnes, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DoesVolumeHaveErrorState(&c.word), c.expected) << std::hex << c.word;
  }
}

TEST(VolumeStateTest, GroupOperations) {
  struct Case {
    const char* name;
    void (*apply)(VolumeState* word);
    VolumeState before;
    VolumeState after;
  };
  const Case cases[] = {
      {"disk-specific from all ones into zero",
       [](VolumeState* w) { CopyDiskSpecificVolumeState(kAllOnes, w); }, 0,
       0x0000000036000000ULL},
      {"disk-specific from zero changes nothing",
       [](VolumeState* w) { CopyDiskSpecificVolumeState(0, w); }, 0x0123456789ABCDEFULL,
       0x0123456789ABCDEFULL},
      {"disk-specific never clears",
       [](VolumeState* w) { CopyDiskSpecificVolumeState(0x02000000ULL, w); }, 0x14000000ULL,
       0x16000000ULL},
      {"read-only and open from zero clears bits 4 and 5 only",
       [](VolumeState* w) { CopyMirrorVolumeStateToPrimary(0, w); }, kAllOnes,
       0xFFFFFFFFFFFFFFCFULL},
      {"read-only and open copied, other source bits ignored",
       [](VolumeState* w) { CopyMirrorVolumeStateToPrimary(0xFFFFFFFFFFFFFF10ULL, w); }, 0x21,
       0x11},
      {"mirror bits of all ones", ClearAllMirrorBits, kAllOnes, 0xFFFFFFFE00FFFFFFULL},
      {"action bits of all ones", ClearAllActionStateBits, kAllOnes, 0xFFFFFFFFFFFFFFF0ULL},
  };
  for (const Case& c : cases) {
    VolumeState word = c.before;
    c.apply(&word);
    EXPECT_EQ(word, c.after) << c.name;
  }
}

}  // namespace
