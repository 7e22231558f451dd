// The partition map reader over arbitrary disk contents: once as they come, and once
// with the block-0 and entry signatures forced in, so that the entries themselves
// (counts, extents, texts) are what varies.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/apm/apm_reader.h"

namespace {

void Read(const std::vector<uint8_t>& disk, uint64_t claimed_size) {
  sim::DiskReader reader = [&](uint64_t offset, void* buffer, size_t length) {
    if (offset > disk.size() || length > disk.size() - offset) return false;
    std::memcpy(buffer, disk.data() + offset, length);
    return true;
  };
  (void)sim::ReadApplePartitionMap(reader, claimed_size);
  // Claim a larger disk too: reads past the data must fail cleanly.
  (void)sim::ReadApplePartitionMap(reader, claimed_size * 4096 + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(data, data + size);
  Read(disk, disk.size());
  if (disk.size() < 4096) disk.resize(4096, 0);
  disk[0] = 0x45;
  disk[1] = 0x52;
  disk[2] = 0x02;  // 512-byte blocks
  disk[3] = 0x00;
  for (size_t at = 512; at + 1 < disk.size(); at += 512) {
    disk[at] = 0x50;
    disk[at + 1] = 0x4D;
  }
  Read(disk, disk.size());
  return 0;
}
