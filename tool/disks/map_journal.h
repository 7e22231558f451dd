#pragma once
// The undo record Write keeps while it rewrites a map in place.
//
// While a change is being written, the map partition's unused tail holds a copy of
// the entries as they were before the change (the base map) and, in its last block,
// this header. The header names the copy of the status area that belongs to the
// base map by its hash. Write clears the tail as its very last map step, so a
// header that is still there tells the next reader that the change did not finish:
// it then uses the base map and the status copy with that hash, i.e. the layout as
// it was before. A reader that opened the disk read-write also writes that layout
// back and clears the record (partition_map_repair.cc), since other readers of the
// disk know nothing of it.
//
// The copied entries carry the signature "MJ" instead of "PM", and the header has
// none, so no reader of Apple Partition Maps takes them for entries; they lie past
// the entry count in any case.

#include <cstddef>
#include <cstdint>

#include "tool/disks/big_endian.h"

inline constexpr char kMapJournalMagic[8] = {'M', 'V', 'M', 'A', 'P', 'J', 'N', 'L'};
inline constexpr uint32_t kMapJournalVersion = 1;
inline constexpr uint16_t kMapJournalEntrySignature = 0x4D4A;  // "MJ"

struct MapJournalHeader {
  char magic[8];
  Be32 version;
  Be32 entryCount;    // entries of the base map, in the blocks just before this one
  Be32 blockSize;
  Be32 capacity;      // the map partition's length in blocks when it was written
  Be64 statusOffset;  // byte offset of the status partition of the base map
  Be64 statusHash;    // Fnv1a64 of the status area copy that goes with the base map
  Be64 entriesHash;   // Fnv1a64 of the copied entries (512 bytes each, as stored)
  Be64 headerHash;    // Fnv1a64 of the bytes before this field
  uint8_t zero[456];
};
static_assert(sizeof(MapJournalHeader) == 512);
static_assert(offsetof(MapJournalHeader, headerHash) == 48);

inline uint64_t Fnv1a64(const void* data, size_t length, uint64_t hash = 0xcbf29ce484222325ull) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
  return hash;
}
