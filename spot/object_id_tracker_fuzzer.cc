// Feeds arbitrary saved-state images to the bus numbering tracker's loader. Whatever
// it takes must be plausible enough to be written back byte for byte and to be
// worked on (new FireWire disks, inserted buses) without reading or writing out of
// bounds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "spot/object_id_tracker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
  return 0;
}
