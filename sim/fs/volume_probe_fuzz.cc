// Probing and renaming over arbitrary volume contents. The first input byte picks
// which signature is forced in (none, HFS Plus, an HFS wrapper around HFS Plus, UFS,
// FAT) so that what lies behind each signature is what varies.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/fs/volume_probe.h"

namespace {

void Put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t variant = data[0] % 5;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (bytes.size() < 16384) bytes.resize(16384, '\0');
  switch (variant) {
    case 1:
      // A header whose catalog is the rest of the input: 4 KiB blocks, the catalog
      // in blocks 1 to 3, so its B-tree nodes are what varies.
      Put16(bytes, 1024, 0x482B);
      Put16(bytes, 1024 + 42, 0x1000);
      Put16(bytes, 1024 + 272 + 6, 0x3000);
      Put16(bytes, 1024 + 272 + 18, 1);
      Put16(bytes, 1024 + 272 + 22, 3);
      break;
    case 2:
      Put16(bytes, 1024, 0x4244);
      Put16(bytes, 1024 + 124, 0x482B);
      break;
    case 3:
      Put16(bytes, 8192 + 1372, 0x0001);
      Put16(bytes, 8192 + 1374, 0x1954);
      break;
    case 4:
      bytes[0] = static_cast<char>(0xEB);
      bytes[510] = 0x55;
      bytes[511] = static_cast<char>(0xAA);
      break;
    default: break;
  }
  sim::MemoryStore store(bytes);
  (void)sim::ProbeVolume(store);
  (void)sim::RenameVolume(store, "Fuzzed Name");
  (void)sim::ProbeVolume(store);
  return 0;
}
