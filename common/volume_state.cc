#include "common/volume_state.h"

namespace {

constexpr uint32_t kWordBits = 64;

enum VolumeBit : uint32_t {
  kMountingBit = 0,
  kUnmountingBit = 1,
  kInTransitionBit = 2,
  kCreatingFileSystemBit = 3,
  kReadOnlyBit = 4,
  kOpenBit = 5,
  kChangedIDBit = 6,
  kSplitMirrorBit = 7,
  kEnablingJournalingBit = 8,
  kDisablingJournalingBit = 9,
  kMissingStripeDiskBit = 16,
  kMirrorWaitingForDisksBit = 24,
  kMirrorPrimaryDiskBit = 25,
  kMirrorSecondaryDiskBit = 26,
  kMirrorRebuildingBit = 27,
  kMirrorOutOfSyncBit = 28,
  kMirrorFailedBit = 29,
  kMirrorMissingSecondaryDiskBit = 30,
  kMirrorMissingSecondaryDisksBit = 31,
  kMirrorNoSecondaryBit = 32,
};

}  // namespace

Boolean TestVolumeBitNumber(const VolumeState* state, uint32_t bit) {
  if (state == nullptr || bit >= kWordBits) return 0;
  return static_cast<Boolean>((*state >> bit) & 1);
}

void SetVolumeBitNumber(VolumeState* state, uint32_t bit, Boolean value) {
  if (state == nullptr || bit >= kWordBits) return;
  const VolumeState mask = VolumeState{1} << bit;
  if (value != 0) {
    *state |= mask;
  } else {
    *state &= ~mask;
  }
}

#define MV_VOLUME_BIT_FUNCTIONS(Name, bit)                                          \
  Boolean Is##Name(const VolumeState* state) { return TestVolumeBitNumber(state, bit); } \
  void Set##Name(VolumeState* state, Boolean value) { SetVolumeBitNumber(state, bit, value); }

MV_VOLUME_BIT_FUNCTIONS(VolumeMounting, kMountingBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeUnmounting, kUnmountingBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeInTransition, kInTransitionBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeCreatingFileSystem, kCreatingFileSystemBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeReadOnly, kReadOnlyBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeOpen, kOpenBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeChangedID, kChangedIDBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeSplitMirror, kSplitMirrorBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeEnablingJournaling, kEnablingJournalingBit)
MV_VOLUME_BIT_FUNCTIONS(VolumeDisablingJournaling, kDisablingJournalingBit)
MV_VOLUME_BIT_FUNCTIONS(MissingStripeDisk, kMissingStripeDiskBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorWaitingForDisks, kMirrorWaitingForDisksBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorPrimaryDisk, kMirrorPrimaryDiskBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorSecondaryDisk, kMirrorSecondaryDiskBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorRebuilding, kMirrorRebuildingBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorOutOfSync, kMirrorOutOfSyncBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorFailed, kMirrorFailedBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorMissingSecondaryDisk, kMirrorMissingSecondaryDiskBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorMissingSecondaryDisks, kMirrorMissingSecondaryDisksBit)
MV_VOLUME_BIT_FUNCTIONS(MirrorNoSecondary, kMirrorNoSecondaryBit)

#undef MV_VOLUME_BIT_FUNCTIONS

Boolean DoesVolumeHaveErrorState(const VolumeState* state) {
  if (state == nullptr) return 0;
  return (*state & kVolumeErrorBitsMask) != 0 ? 1 : 0;
}

void CopyDiskSpecificVolumeState(VolumeState source, VolumeState* destination) {
  if (destination == nullptr) return;
  *destination |= source & kVolumeDiskSpecificMask;
}

void CopyMirrorVolumeStateToPrimary(VolumeState source, VolumeState* destination) {
  if (destination == nullptr) return;
  *destination = (*destination & ~kVolumeReadOnlyAndOpenMask) | (source & kVolumeReadOnlyAndOpenMask);
}

void ClearAllMirrorBits(VolumeState* state) {
  if (state != nullptr) *state &= ~kVolumeMirrorBitsMask;
}

void ClearAllActionStateBits(VolumeState* state) {
  if (state != nullptr) *state &= ~kVolumeActionBitsMask;
}
