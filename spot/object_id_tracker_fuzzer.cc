// Feeds arbitrary saved-state images to the bus numbering tracker's loader. Whatever
// it takes must be plausible enough to be written back byte for byte and to be
// worked on (new FireWire disks, inserted buses) without reading or writing out of
// bounds. Besides the raw input, an image of consistent size is shaped from it, so
// that the plausibility checks behind the size check are reached often.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "spot/object_id_tracker.h"

namespace {

void Check(const uint8_t* data, size_t size) {
  TObjectIDTracker tracker;
  if (tracker.LoadTables(data, size) == TObjectIDTracker::LoadResult::kLoaded) {
    const std::string image = tracker.SerializeTables();
    if (image.size() != size || std::memcmp(image.data(), data, size) != 0) std::abort();
    const uint32_t busCount = tracker.ReturnBusCount();
    const uint32_t next = tracker.ReturnNextBusNumber(kBusTypeATA);
    (void)tracker.ReturnFireWireDiskID(0x0030650000000001, 0);
    (void)tracker.ReturnFireWireDiskID(0x0030650000000001, kMaxSavedBusNumber);
    tracker.InsertBusAtIndex(kBusTypeATA, busCount / 2, 0, "IOService:/fuzz");
    if (tracker.ReturnBusCount() != busCount + 1 ||
        tracker.ReturnNextBusNumber(kBusTypeATA) != next + 1) {
      std::abort();
    }
  }
  // Nothing is saved from here: the fuzzer has no machine to save to.
  tracker.DiscardTables();
}

// Counts from the first two bytes; the records cut from the rest, with the numbers
// folded into small ranges.
std::string Shape(const uint8_t* data, size_t size) {
  if (size < 2) return {};
  SavedStateHeader header{data[0] % 33u, data[1] % 8u};
  std::string image(reinterpret_cast<const char*>(&header), sizeof header);
  size_t at = 2;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  for (uint32_t i = 0; i < header.busCount; ++i) {
    BusRec bus{};
    bus.busType = next() % 6u;
    bus.busNumber = next() % 34u;
    const size_t length = next() % 8u;
    for (size_t c = 0; c < length; ++c) bus.path[c] = static_cast<char>(next() | 1);
    image.append(reinterpret_cast<const char*>(&bus), sizeof bus);
  }
  for (uint32_t i = 0; i < header.fireWireDiskCount; ++i) {
    FireWireDiskRec disk{next(), next() % 34u, next()};
    image.append(reinterpret_cast<const char*>(&disk), sizeof disk);
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(data, size);
  const std::string shaped = Shape(data, size);
  Check(reinterpret_cast<const uint8_t*>(shaped.data()), shaped.size());
  return 0;
}
