#pragma once
// The 64-bit volume state word and the functions that test, set, copy and clear its
// bits. The bit numbers are shared with the kernel driver, the on-disk status records
// and the application, so they never change. Callers name bits only through the
// Is.../Set... functions below.
//
// None of these functions is atomic: whoever owns a word serialises access to it.
// A null word reads as 0 and is never written.

#include <cstdint>

#include "framework/mac_types.h"

using VolumeState = uint64_t;

inline constexpr VolumeState kVolumeActionBitsMask = 0x000000000000000FULL;
inline constexpr VolumeState kVolumeReadOnlyAndOpenMask = 0x0000000000000030ULL;
inline constexpr VolumeState kVolumeDiskSpecificMask = 0x0000000036000000ULL;
inline constexpr VolumeState kVolumeMirrorBitsMask = 0x00000001FF000000ULL;
inline constexpr VolumeState kVolumeErrorBitsMask = 0x00000001F0010000ULL;

// 1 when bit `bit` of the word is set; bits beyond 63 read as 0.
Boolean TestVolumeBitNumber(const VolumeState* state, uint32_t bit);
// Sets the bit for any nonzero `value`, clears it for 0; no other bit changes. Bits
// beyond 63 are ignored.
void SetVolumeBitNumber(VolumeState* state, uint32_t bit, Boolean value);

Boolean IsVolumeMounting(const VolumeState* state);
void SetVolumeMounting(VolumeState* state, Boolean value);
Boolean IsVolumeUnmounting(const VolumeState* state);
void SetVolumeUnmounting(VolumeState* state, Boolean value);
Boolean IsVolumeInTransition(const VolumeState* state);
void SetVolumeInTransition(VolumeState* state, Boolean value);
Boolean IsVolumeCreatingFileSystem(const VolumeState* state);
void SetVolumeCreatingFileSystem(VolumeState* state, Boolean value);
Boolean IsVolumeReadOnly(const VolumeState* state);
void SetVolumeReadOnly(VolumeState* state, Boolean value);
Boolean IsVolumeOpen(const VolumeState* state);
void SetVolumeOpen(VolumeState* state, Boolean value);
Boolean IsVolumeChangedID(const VolumeState* state);
void SetVolumeChangedID(VolumeState* state, Boolean value);
Boolean IsVolumeSplitMirror(const VolumeState* state);
void SetVolumeSplitMirror(VolumeState* state, Boolean value);
Boolean IsVolumeEnablingJournaling(const VolumeState* state);
void SetVolumeEnablingJournaling(VolumeState* state, Boolean value);
Boolean IsVolumeDisablingJournaling(const VolumeState* state);
void SetVolumeDisablingJournaling(VolumeState* state, Boolean value);
Boolean IsMissingStripeDisk(const VolumeState* state);
void SetMissingStripeDisk(VolumeState* state, Boolean value);
Boolean IsMirrorWaitingForDisks(const VolumeState* state);
void SetMirrorWaitingForDisks(VolumeState* state, Boolean value);
Boolean IsMirrorPrimaryDisk(const VolumeState* state);
void SetMirrorPrimaryDisk(VolumeState* state, Boolean value);
Boolean IsMirrorSecondaryDisk(const VolumeState* state);
void SetMirrorSecondaryDisk(VolumeState* state, Boolean value);
Boolean IsMirrorRebuilding(const VolumeState* state);
void SetMirrorRebuilding(VolumeState* state, Boolean value);
Boolean IsMirrorOutOfSync(const VolumeState* state);
void SetMirrorOutOfSync(VolumeState* state, Boolean value);
Boolean IsMirrorFailed(const VolumeState* state);
void SetMirrorFailed(VolumeState* state, Boolean value);
Boolean IsMirrorMissingSecondaryDisk(const VolumeState* state);
void SetMirrorMissingSecondaryDisk(VolumeState* state, Boolean value);
Boolean IsMirrorMissingSecondaryDisks(const VolumeState* state);
void SetMirrorMissingSecondaryDisks(VolumeState* state, Boolean value);
Boolean IsMirrorNoSecondary(const VolumeState* state);
void SetMirrorNoSecondary(VolumeState* state, Boolean value);

// 1 when any error bit (16, 28-32) is set.
Boolean DoesVolumeHaveErrorState(const VolumeState* state);
// ORs the source's disk-specific bits (25, 26, 28, 29) into the destination.
void CopyDiskSpecificVolumeState(VolumeState source, VolumeState* destination);
// Replaces the destination's read-only and open bits (4, 5) by the source's.
void CopyMirrorVolumeStateToPrimary(VolumeState source, VolumeState* destination);
// Clears bits 24-32.
void ClearAllMirrorBits(VolumeState* state);
// Clears bits 0-3.
void ClearAllActionStateBits(VolumeState* state);
