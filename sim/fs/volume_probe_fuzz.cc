// Probing and renaming over arbitrary volume contents.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/fs/volume_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Volumes are at least a few blocks; short inputs are padded with zeros so the
  // interesting offsets (1024, 8192) are reachable.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() < 16384) bytes.resize(16384, '\0');
  sim::MemoryStore store(bytes);
  (void)sim::ProbeVolume(store);
  (void)sim::RenameVolume(store, "Fuzzed Name");
  (void)sim::ProbeVolume(store);
  return 0;
}
