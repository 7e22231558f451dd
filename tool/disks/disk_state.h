#pragma once
// The disk's current activity, as the application sees it in the disk record.

#include <cstdint>

enum DiskState : uint32_t {
  kDiskIdle = 0,
  kDiskUnmountingVolumes = 2,
  kDiskZeroing = 3,
  kDiskDeletingVolumePartitions = 4,
  kDiskClearingScratch = 5,
  kDiskBlinking = 6,
  kDiskReadingInfo = 7,
  kDiskConverting = 8,
  kDiskFinishing = 9,
  kDiskCreatingVolumePartition = 10,
  kDiskDeletingVolumePartition = 11,
  kDiskAddingSecondary = 12,
  kDiskCreatingFileSystem = 13,
  kDiskUpdatingStatusRecords = 14,
};
