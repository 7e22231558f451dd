// The partition map reader over arbitrary disk contents.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sim/apm/apm_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::DiskReader reader = [&](uint64_t offset, void* buffer, size_t length) {
    if (offset > size || length > size - offset) return false;
    std::memcpy(buffer, data + offset, length);
    return true;
  };
  // Claim a disk larger than the input too: reads past the data must fail cleanly.
  (void)sim::ReadApplePartitionMap(reader, size);
  (void)sim::ReadApplePartitionMap(reader, uint64_t{size} * 4096);
  return 0;
}
