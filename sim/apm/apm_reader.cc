#include "sim/apm/apm_reader.h"

#include <cstring>

namespace sim {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string FixedText(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace

ApmMap ReadApplePartitionMap(const DiskReader& read, uint64_t disk_size) {
  ApmMap map;
  uint8_t block[512];
  if (disk_size < 1024 || !read(0, block, sizeof block)) return map;
  if (Be16(block) != 0x4552) return map;
  uint32_t block_size = Be16(block + 2);
  // A block size that is not a positive multiple of 512 cannot place the entries.
  if (block_size == 0 || block_size % 512 != 0) return map;
  if (!read(block_size, block, sizeof block) || Be16(block) != 0x504D) return map;
  map.present = true;
  map.block_size = block_size;
  uint64_t disk_blocks = disk_size / block_size;
  uint32_t count = Be32(block + 4);
  if (count > kMaxApmEntries) count = kMaxApmEntries;
  for (uint32_t i = 1; i <= count; ++i) {
    uint64_t offset = uint64_t{i} * block_size;
    if (offset + sizeof block > disk_size) break;
    if (i > 1 && !read(offset, block, sizeof block)) break;
    if (Be16(block) != 0x504D) break;
    ApmEntry e;
    e.index = static_cast<int>(i);
    e.start_block = Be32(block + 8);
    e.block_count = Be32(block + 12);
    e.name = FixedText(block + 16, 32);
    e.type = FixedText(block + 48, 32);
    e.fits = e.start_block < disk_blocks && e.block_count <= disk_blocks - e.start_block;
    map.entries.push_back(std::move(e));
  }
  return map;
}

}  // namespace sim
