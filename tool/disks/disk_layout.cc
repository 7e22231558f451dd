#include "tool/disks/disk_layout.h"

#include <cstring>

const char kOldDriverPattern[kOldDriverPatternBytes] = {
    'A', 'p', 'p', 'l', 'e', '_', 'D', 'r', 'i', 'v', 'e',
    'r', '4', '3', '\0', '\0', 'R', 'a', 'i', 'D', 'v', 'r'};

void InitializeBlock0Rec(void* block0, uint64_t diskBytes, uint32_t blockSize) {
  if (block0 == nullptr) return;
  auto* b = static_cast<Block0*>(block0);
  std::memset(b, 0, sizeof(*b));
  b->sbSig.set(kBlock0Signature);
  b->sbBlkSize.set(static_cast<uint16_t>(blockSize));
  b->sbBlkCount.set(blockSize == 0 ? 0 : static_cast<uint32_t>(diskBytes / blockSize));
}

void InitializePartitionMapEntry(Partition* entry, uint32_t mapEntries, uint32_t firstBlock,
                                 uint64_t partitionBytes, uint32_t blockSize, const char* name,
                                 const char* type) {
  std::memset(entry, 0, sizeof(*entry));
  entry->pmSig.set(kPartitionSignature);
  entry->pmMapBlkCnt.set(mapEntries);
  entry->pmPyPartStart.set(firstBlock);
  const uint32_t length = blockSize == 0 ? 0 : static_cast<uint32_t>(partitionBytes / blockSize);
  entry->pmPartBlkCnt.set(length);
  CopyTextField(entry->pmPartName, kPartitionNameBytes, name);
  SetPartitionType(entry, type);
  if (PartitionTypeIs(*entry, kTypeFree)) return;
  entry->pmDataCnt.set(length);
  const bool volume = PartitionTypeIs(*entry, kTypeVolume) || PartitionTypeIs(*entry, kTypeHFS);
  entry->pmPartStatus.set(volume ? kPartitionStatusVolume : kPartitionStatusMapEntry);
}

uint32_t DetermineDiskBlockSize(uint64_t diskBytes, uint32_t sectorSize) {
  // 64-bit arithmetic throughout: the quotient of a disk beyond 2^64 / 2^32 bytes
  // would wrap if it were cut to 32 bits first.
  const uint64_t q = diskBytes / 0xFFFFFFFFull;
  uint64_t r = (q + 511) / 512 * 512;
  if (r == 0) r = 512;
  const uint64_t s = sectorSize == 0 ? 1 : sectorSize;
  const uint64_t result = (r + s - 1) / s * s;
  return result > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(result);
}

void CopyTextField(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  if (text == nullptr) return;
  std::memcpy(field, text, strnlen(text, width));
}

bool StatusCopyAIsNewer(uint32_t a, uint32_t b) {
  if (a > b && !(a == 0xFFFFFFFFu && b == 0)) return true;
  return a == 0 && b == 0xFFFFFFFFu;
}

bool PartitionTypeIs(const Partition& entry, const char* type) {
  const size_t n = std::strlen(type);
  if (n >= kPartitionTypeBytes) return false;
  return std::memcmp(entry.pmParType, type, n) == 0 && entry.pmParType[n] == '\0';
}

bool PartitionTypeBeginsWith(const Partition& entry, const char* prefix, size_t length) {
  return length <= kPartitionTypeBytes && std::memcmp(entry.pmParType, prefix, length) == 0;
}

void SetPartitionType(Partition* entry, const char* type) {
  std::memset(entry->pmParType, 0, kPartitionTypeBytes);
  CopyTextField(entry->pmParType, kPartitionTypeBytes, type);
}
