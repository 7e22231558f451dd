// TPartitionMap: writing a map back with read-after-write verification.
//
// Order of writes, chosen so that an interrupted change (a failed write, a crash
// that loses every later write, a write torn after some whole sectors) always
// reads back as the old layout or the new one:
//
// Changing a map that was read from the disk ("journaled write"):
//   1. Undo record: the entries as they were read, and a header naming the status
//      copy that belongs to them, into the unused tail of the map partition
//      (map_journal.h). From here on a reader that finds the record rolls back.
//   2. Status partition: everything except the working copy's first sector, then
//      that sector. Until the header sector with the new sequence number lands,
//      the other copy stays the newer one.
//   3. The live entries (the map partition without its tail).
//   4. The tail cleared: the change is complete. A torn clear leaves a record whose
//      entry hash no longer matches, which readers ignore.
// Readers without the record see a mixture between steps 2 and 4 until the next
// read-write open writes the old layout back (partition_map_repair.cc).
// The record needs room: the tail must not touch the old or the new entries
// (old count + max(old, new count) + 1 <= capacity), and the map partition, block
// size and status partition must be where they were. Otherwise ("direct write")
// steps 2 and 3 run without a record; a crash inside step 3 can then leave a torn
// map, which Read refuses.
//
// A new map (initialise):
//   1. If block 0 holds a map signature, it is cleared first: an old block 0 must
//      never lead a reader into a half-written new map.
//   2. The start and end of the new partitions are cleared (deferred from
//      Create for the same reason).
//   3. Status partition, 4. map, 5. block 0 last: until block 0 lands the disk
//      has no map; after it, the whole new layout is there.
//
// Then, for a new scratch partition, the zeroing passes.

#include <algorithm>
#include <cstring>

#include "platform/host.h"
#include "tool/disks/disk_state.h"
#include "tool/disks/map_journal.h"
#include "tool/disks/partition_map.h"

MapResult TPartitionMap::Write(uint32_t* diskState, uint32_t* progress, uint32_t progressSpan) {
  if (!device_) return kMirovaneErrWriteFailed;
  if (map_.data == nullptr || (driver_type_ == kDriverTypeNone && !new_map_)) {
    return kMirovaneErrNotFound;
  }
  Sort();
  if (verify_.data == nullptr && !verify_.Allocate(kVerifyBufferBytes)) return memFullErr;
  if (working_) working_->header.entryCount.set(entry_count_);

  MapResult result;
  if (new_map_) {
    result = WriteNewMap();
  } else if (JournalFits()) {
    result = WriteJournaled();
  } else {
    result = WriteDirect();
  }
  if (result != 0) return result;

  new_map_ = false;
  AdvanceWorkingCopy();
  RememberBase();

  if (scratch_pending_) {
    result = ClearScratch(diskState, progress, progressSpan);
    if (result == 0) scratch_pending_ = false;
  }
  return result;
}

MapResult TPartitionMap::WriteAndVerify(uint64_t offset, const void* data, size_t length,
                                        bool verify) {
  if (!device_ || offset > disk_bytes_ || length > disk_bytes_ - offset) {
    return kMirovaneErrWriteFailed;
  }
  const auto where = static_cast<int64_t>(offset);
  if (device_->Seek(where) != where) return kMirovaneErrWriteFailed;
  if (device_->Write(data, length) != static_cast<ssize_t>(length)) return kMirovaneErrWriteFailed;
  if (!verify) return kMirovaneNoError;
  if (verify_.data == nullptr && !verify_.Allocate(kVerifyBufferBytes)) return memFullErr;
  if (device_->Seek(where) != where) return kMirovaneErrWriteFailed;
  const auto* expected = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < length;) {
    const size_t piece = std::min<size_t>(length - done, verify_.size);
    std::memset(verify_.data.get(), 0x04, piece);
    if (device_->Read(verify_.data.get(), piece) != static_cast<ssize_t>(piece)) {
      return kMirovaneErrWriteFailed;
    }
    if (std::memcmp(verify_.data.get(), expected + done, piece) != 0) {
      return kMirovaneErrWriteFailed;
    }
    done += piece;
  }
  return kMirovaneNoError;
}

MapResult TPartitionMap::WriteStatusPartition() {
  if (status_.data == nullptr || working_ == nullptr) return kMirovaneNoError;
  const size_t header = reinterpret_cast<uint8_t*>(working_) - status_.data.get();
  if (header != kStatusCopyAOffset && header != kStatusCopyBOffset) return kMirovaneErrWriteFailed;
  constexpr size_t kSector = 512;
  const uint8_t* base = status_.data.get();
  MapResult result = kMirovaneNoError;
  if (header > 0) result = WriteAndVerify(status_offset_, base, header, true);
  if (result == 0) {
    result = WriteAndVerify(status_offset_ + header + kSector, base + header + kSector,
                            status_size_ - header - kSector, true);
  }
  if (result == 0) result = WriteAndVerify(status_offset_ + header, base + header, kSector, true);
  return result;
}

StatusArea* TPartitionMap::OtherStatusCopy(const StatusArea* copy) {
  auto* a = reinterpret_cast<StatusArea*>(status_.data.get() + kStatusCopyAOffset);
  auto* b = reinterpret_cast<StatusArea*>(status_.data.get() + kStatusCopyBOffset);
  return copy == a ? b : a;
}

void TPartitionMap::AdvanceWorkingCopy() {
  if (working_ == nullptr || status_.data == nullptr) return;
  // The working copy is now the current one on the disk: the next change edits the
  // other copy, so that this one stays intact until it is superseded.
  StatusArea* other = OtherStatusCopy(working_);
  std::memcpy(other, working_, sizeof(StatusArea));
  other->header.sequence.set(working_->header.sequence.get() + 1);
  working_ = other;
}

MapResult TPartitionMap::WriteStatusCopy(const StatusArea* copy) {
  // One copy alone, its header sector last: the copy counts as written only once
  // its sequence number lands, and the other copy is not touched at all.
  constexpr size_t kSector = 512;
  const size_t start = reinterpret_cast<const uint8_t*>(copy) - status_.data.get();
  if (start != kStatusCopyAOffset && start != kStatusCopyBOffset) return kMirovaneErrWriteFailed;
  constexpr size_t kCopyStride = kStatusCopyBOffset - kStatusCopyAOffset;
  const size_t end = std::min<size_t>(start + kCopyStride, status_size_);
  if (end < start + sizeof(StatusArea)) return kMirovaneErrWriteFailed;
  const uint8_t* base = status_.data.get();
  MapResult result = WriteAndVerify(status_offset_ + start + kSector, base + start + kSector,
                                    end - start - kSector, true);
  if (result == 0) result = WriteAndVerify(status_offset_ + start, base + start, kSector, true);
  return result;
}

MapResult TPartitionMap::WriteNewMap() {
  Block0 current;
  if (ReadMapAt(0, &current, sizeof(current)) != 0) return kMirovaneErrWriteFailed;
  MapResult result = kMirovaneNoError;
  if (current.sbSig.get() == kBlock0Signature) {
    Block0 cleared;
    std::memset(&cleared, 0, sizeof(cleared));
    result = WriteAndVerify(0, &cleared, sizeof(cleared), true);
  }
  for (const auto& [start, size] : deferred_clears_) {
    if (result == 0 && !ClearRange(start, size)) result = kMirovaneErrWriteFailed;
  }
  if (result == 0) deferred_clears_.clear();
  if (result == 0) result = WriteStatusPartition();
  if (result == 0) result = WriteAndVerify(block_size_, map_.data.get(), MapBytes(), true);
  if (result == 0) {
    Buffer block;
    if (!block.Allocate(block_size_)) return memFullErr;
    InitializeBlock0Rec(block.data.get(), disk_bytes_, block_size_);
    result = WriteAndVerify(0, block.data.get(), block.size, true);
  }
  return result;
}

size_t TPartitionMap::MapBytes() const {
  // The map partition may have been shortened (to make room for a status
  // partition) after the buffer was read: only its present length is written.
  return std::min(map_.size, size_t{capacity_} * block_size_);
}

bool TPartitionMap::JournalFits() const {
  return base_count_ > 0 && base_entries_.data && status_.data && working_ &&
         base_capacity_ == capacity_ && base_block_size_ == block_size_ &&
         base_status_offset_ == status_offset_ && base_status_size_ == status_size_ &&
         uint64_t{base_count_} + std::max(base_count_, entry_count_) + 1 <= capacity_ &&
         base_count_ <= kStatusRecordsPerArea;
}

MapResult TPartitionMap::WriteJournaled() {
  const uint32_t first = capacity_ - 1 - base_count_;  // map block index of the record
  Buffer record;
  if (!record.Allocate(size_t{base_count_ + 1} * block_size_)) return memFullErr;
  uint64_t entriesHash = 0xcbf29ce484222325ull;
  for (uint32_t i = 0; i < base_count_; ++i) {
    uint8_t* slot = record.data.get() + size_t{i} * block_size_;
    std::memcpy(slot, base_entries_.data.get() + size_t{i} * kPartitionEntryBytes,
                kPartitionEntryBytes);
    reinterpret_cast<Partition*>(slot)->pmSig.set(kMapJournalEntrySignature);
    entriesHash = Fnv1a64(slot, kPartitionEntryBytes, entriesHash);
  }
  const auto* a = reinterpret_cast<const StatusArea*>(status_.data.get() + kStatusCopyAOffset);
  const auto* b = reinterpret_cast<const StatusArea*>(status_.data.get() + kStatusCopyBOffset);
  const StatusArea* before = working_ == a ? b : a;  // the copy as read, untouched
  MapJournalHeader header;
  std::memset(&header, 0, sizeof(header));
  std::memcpy(header.magic, kMapJournalMagic, sizeof(header.magic));
  header.version.set(kMapJournalVersion);
  header.entryCount.set(base_count_);
  header.blockSize.set(block_size_);
  header.capacity.set(capacity_);
  header.statusOffset.set(status_offset_);
  header.statusHash.set(Fnv1a64(before, sizeof(StatusArea)));
  header.entriesHash.set(entriesHash);
  header.headerHash.set(Fnv1a64(&header, offsetof(MapJournalHeader, headerHash)));
  std::memcpy(record.data.get() + size_t{base_count_} * block_size_, &header, sizeof(header));

  const uint64_t recordOffset = uint64_t{block_size_} * (1 + first);
  MapResult result = WriteAndVerify(recordOffset, record.data.get(), record.size, true);
  if (result == 0) result = WriteStatusPartition();
  if (result == 0) {
    result = WriteAndVerify(block_size_, map_.data.get(), size_t{first} * block_size_, true);
  }
  if (result == 0) {
    Buffer zeros;
    if (!zeros.Allocate(record.size)) return memFullErr;
    result = WriteAndVerify(recordOffset, zeros.data.get(), zeros.size, true);
    if (result != 0) {
      // The change is reported as failed, so the disk must read as before it:
      // put the undo record back (best effort; the disk is failing already).
      (void)WriteAndVerify(recordOffset, record.data.get(), record.size, true);
    }
  }
  return result;
}

MapResult TPartitionMap::WriteDirect() {
  MapResult result = WriteStatusPartition();
  if (result == 0) result = WriteAndVerify(block_size_, map_.data.get(), MapBytes(), true);
  return result;
}

MapResult TPartitionMap::ClearScratch(uint32_t* diskState, uint32_t* progress,
                                      uint32_t progressSpan) {
  if (diskState) *diskState = kDiskClearingScratch;
  Buffer zeros;
  if (!zeros.Allocate(kVerifyBufferBytes)) return memFullErr;
  platform::Clock& clock = platform::GetHost().clock();
  const double start = clock.AbsoluteTime();
  const uint32_t progressAtEntry = progress ? *progress : 0;
  for (;;) {
    for (uint64_t done = 0; done < scratch_size_;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(scratch_size_ - done, zeros.size));
      MapResult result = WriteAndVerify(scratch_offset_ + done, zeros.data.get(), piece, true);
      if (result != 0) return result;
      done += piece;
    }
    const double elapsed = clock.AbsoluteTime() - start;
    const uint32_t whole = elapsed <= 0 ? 0
                           : elapsed >= kScratchClearSeconds
                               ? static_cast<uint32_t>(kScratchClearSeconds)
                               : static_cast<uint32_t>(elapsed);
    if (progress) *progress = progressAtEntry + progressSpan * whole / 10;
    if (elapsed >= kScratchClearSeconds) return kMirovaneNoError;
  }
}
