// TPartitionMap: building a new map and editing a map in memory.

#include <algorithm>
#include <cstring>

#include "tool/disks/partition_map.h"
#include "tool/model/mvuid.h"

namespace {

bool IsFree(const Partition& e) { return PartitionTypeIs(e, kTypeFree); }

bool IsVolumeType(const Partition& e) {
  return PartitionTypeIs(e, kTypeVolume) || PartitionTypeIs(e, kTypeVolumeV1);
}

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace

MapResult TPartitionMap::Create() {
  if (!device_ || disk_ == nullptr) return kMirovaneErrWriteFailed;
  ResetMapState();
  const uint32_t blockSize = DetermineDiskBlockSize(disk_bytes_, disk_->ReturnSectorSize());
  // Block 0 keeps the block size in 16 bits.
  if (blockSize == 0 || blockSize > 0xFFFF || blockSize % 512 != 0) return kMirovaneErrWriteFailed;
  block_size_ = blockSize;
  if (DiskBlocks() <= kFirstBlockAfterNewMap) {
    ResetMapState();
    return kMirovaneErrWriteFailed;
  }
  capacity_ = kNewMapEntries;
  if (!map_.Allocate(size_t{capacity_} * block_size_)) {
    ResetMapState();
    return memFullErr;
  }
  entry_count_ = 0;
  new_map_ = true;
  InitializePartitionMap();
  if (!AddDiskStatusPartition() || !AddScratchPartition()) {
    ResetMapState();
    return kMirovaneErrWriteFailed;
  }
  driver_type_ = kDriverTypeMirovane;
  return kMirovaneNoError;
}

void TPartitionMap::InitializePartitionMap() {
  const uint64_t blocks = DiskBlocks();
  // Map block numbers are 32-bit; a longer disk keeps its tail outside the map.
  const uint64_t freeBlocks = std::min<uint64_t>(blocks, 0xFFFFFFFFull) - kFirstBlockAfterNewMap;
  largest_free_ = freeBlocks * block_size_;
  free_bytes_ = largest_free_;
  entry_count_ = 2;
  InitializePartitionMapEntry(GetPartitionMapEntryAtIndex(0), 2, kNewMapFirstBlock,
                              uint64_t{kNewMapEntries} * block_size_, block_size_, kMapEntryName,
                              kTypePartitionMap);
  InitializePartitionMapEntry(GetPartitionMapEntryAtIndex(1), 2, kFirstBlockAfterNewMap,
                              freeBlocks * block_size_, block_size_, "", kTypeFree);
}

bool TPartitionMap::AddDiskStatusPartition() {
  // Every entry needs its status record slot.
  if (entry_count_ >= kStatusRecordsPerArea) return false;
  temp_area_.reset(new (std::nothrow) StatusArea());
  if (!temp_area_) return false;
  std::memset(temp_area_.get(), 0, sizeof(StatusArea));
  temp_area_->header.version.set(kStatusRecordVersion2);
  temp_area_->header.sequence.set(0);
  temp_area_->header.diskID.set(GetNewMVUID());
  temp_area_->header.entryCount.set(entry_count_);
  working_ = temp_area_.get();

  uint64_t size = 0;
  uint64_t offset = 0;
  if (!CreateNewPartition(RoundUp(kStatusPartitionBytes, block_size_), &size, kTypeStatus, nullptr,
                          &offset) ||
      size < kMinStatusBytes || size > kMaxStatusBytes || !status_.Allocate(size)) {
    working_ = nullptr;
    temp_area_.reset();
    return false;
  }
  status_size_ = static_cast<uint32_t>(size);
  status_offset_ = offset;
  std::memcpy(status_.data.get() + kStatusCopyAOffset, temp_area_.get(), sizeof(StatusArea));
  std::memcpy(status_.data.get() + kStatusCopyBOffset, temp_area_.get(), sizeof(StatusArea));
  working_ = reinterpret_cast<StatusArea*>(status_.data.get() + kStatusCopyBOffset);
  working_->header.sequence.set(working_->header.sequence.get() + 1);
  temp_area_.reset();
  status_version_ = kStatusRecordVersion2;
  if (disk_) disk_->SetStatusRecVersion(status_version_);
  return true;
}

bool TPartitionMap::AddScratchPartition() {
  uint64_t size = 0;
  uint64_t offset = 0;
  if (!CreateNewPartition(kScratchPartitionBytes, &size, kTypeScratch, nullptr, &offset)) {
    return false;
  }
  scratch_size_ = static_cast<uint32_t>(size);
  scratch_offset_ = offset;
  scratch_pending_ = true;
  return true;
}

bool TPartitionMap::CreateNewPartition(uint64_t sizeBytes, uint64_t* outSize, const char* type,
                                       uint32_t* outIndex, uint64_t* outOffset) {
  if (outSize) *outSize = 0;
  if (map_.data == nullptr || block_size_ == 0) return false;
  const uint64_t blocks = sizeBytes / block_size_;
  const uint64_t s = blocks * block_size_;
  if (blocks == 0 || blocks > 0xFFFFFFFFull) return false;
  const bool volume = std::strcmp(type, kTypeVolume) == 0 || std::strcmp(type, kTypeVolumeV1) == 0;

  uint32_t chosen = 0;
  if (!volume) {
    // Status and scratch partitions go to the lowest-placed free space.
    uint32_t lowest = 0;
    for (uint32_t i = 1; i < entry_count_; ++i) {
      const Partition& e = *GetPartitionMapEntryAtIndex(i);
      if (!IsFree(e)) continue;
      if (lowest == 0 ||
          e.pmPyPartStart.get() < GetPartitionMapEntryAtIndex(lowest)->pmPyPartStart.get()) {
        lowest = i;
      }
    }
    if (lowest != 0 && GetPartitionMapEntryAtIndex(lowest)->pmPartBlkCnt.get() >= blocks) {
      chosen = lowest;
    }
  }
  if (chosen == 0) {
    // Best fit: the smallest free entry that holds it; the lower index on ties.
    uint64_t best = 0;
    for (uint32_t i = 1; i < entry_count_; ++i) {
      const Partition& e = *GetPartitionMapEntryAtIndex(i);
      const uint64_t length = e.pmPartBlkCnt.get();
      if (!IsFree(e) || length < blocks) continue;
      if (chosen == 0 || length < best) {
        chosen = i;
        best = length;
      }
    }
  }
  if (chosen == 0) return false;

  Partition* e = GetPartitionMapEntryAtIndex(chosen);
  if (e->pmPartBlkCnt.get() == blocks) {
    SetPartitionType(e, type);
  } else {
    if (entry_count_ >= EditCapacity()) return false;
    const uint32_t remainderIndex = entry_count_;
    Partition* remainder = GetPartitionMapEntryAtIndex(remainderIndex);
    std::memset(remainder, 0, block_size_);
    std::memcpy(remainder, e, kPartitionEntryBytes);
    if (VolumePartitionStatusRec* r = StatusRecordAtIndex(remainderIndex)) {
      std::memset(r, 0, sizeof(*r));
    }
    const uint32_t taken = static_cast<uint32_t>(blocks);
    SetPartitionType(e, type);
    e->pmPartBlkCnt.set(taken);
    e->pmDataCnt.set(taken);
    if (volume) e->pmPartStatus.set(kPartitionStatusVolume);
    remainder->pmPyPartStart.set(remainder->pmPyPartStart.get() + taken);
    remainder->pmPartBlkCnt.set(remainder->pmPartBlkCnt.get() - taken);
    SetEntryCount(entry_count_ + 1);
  }
  if (outIndex) *outIndex = chosen;
  if (outOffset) *outOffset = uint64_t{e->pmPyPartStart.get()} * block_size_;
  const bool cleared = ClearStartAndEndOfPartition(chosen);
  if (!cleared) {
    DeletePartition(chosen);
    return false;
  }
  UpdateSizeOfLargestFreePartition();
  if (outSize) *outSize = s;
  return true;
}

bool TPartitionMap::ClearStartAndEndOfPartition(uint32_t index) {
  const Partition* e = GetPartitionMapEntryAtIndex(index);
  if (e == nullptr) return false;
  const uint64_t start = uint64_t{e->pmPyPartStart.get()} * block_size_;
  const uint64_t size = uint64_t{e->pmPartBlkCnt.get()} * block_size_;
  if (new_map_) {
    // Clearing now could destroy the layout still on the disk before the new
    // one is there; Write does it after taking the old map away.
    deferred_clears_.emplace_back(start, size);
    return true;
  }
  return ClearRange(start, size);
}

bool TPartitionMap::ClearRange(uint64_t start, uint64_t size) {
  Buffer zeros;
  if (!zeros.Allocate(std::min<uint64_t>(size, kClearBytes))) return false;
  auto clear = [&](uint64_t offset, uint64_t length) {
    while (length > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, zeros.size));
      if (WriteAndVerify(offset, zeros.data.get(), piece, false) != 0) return false;
      offset += piece;
      length -= piece;
    }
    return true;
  };
  if (size > kClearWholeLimit) {
    return clear(start, kClearBytes) && clear(start + size - kClearBytes, kClearBytes);
  }
  return clear(start, size);
}

void TPartitionMap::SetEntryCount(uint32_t count) {
  entry_count_ = count;
  for (uint32_t i = 0; i < entry_count_; ++i) GetPartitionMapEntryAtIndex(i)->pmMapBlkCnt.set(count);
  if (working_) working_->header.entryCount.set(count);
}

void TPartitionMap::RemoveEntry(uint32_t index) {
  if (index >= entry_count_) return;
  for (uint32_t i = index; i + 1 < entry_count_; ++i) {
    std::memcpy(GetPartitionMapEntryAtIndex(i), GetPartitionMapEntryAtIndex(i + 1), block_size_);
    VolumePartitionStatusRec* to = StatusRecordAtIndex(i);
    VolumePartitionStatusRec* from = StatusRecordAtIndex(i + 1);
    if (to && from) std::memcpy(to, from, sizeof(*to));
  }
  std::memset(GetPartitionMapEntryAtIndex(entry_count_ - 1), 0, block_size_);
  if (VolumePartitionStatusRec* last = StatusRecordAtIndex(entry_count_ - 1)) {
    std::memset(last, 0, sizeof(*last));
  }
  SetEntryCount(entry_count_ - 1);
}

void TPartitionMap::DeletePartition(uint32_t index) {
  // Entry 0 is the map itself and is never freed.
  if (index == 0 || index >= entry_count_) return;
  Partition* e = GetPartitionMapEntryAtIndex(index);
  const uint32_t count = e->pmMapBlkCnt.get();
  const uint32_t first = e->pmPyPartStart.get();
  const uint32_t length = e->pmPartBlkCnt.get();
  std::memset(e, 0, block_size_);
  e->pmSig.set(kPartitionSignature);
  e->pmMapBlkCnt.set(count);
  e->pmPyPartStart.set(first);
  e->pmPartBlkCnt.set(length);
  SetPartitionType(e, kTypeFree);
  if (VolumePartitionStatusRec* r = StatusRecordAtIndex(index)) std::memset(r, 0, sizeof(*r));
  ConsolidateFreePartitions();
  UpdateSizeOfLargestFreePartition();
}

void TPartitionMap::ConsolidateFreePartitions() {
  bool merged = true;
  while (merged) {
    merged = false;
    for (uint32_t i = 1; i < entry_count_ && !merged; ++i) {
      Partition* a = GetPartitionMapEntryAtIndex(i);
      if (!IsFree(*a)) continue;
      for (uint32_t j = i + 1; j < entry_count_; ++j) {
        Partition* b = GetPartitionMapEntryAtIndex(j);
        if (!IsFree(*b)) continue;
        const uint64_t aFirst = a->pmPyPartStart.get(), aLength = a->pmPartBlkCnt.get();
        const uint64_t bFirst = b->pmPyPartStart.get(), bLength = b->pmPartBlkCnt.get();
        if (aLength + bLength > 0xFFFFFFFFull) continue;
        if (aFirst + aLength == bFirst) {
          a->pmPartBlkCnt.set(static_cast<uint32_t>(aLength + bLength));
          RemoveEntry(j);
        } else if (bFirst + bLength == aFirst) {
          b->pmPartBlkCnt.set(static_cast<uint32_t>(aLength + bLength));
          RemoveEntry(i);
        } else {
          continue;
        }
        merged = true;
        break;
      }
    }
  }
}

void TPartitionMap::UpdateSizeOfLargestFreePartition() {
  free_bytes_ = 0;
  largest_free_ = 0;
  for (uint32_t i = 1; i < entry_count_; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    if (!IsFree(e)) continue;
    const uint64_t bytes = uint64_t{e.pmPartBlkCnt.get()} * block_size_;
    free_bytes_ += bytes;
    largest_free_ = std::max(largest_free_, bytes);
  }
}

void TPartitionMap::Sort() {
  for (uint32_t i = 0; i < entry_count_; ++i) {
    uint32_t smallest = i;
    for (uint32_t j = i + 1; j < entry_count_; ++j) {
      if (GetPartitionMapEntryAtIndex(j)->pmPyPartStart.get() <
          GetPartitionMapEntryAtIndex(smallest)->pmPyPartStart.get()) {
        smallest = j;
      }
    }
    if (smallest != i) SwapPartitionMapEntries(i, smallest);
  }
}

void TPartitionMap::SwapPartitionMapEntries(uint32_t a, uint32_t b) {
  Partition* ea = GetPartitionMapEntryAtIndex(a);
  Partition* eb = GetPartitionMapEntryAtIndex(b);
  if (ea == nullptr || eb == nullptr || a == b) return;
  std::swap_ranges(reinterpret_cast<uint8_t*>(ea), reinterpret_cast<uint8_t*>(ea) + kPartitionEntryBytes,
                   reinterpret_cast<uint8_t*>(eb));
  VolumePartitionStatusRec* ra = StatusRecordAtIndex(a);
  VolumePartitionStatusRec* rb = StatusRecordAtIndex(b);
  if (ra && rb) std::swap(*ra, *rb);
}

bool TPartitionMap::FindPartitionWithUID(MVUID volumeID, uint32_t* index) {
  // Only volume partitions have records; the empty records of other entries
  // (identifier 0) must never match.
  for (uint32_t i = 1; i < entry_count_; ++i) {
    const VolumePartitionStatusRec* r = StatusRecordAtIndex(i);
    if (r == nullptr) break;
    if (!IsVolumeType(*GetPartitionMapEntryAtIndex(i))) continue;
    if (r->volumeID.get() == volumeID) {
      if (index) *index = i;
      return true;
    }
  }
  return false;
}

MapResult TPartitionMap::AddVolumePartition(const VolumePartitionStatusRec* record,
                                            Boolean creating) {
  if (record == nullptr || working_ == nullptr) return kMirovaneErrNotFound;
  uint32_t index = 0;
  uint64_t size = 0;
  if (!CreateNewPartition(record->partitionSize.get(), &size, kTypeVolume, &index, nullptr)) {
    return kMirovaneErrNoSpace;
  }
  VolumePartitionStatusRec* slot = StatusRecordAtIndex(index);
  if (slot == nullptr) return kMirovaneErrNoSpace;
  std::memcpy(slot, record, sizeof(*slot));
  if (volumes_) volumes_->AddMirovaneVolumePartition(*slot, disk_, creating);
  return kMirovaneNoError;
}

MapResult TPartitionMap::DeleteVolumePartition(MVUID volumeID) {
  uint32_t index = 0;
  if (!FindPartitionWithUID(volumeID, &index)) return kMirovaneErrNotFound;
  DeletePartition(index);
  if (volumes_) volumes_->DeleteVolumePartition(volumeID, disk_);
  return kMirovaneNoError;
}

namespace {
bool IsVolumeLike(const Partition& e) {
  return PartitionTypeIs(e, kTypeVolume) || PartitionTypeIs(e, kTypeVolumeV1) ||
         PartitionTypeIs(e, kTypeHFS) || PartitionTypeIs(e, kTypeOldMirrorMember) ||
         PartitionTypeIs(e, kTypeOldStripeMember);
}
}  // namespace

uint32_t TPartitionMap::ReturnNumberPartitions() {
  uint32_t n = 0;
  for (uint32_t i = 1; i < entry_count_; ++i) n += IsVolumeLike(*GetPartitionMapEntryAtIndex(i));
  return n;
}

void TPartitionMap::FillInPartitionInfoArray(PartitionInfoRec* array, uint32_t count) {
  if (array == nullptr) return;
  std::memset(array, 0, sizeof(PartitionInfoRec) * count);
  uint32_t n = 0;
  for (uint32_t i = 1; i < entry_count_ && n < count; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    if (!IsVolumeLike(e)) continue;
    array[n].firstBlock = e.pmPyPartStart.get();
    array[n].blockCount = e.pmPartBlkCnt.get();
    std::memcpy(array[n].type, e.pmParType, sizeof(array[n].type));
    array[n].type[sizeof(array[n].type) - 1] = '\0';
    ++n;
  }
}

MapResult TPartitionMap::Update() {
  if (disk_ == nullptr || disk_->ReturnDriverType() != kDriverTypeMirovane || working_ == nullptr) {
    return kMirovaneErrNotFound;
  }
  if (status_version_ == kStatusRecordVersion1) {
    for (uint32_t i = 0; i < entry_count_; ++i) {
      Partition* e = GetPartitionMapEntryAtIndex(i);
      const char* renamed = nullptr;
      if (PartitionTypeIs(*e, kTypeStatusV1)) renamed = kTypeStatus;
      if (PartitionTypeIs(*e, kTypeVolumeV1)) renamed = kTypeVolume;
      if (PartitionTypeIs(*e, kTypeScratchV1)) renamed = kTypeScratch;
      if (renamed == nullptr && !PartitionTypeIs(*e, kTypePartitionMap)) continue;
      e->pmDataCnt.set(e->pmPartBlkCnt.get());
      if (renamed) SetPartitionType(e, renamed);
    }
  }
  status_version_ = kStatusRecordVersion2;
  working_->header.version.set(kStatusRecordVersion2);
  disk_->SetStatusRecVersion(status_version_);
  return kMirovaneNoError;
}
