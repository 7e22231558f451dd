#pragma once
// Writers of small but well-formed volumes, for the machine's stand-in formatting
// tools and for tests: an HFS Plus / HFSX volume (volume header and its alternate,
// allocation bitmap, an empty extents B-tree and a catalog B-tree holding the root
// folder and its thread record), a UFS superblock with this machine's label, and
// the journaled attribute of an HFS Plus volume.

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/fs/block_store.h"

namespace sim {

struct HfsPlusFormat {
  std::string name;
  bool case_sensitive = false;  // HFSX
  bool journaled = false;       // sets the attribute and a journal info block
  uint32_t block_size = 4096;   // a power of two from 512 to 65536
  uint32_t create_date = 0;     // seconds since 1904; 0: now
};

// 0; EINVAL for a bad block size or name; ENOSPC for a volume too small to hold
// the metadata; EIO when it cannot be written.
int FormatHfsPlus(BlockStore& volume, const HfsPlusFormat& format);
// 0, EINVAL, ENOSPC or EIO.
int FormatUfs(BlockStore& volume, std::string_view name, uint64_t fs_id);
// Sets or clears the journaled attribute of an HFS Plus / HFSX volume (the volume
// itself, not a wrapper). 0; EINVAL when it holds no such volume; EIO.
int SetHfsPlusJournaled(BlockStore& volume, bool journaled);

}  // namespace sim
