#pragma once
// An Apple Partition Map reader for the machine: finds the map of a disk image and
// lists its entries. Everything on the disk is untrusted: block sizes, counts and
// extents are checked, the number of entries is bounded, and entries that do not fit
// the disk are reported as such instead of being used.
//
// Layout read (big-endian): block 0 carries the signature "ER" and the block size
// (16 bits at offset 2); map entries sit at blocks 1, 2, ... of that size, each with
// the signature "PM", the number of map entries (32 bits at 4), the first block (8)
// and the block count (12) of its partition, its name (32 bytes at 16) and type (32
// bytes at 48).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct ApmEntry {
  int index = 0;  // 1 for the first entry (the map itself)
  uint64_t start_block = 0;
  uint64_t block_count = 0;
  std::string name;
  std::string type;
  bool fits = true;  // the partition lies inside the disk
};

struct ApmMap {
  bool present = false;  // false: no partition map on the disk
  uint32_t block_size = 0;
  std::vector<ApmEntry> entries;
};

inline constexpr int kMaxApmEntries = 512;

// Reads `length` bytes at `offset` of the disk into `buffer`; false when it cannot.
using DiskReader = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

// The map of a disk of `disk_size` bytes. A disk without the signatures has no map
// (present false). A map whose entries stop early (a block without "PM", a read
// that fails) keeps the entries read so far.
ApmMap ReadApplePartitionMap(const DiskReader& read, uint64_t disk_size);

}  // namespace sim
