// TPartitionMap: lifecycle, opening, reading and classifying a map, the status
// partition and the volume scan.

#include "tool/disks/partition_map.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/host.h"
#include "tool/disks/map_journal.h"

namespace {

// Internal result of reading a map under an undo record whose status copy is
// not on the disk: the record is stale and the live map is read instead.
constexpr MapResult kStaleJournal = -1;

bool HasTerminator(const char* field, size_t width) {
  return std::memchr(field, '\0', width) != nullptr;
}

bool IsOlderLayoutType(const Partition& e) {
  return PartitionTypeBeginsWith(e, kTypeOldMirrorMember, kOldMemberTypePrefix) ||
         PartitionTypeBeginsWith(e, kTypeOldStripeMember, kOldMemberTypePrefix) ||
         std::memcmp(e.pmParType, kOldDriverPattern, kOldDriverPatternBytes) == 0;
}

bool IsMirovaneType(const Partition& e) {
  for (const char* t : {kTypeStatus, kTypeVolume, kTypeScratch, kTypeStatusV1, kTypeVolumeV1,
                        kTypeScratchV1}) {
    if (PartitionTypeIs(e, t)) return true;
  }
  return false;
}

bool IsKnownAppleType(const Partition& e) {
  for (const char* t : {kTypePartitionMap, kTypeFree, kTypeHFS, kTypeHFSX, kTypeUFS,
                        "Apple_Patches", "Apple_Driver_OpenFirmware", "Apple_Driver_IOKit",
                        "Apple_FWDriver", "Apple_Driver_ATA", kTypeDriver43, "Apple_Boot"}) {
    if (PartitionTypeIs(e, t)) return true;
  }
  return false;
}

}  // namespace

bool TPartitionMap::Buffer::Allocate(size_t bytes) {
  data.reset(new (std::nothrow) uint8_t[bytes == 0 ? 1 : bytes]());
  size = data ? bytes : 0;
  return data != nullptr;
}

TPartitionMap::TPartitionMap(PartitionMapDisk* disk, PartitionMapVolumes* volumes)
    : disk_(disk), volumes_(volumes) {}

TPartitionMap::~TPartitionMap() { Close(); }

MapResult TPartitionMap::Open(Boolean readOnly) {
  if (device_) return kMirovaneNoError;
  const char* path = disk_ ? disk_->ReturnBSDPathname() : nullptr;
  if (path == nullptr) return kMirovaneErrReadFailed;
  platform::Host& host = platform::GetHost();
  read_only_ = readOnly;
  if (readOnly) {
    device_ = host.raw_devices().Open(path, platform::kBsdOpenReadOnly);
  } else {
    // 0x0A: read-write plus BSD O_APPEND, which the device layer drops.
    constexpr int kFlags = platform::kBsdOpenReadWrite | platform::kBsdOpenAppend;
    for (int attempt = 1; attempt <= kOpenAttempts && !device_; ++attempt) {
      device_ = host.raw_devices().Open(path, kFlags);
      if (!device_ && attempt < kOpenAttempts) host.clock().Sleep(1.0);
    }
  }
  if (!device_) return kMirovaneErrReadFailed;
  // Every bound is checked against the smaller of what the disk object says and
  // what the device holds.
  disk_bytes_ = disk_->ReturnTotalBytes();
  const int64_t device_size = device_->Size();
  if (device_size >= 0 && static_cast<uint64_t>(device_size) < disk_bytes_) {
    disk_bytes_ = static_cast<uint64_t>(device_size);
  }
  return kMirovaneNoError;
}

int TPartitionMap::Close() {
  device_.reset();
  return 0;
}

Partition* TPartitionMap::GetPartitionMapEntryAtIndex(uint32_t index) {
  if (index >= capacity_ || map_.data == nullptr) return nullptr;
  return reinterpret_cast<Partition*>(map_.data.get() + size_t{index} * block_size_);
}

VolumePartitionStatusRec* TPartitionMap::StatusRecordAtIndex(uint32_t index) {
  if (working_ == nullptr || index >= kStatusRecordsPerArea) return nullptr;
  return &working_->records[index];
}

uint32_t TPartitionMap::EditCapacity() const {
  return working_ ? std::min(capacity_, kStatusRecordsPerArea) : capacity_;
}

uint64_t TPartitionMap::DiskBlocks() const {
  return block_size_ == 0 ? 0 : disk_bytes_ / block_size_;
}

void TPartitionMap::ResetMapState() {
  map_.Free();
  status_.Free();
  temp_area_.reset();
  working_ = nullptr;
  block_size_ = entry_count_ = capacity_ = 0;
  free_bytes_ = largest_free_ = 0;
  status_size_ = 0;
  status_offset_ = 0;
  status_version_ = 0;
  driver_type_ = kDriverTypeNone;
  new_map_ = scratch_pending_ = false;
  scratch_size_ = 0;
  scratch_offset_ = 0;
  base_entries_.Free();
  base_count_ = base_capacity_ = base_block_size_ = base_status_size_ = 0;
  base_status_offset_ = 0;
  rolled_back_ = false;
  repaired_ = false;
  deferred_clears_.clear();
}

MapResult TPartitionMap::ReadMapAt(uint64_t offset, void* buffer, size_t length) {
  if (!device_ || offset > disk_bytes_ || length > disk_bytes_ - offset) {
    return kMirovaneErrReadFailed;
  }
  if (device_->Seek(static_cast<int64_t>(offset)) != static_cast<int64_t>(offset)) {
    return kMirovaneErrReadFailed;
  }
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = device_->Read(p + done, length - done);
    if (n <= 0) return kMirovaneErrReadFailed;
    done += static_cast<size_t>(n);
  }
  return kMirovaneNoError;
}

MapResult TPartitionMap::Read(Boolean scanVolumes) {
  ResetMapState();
  if (!device_) return kMirovaneErrReadFailed;

  Block0 block0;
  MapResult result = ReadMapAt(0, &block0, sizeof(block0));
  if (result != 0) return result;
  const uint32_t blockSize = block0.sbBlkSize.get();
  if (block0.sbSig.get() != kBlock0Signature || blockSize == 0 || blockSize % 512 != 0) {
    return kMirovaneNoError;  // no partition map
  }
  // Block 0 and the map's first entry must both fit on the disk.
  if (uint64_t{blockSize} * 2 > disk_bytes_) return kMirovaneErrReadFailed;

  Partition entry0;
  result = ReadMapAt(blockSize, &entry0, sizeof(entry0));
  if (result != 0) return result;
  if (entry0.pmSig.get() != kPartitionSignature) return kMirovaneNoError;

  const uint32_t count = entry0.pmMapBlkCnt.get();
  const uint32_t mapLength = entry0.pmPartBlkCnt.get();
  if (entry0.pmPyPartStart.get() != kNewMapFirstBlock || mapLength == 0 || count == 0 ||
      count > mapLength || count > kMaxMapEntries) {
    return kMirovaneErrReadFailed;
  }
  const uint32_t capacity = std::min(mapLength, kMaxMapEntries);
  if ((uint64_t{capacity} + 1) * blockSize > disk_bytes_) return kMirovaneErrReadFailed;
  if (!map_.Allocate(size_t{capacity} * blockSize)) return memFullErr;
  result = ReadMapAt(blockSize, map_.data.get(), map_.size);
  if (result != 0) {
    ResetMapState();
    return result;
  }
  block_size_ = blockSize;
  capacity_ = capacity;

  Buffer journal;
  uint32_t journalCount = 0;
  uint64_t journalStatusHash = 0;
  Buffer live;  // the map partition as found, while an undo record is being applied
  if (FindJournal(&journal, &journalCount, &journalStatusHash)) {
    // An unfinished change: read the layout as it was before it.
    if (!live.Allocate(map_.size)) {
      ResetMapState();
      return memFullErr;
    }
    std::memcpy(live.data.get(), map_.data.get(), map_.size);
    std::memset(map_.data.get(), 0, map_.size);
    for (uint32_t i = 0; i < journalCount; ++i) {
      std::memcpy(map_.data.get() + size_t{i} * block_size_,
                  journal.data.get() + size_t{i} * kPartitionEntryBytes, kPartitionEntryBytes);
    }
    entry_count_ = journalCount;
    result = InterpretMap(&journalStatusHash);
    if (result == 0) {
      rolled_back_ = true;
    } else if (result == memFullErr) {
      ResetMapState();
      return result;
    } else {
      // Stale or unusable record: the live map is the layout.
      std::memcpy(map_.data.get(), live.data.get(), map_.size);
      status_.Free();
      working_ = nullptr;
      status_size_ = 0;
      status_offset_ = 0;
      status_version_ = 0;
      result = kStaleJournal;
    }
  }
  if (!rolled_back_) {
    entry_count_ = count;
    result = InterpretMap(nullptr);
  }
  if (result != 0) {
    const int32_t type = driver_type_;
    ResetMapState();
    // A damaged map leaves nothing to edit; its classification is kept only when
    // the map itself was sound and the status partition failed.
    if (result == kMirovaneErrReadFailed && type == kDriverTypeMirovane) driver_type_ = type;
    return result;
  }

  // Blocks past the entries carry nothing (an old undo record at most).
  for (uint32_t i = entry_count_; i < capacity_; ++i) {
    std::memset(map_.data.get() + size_t{i} * block_size_, 0, block_size_);
  }
  if (rolled_back_ && !read_only_) {
    result = RepairInterruptedChange(live, journalCount);
    if (result != 0) {
      // What is on the disk now still reads as this layout (the repair is ordered
      // like a change), but this object no longer knows which status copy is
      // current there: it keeps nothing to write from.
      ResetMapState();
      return result;
    }
  }
  RememberBase();

  if (driver_type_ == kDriverTypeMirovane && scanVolumes) return ScanForMirovaneVolumes();
  if ((driver_type_ == kDriverTypeAppleBootRAID || driver_type_ == kDriverTypeAppleRAID) &&
      scanVolumes) {
    return ScanForAppleRAIDVolumes();
  }
  return kMirovaneNoError;
}

bool TPartitionMap::FindJournal(Buffer* entries, uint32_t* count, uint64_t* statusHash) const {
  if (capacity_ < 2) return false;
  const uint8_t* last = map_.data.get() + size_t{capacity_ - 1} * block_size_;
  MapJournalHeader header;
  std::memcpy(&header, last, sizeof(header));
  if (std::memcmp(header.magic, kMapJournalMagic, sizeof(kMapJournalMagic)) != 0) return false;
  if (header.headerHash.get() != Fnv1a64(&header, offsetof(MapJournalHeader, headerHash))) {
    return false;
  }
  const uint32_t n = header.entryCount.get();
  if (header.version.get() != kMapJournalVersion || header.blockSize.get() != block_size_ ||
      header.capacity.get() != capacity_ || n == 0 || n > kStatusRecordsPerArea ||
      uint64_t{n} * 2 + 1 > capacity_) {
    // Write puts the record past the entries it restores (and past the new ones):
    // a record that would overlap them is not one of ours.
    return false;
  }
  if (!entries->Allocate(size_t{n} * kPartitionEntryBytes)) return false;
  const uint32_t first = capacity_ - 1 - n;
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* stored = map_.data.get() + size_t{first + i} * block_size_;
    hash = Fnv1a64(stored, kPartitionEntryBytes, hash);
    std::memcpy(entries->data.get() + size_t{i} * kPartitionEntryBytes, stored,
                kPartitionEntryBytes);
  }
  if (hash != header.entriesHash.get()) return false;
  for (uint32_t i = 0; i < n; ++i) {
    auto* e = reinterpret_cast<Partition*>(entries->data.get() + size_t{i} * kPartitionEntryBytes);
    if (e->pmSig.get() != kMapJournalEntrySignature) return false;
    e->pmSig.set(kPartitionSignature);
  }
  *count = n;
  *statusHash = header.statusHash.get();
  return true;
}

MapResult TPartitionMap::InterpretMap(const uint64_t* wantedStatusHash) {
  driver_type_ = kDriverTypeOther;
  MapResult result = ValidateEntries();
  if (result != 0) return result;
  ScanPartitionMap();
  if (driver_type_ == kDriverTypeMirovane) {
    // Status record i belongs to entry i: a map with more entries than records
    // cannot be a map of this system.
    if (entry_count_ > kStatusRecordsPerArea) return kMirovaneErrReadFailed;
    return ReadDiskStatusPartition(wantedStatusHash);
  }
  return wantedStatusHash ? kStaleJournal : kMirovaneNoError;
}

MapResult TPartitionMap::ValidateEntries() const {
  const uint64_t blocks = DiskBlocks();
  struct Span {
    uint64_t first, end;
  };
  std::vector<Span> spans;
  spans.reserve(entry_count_);
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const auto* e = reinterpret_cast<const Partition*>(map_.data.get() + size_t{i} * block_size_);
    if (e->pmSig.get() != kPartitionSignature || e->pmMapBlkCnt.get() != entry_count_) {
      return kMirovaneErrReadFailed;
    }
    const uint64_t first = e->pmPyPartStart.get();
    const uint64_t length = e->pmPartBlkCnt.get();
    if (first + length > blocks) return kMirovaneErrReadFailed;
    if (!HasTerminator(e->pmPartName, kPartitionNameBytes)) return kMirovaneErrReadFailed;
    // Older-layout member types carry binary data after their first 11 characters.
    if (!HasTerminator(e->pmParType, kPartitionTypeBytes) && !IsOlderLayoutType(*e)) {
      return kMirovaneErrReadFailed;
    }
    if (length > 0) spans.push_back({first, first + length});
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.first < b.first; });
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].end) return kMirovaneErrReadFailed;
  }
  return kMirovaneNoError;
}

void TPartitionMap::ScanPartitionMap() {
  free_bytes_ = 0;
  largest_free_ = 0;
  bool decided = false;
  bool knownApple = false;
  int32_t type = kDriverTypeOther;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    if (!decided) {
      if (IsOlderLayoutType(e)) {
        type = kDriverTypeMirovane2;
        decided = true;
      } else if (IsMirovaneType(e)) {
        type = kDriverTypeMirovane;
        decided = true;
      } else if (PartitionTypeIs(e, kTypeAppleBootRAID)) {
        type = kDriverTypeAppleBootRAID;
        decided = true;
      } else if (PartitionTypeIs(e, kTypeAppleRAID)) {
        type = kDriverTypeAppleRAID;
        decided = true;
      } else if (IsKnownAppleType(e)) {
        knownApple = true;
      } else {
        decided = true;
      }
    }
    const uint64_t bytes = uint64_t{e.pmPartBlkCnt.get()} * block_size_;
    if (PartitionTypeIs(e, kTypeFree)) {
      free_bytes_ += bytes;
      largest_free_ = std::max(largest_free_, bytes);
    } else if (PartitionTypeIs(e, kTypeStatus) || PartitionTypeIs(e, kTypeStatusV1)) {
      // Sizes beyond 32 bits are kept out of range here and refused when read.
      status_size_ = bytes > kMaxStatusBytes ? kMaxStatusBytes + 1 : static_cast<uint32_t>(bytes);
      status_offset_ = uint64_t{e.pmPyPartStart.get()} * block_size_;
    }
  }
  if (!decided && knownApple) type = kDriverTypeApple;
  driver_type_ = type;
}

MapResult TPartitionMap::ReadDiskStatusPartition(const uint64_t* wantedStatusHash) {
  if (status_size_ == 0 || status_offset_ == 0) return kMirovaneErrReadFailed;
  if (status_size_ < kMinStatusBytes || status_size_ > kMaxStatusBytes) {
    return kMirovaneErrReadFailed;
  }
  if (!status_.Allocate(status_size_)) return memFullErr;
  MapResult result = ReadMapAt(status_offset_, status_.data.get(), status_size_);
  if (result != 0) return result;

  auto* a = reinterpret_cast<StatusArea*>(status_.data.get() + kStatusCopyAOffset);
  auto* b = reinterpret_cast<StatusArea*>(status_.data.get() + kStatusCopyBOffset);
  const uint32_t seqA = a->header.sequence.get();
  const uint32_t seqB = b->header.sequence.get();
  const bool aNewer = StatusCopyAIsNewer(seqA, seqB);
  const uint32_t newest = aNewer ? seqA : seqB;
  StatusArea* current = aNewer ? a : b;
  if (wantedStatusHash != nullptr) {
    // Rolling back: the copy that belongs to the map of the undo record.
    if (Fnv1a64(a, sizeof(StatusArea)) == *wantedStatusHash) {
      current = a;
    } else if (Fnv1a64(b, sizeof(StatusArea)) == *wantedStatusHash) {
      current = b;
    } else {
      return kStaleJournal;
    }
  }
  StatusArea* other = current == a ? b : a;
  std::memcpy(other, current, sizeof(StatusArea));
  other->header.sequence.set(newest + 1);
  working_ = other;
  status_version_ = working_->header.version.get();
  if (disk_) disk_->SetStatusRecVersion(status_version_);
  return kMirovaneNoError;
}

MapResult TPartitionMap::ScanForMirovaneVolumes() {
  if (volumes_ == nullptr) return kMirovaneNoError;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const Partition& e = *GetPartitionMapEntryAtIndex(i);
    if (!PartitionTypeIs(e, kTypeVolume) && !PartitionTypeIs(e, kTypeVolumeV1)) continue;
    const VolumePartitionStatusRec* record = StatusRecordAtIndex(i);
    if (record != nullptr) volumes_->AddMirovaneVolumePartition(*record, disk_, false);
  }
  return kMirovaneNoError;
}

void TPartitionMap::RememberBase() {
  base_count_ = 0;
  if (!base_entries_.Allocate(size_t{entry_count_} * kPartitionEntryBytes)) return;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    std::memcpy(base_entries_.data.get() + size_t{i} * kPartitionEntryBytes,
                GetPartitionMapEntryAtIndex(i), kPartitionEntryBytes);
  }
  base_count_ = entry_count_;
  base_capacity_ = capacity_;
  base_block_size_ = block_size_;
  base_status_offset_ = status_offset_;
  base_status_size_ = status_.size > 0 ? status_size_ : 0;
}
