// TPartitionMap: putting the disk itself back after an interrupted change.
//
// Read rolls an interrupted change back in memory from the undo record
// (map_journal.h). Readers that know nothing of the record (the kernel driver,
// other partition tools, the machine's partition probe) read the live entries and
// take the status copy with the newer sequence number, so until the disk is put
// back they can see the new status records beside the old entries, or a torn
// map. On a read-write open Read therefore writes the rolled-back layout back,
// with only the writes it still needs:
//   1. Status: when the copy a plain reader takes is neither the base copy (the
//      one the record names by its hash) nor equal to it, the other copy (never
//      the base copy: the record depends on it) gets the base copy's contents and
//      a sequence number that wins over the base copy's, header sector last.
//   2. The live entries, when they differ from the base map.
//   3. The record is cleared.
// Until step 3 lands the record stays valid, so every state in between reads back
// as the base layout to this engine, and the next repair picks up where this one
// stopped. Once step 3 lands (or tears, which invalidates the record), the live
// entries and the current status copy are the base layout for every reader.

#include <cstring>

#include "tool/disks/partition_map.h"

MapResult TPartitionMap::RepairInterruptedChange(const Buffer& live, uint32_t journalCount) {
  // FindJournal accepts only records that lie past the entries they restore.
  if (journalCount == 0 || uint64_t{journalCount} * 2 + 1 > capacity_ || live.size != map_.size) {
    return kMirovaneErrReadFailed;
  }
  const uint32_t first = capacity_ - 1 - journalCount;  // map block of the record
  MapResult result = RepairStatusCopy();
  const size_t liveBytes = size_t{first} * block_size_;
  // Blocks past the base entries are zero in map_, as a completed change leaves them.
  if (result == 0 && std::memcmp(live.data.get(), map_.data.get(), liveBytes) != 0) {
    result = WriteAndVerify(block_size_, map_.data.get(), liveBytes, true);
  }
  if (result == 0) {
    Buffer zeros;
    if (!zeros.Allocate(size_t{journalCount + 1} * block_size_)) return memFullErr;
    const uint64_t recordOffset = uint64_t{block_size_} * (1 + first);
    result = WriteAndVerify(recordOffset, zeros.data.get(), zeros.size, true);
  }
  if (result == 0) repaired_ = true;
  return result;
}

MapResult TPartitionMap::RepairStatusCopy() {
  if (working_ == nullptr || status_.data == nullptr) return kMirovaneErrReadFailed;
  // Read left the base copy as found, and the base contents in the other slot.
  StatusArea* base = OtherStatusCopy(working_);
  StatusArea* spare = working_;
  const size_t spareStart = reinterpret_cast<uint8_t*>(spare) - status_.data.get();
  // Raw devices transfer whole sectors: the copy is read with the rest of its
  // last sector.
  constexpr size_t kCopySectors = (sizeof(StatusArea) + 511) / 512;
  Buffer sectors;
  if (!sectors.Allocate(kCopySectors * 512)) return memFullErr;
  if (spareStart + sectors.size > status_size_) return kMirovaneErrReadFailed;
  MapResult result = ReadMapAt(status_offset_ + spareStart, sectors.data.get(), sectors.size);
  if (result != 0) return result;
  auto* found = reinterpret_cast<StatusArea*>(sectors.data.get());

  const uint32_t baseSequence = base->header.sequence.get();
  const uint32_t foundSequence = found->header.sequence.get();
  const bool spareIsA = spareStart == kStatusCopyAOffset;
  const auto spareWins = [&](uint32_t sequence) {
    return spareIsA ? StatusCopyAIsNewer(sequence, baseSequence)
                    : !StatusCopyAIsNewer(baseSequence, sequence);
  };
  // Readers take the base copy already: the spare slot is the next working copy,
  // as Read prepared it.
  if (!spareWins(foundSequence)) return kMirovaneNoError;

  found->header.sequence.set(baseSequence);
  const bool equal = std::memcmp(found, base, sizeof(StatusArea)) == 0;
  std::memcpy(spare, base, sizeof(StatusArea));
  if (equal) {
    // An earlier repair wrote it and was interrupted later on.
    spare->header.sequence.set(foundSequence);
  } else {
    // Past the interrupted copy's number, so that nothing that saw that copy takes
    // this one for older; where the wrap-around rule would then let the base copy
    // win, one past the base copy's.
    const uint32_t next = foundSequence + 1;
    spare->header.sequence.set(spareWins(next) ? next : baseSequence + 1);
    result = WriteStatusCopy(spare);
    if (result != 0) return result;
  }
  // The spare copy is the current one on the disk now.
  AdvanceWorkingCopy();
  return kMirovaneNoError;
}
