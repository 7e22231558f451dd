// TPartitionMap: the preparation steps of taking over a disk of another kind, and
// the hooks that the per-kind converters fill in.

#include <algorithm>
#include <cstring>

#include "tool/disks/partition_map.h"

namespace {
uint64_t EntryBytes(const Partition& e, uint32_t blockSize) {
  return uint64_t{e.pmPartBlkCnt.get()} * blockSize;
}
}  // namespace

MapResult TPartitionMap::Convert() {
  if (disk_ == nullptr || map_.data == nullptr) return kMirovaneErrNotFound;
  const int32_t kind = disk_->ReturnDriverType();
  MapResult result = kMirovaneNoError;
  if (kind == kDriverTypeMirovane2) {
    result = ScanForStripeInPlaceVolumes();
  } else if (kind == kDriverTypeAppleBootRAID || kind == kDriverTypeAppleRAID) {
    result = CheckForFailedAppleRAIDMirror();
  }
  if (result != 0) return result;

  if (ScanForSpaceForDiskStatusPartition() != 0) {
    result = GenerateFreeSpaceForDiskStatusPartition();
    if (result != 0) return result;
  }
  CleanPartitionMapEntry(0);
  RemoveUnneededPartitions();
  if (!AddDiskStatusPartition()) return kMirovaneErrNoSpaceForStatus;

  switch (kind) {
    case kDriverTypeMirovane2:
      ConvertMirovane2Partitions();
      return kMirovaneNoError;
    case kDriverTypeApple:
      ConvertApplePartitions();
      return kMirovaneNoError;
    case kDriverTypeAppleBootRAID:
    case kDriverTypeAppleRAID:
      return ConvertAppleRAIDPartitions();
    default:
      return kMirovaneNoError;
  }
}

MapResult TPartitionMap::ScanForStripeInPlaceVolumes() {
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&e);
    if (PartitionTypeBeginsWith(e, kTypeOldStripeMember, kOldMemberTypePrefix) && bytes[81] != 0) {
      return kMirovaneErrStripeInPlace;
    }
  }
  return kMirovaneNoError;
}

bool TPartitionMap::ParitionIsUnneeded(const Partition& e) {
  for (const char* t : {"Apple_Patches", "Apple_Driver_OpenFirmware", "Apple_Boot",
                        "Apple_Driver_IOKit", kTypeDriver43, "Apple_Driver_ATA", "Apple_FWDriver"}) {
    if (PartitionTypeIs(e, t)) return true;
  }
  return false;
}

MapResult TPartitionMap::ScanForSpaceForDiskStatusPartition() {
  for (uint32_t i = 1; i < entry_count_; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    if ((PartitionTypeIs(e, kTypeFree) || ParitionIsUnneeded(e)) &&
        EntryBytes(e, block_size_) >= kStatusPartitionBytes) {
      return kMirovaneNoError;
    }
  }
  return kMirovaneErrNoSpaceForStatus;
}

MapResult TPartitionMap::GenerateFreeSpaceForDiskStatusPartition() {
  const uint32_t n = (kStatusPartitionBytes + block_size_ - 1) / block_size_;
  Partition* map = GetPartitionMapEntryAtIndex(0);
  const uint32_t length = map->pmPartBlkCnt.get();
  // The new entry needs a slot inside the shrunken map and inside the buffer.
  if (length <= entry_count_ || length - entry_count_ <= n || entry_count_ >= capacity_) {
    return kMirovaneErrNoSpaceForStatus;
  }
  const uint32_t newLength = length - n;
  if (entry_count_ + 1 > newLength) return kMirovaneErrNoSpaceForStatus;
  map->pmPartBlkCnt.set(newLength);
  Partition* e = GetPartitionMapEntryAtIndex(entry_count_);
  std::memset(e, 0, block_size_);
  e->pmSig.set(kPartitionSignature);
  e->pmPyPartStart.set(map->pmPyPartStart.get() + newLength);
  e->pmPartBlkCnt.set(n);
  SetPartitionType(e, kTypeFree);
  SetEntryCount(entry_count_ + 1);
  capacity_ = std::min(newLength, capacity_);
  UpdateSizeOfLargestFreePartition();
  return kMirovaneNoError;
}

void TPartitionMap::CleanPartitionMapEntry(uint32_t index) {
  Partition* e = GetPartitionMapEntryAtIndex(index);
  if (e == nullptr) return;
  Partition kept;
  std::memset(&kept, 0, sizeof(kept));
  kept.pmSig = e->pmSig;
  kept.pmMapBlkCnt = e->pmMapBlkCnt;
  kept.pmPyPartStart = e->pmPyPartStart;
  kept.pmPartBlkCnt = e->pmPartBlkCnt;
  std::memcpy(kept.pmParType, e->pmParType, kPartitionTypeBytes);
  std::memset(e, 0, block_size_);
  std::memcpy(e, &kept, sizeof(kept));
}

void TPartitionMap::RemoveUnneededPartitions() {
  uint32_t i = 0;
  while (i < entry_count_) {
    // A freed entry may be merged away; the same index is then examined again.
    if (i > 0 && ParitionIsUnneeded(*GetPartitionMapEntryAtIndex(i))) {
      DeletePartition(i);
      continue;
    }
    ++i;
  }
}

void TPartitionMap::ConvertBlocksToFreePartition(uint32_t firstBlock, uint32_t blockCount) {
  if (entry_count_ >= EditCapacity()) return;
  if (uint64_t{firstBlock} + blockCount > DiskBlocks()) return;
  const uint32_t index = entry_count_;
  Partition* e = GetPartitionMapEntryAtIndex(index);
  std::memset(e, 0, block_size_);
  e->pmSig.set(kPartitionSignature);
  e->pmPyPartStart.set(firstBlock);
  e->pmPartBlkCnt.set(blockCount);
  SetPartitionType(e, kTypeFree);
  if (VolumePartitionStatusRec* r = StatusRecordAtIndex(index)) std::memset(r, 0, sizeof(*r));
  SetEntryCount(entry_count_ + 1);
  (void)ClearStartAndEndOfPartition(index);  // best effort: the blocks are free space now
  ConsolidateFreePartitions();
  UpdateSizeOfLargestFreePartition();
}

// ---- Hooks for the per-kind converters ----
// HOOK(convert): AppleRAID headers are read and the members handed to the volume
// list by the AppleRAID conversion code; until it lands, AppleRAID disks show no
// volumes and these steps change nothing.

MapResult TPartitionMap::ScanForAppleRAIDVolumes() { return kMirovaneNoError; }

MapResult TPartitionMap::CheckForFailedAppleRAIDMirror() { return kMirovaneNoError; }

// HOOK(convert): older-layout members become volume partitions with status records.
void TPartitionMap::ConvertMirovane2Partitions() {}

// HOOK(convert): plain HFS, HFSX and UFS volumes become non-RAID volume partitions.
void TPartitionMap::ConvertApplePartitions() {}

// HOOK(convert): AppleRAID members become volume partitions of this system.
MapResult TPartitionMap::ConvertAppleRAIDPartitions() { return kMirovaneNoError; }
