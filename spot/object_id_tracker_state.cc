// The tracker's saved state: loading (with every value checked before it is used),
// the image written back, and the file itself.

#include <cstring>
#include <new>
#include <optional>

#include "platform/host.h"
#include "spot/object_id_tracker.h"
#include "spot/private_file.h"

namespace {

std::string SavedStateHostPath() {
  return platform::GetHost().paths().Resolve(kSavedStatePath);
}

// Bus records as this tracker writes them: a known type, a plausible number, a path,
// and per type the numbers 0 .. n-1 each exactly once (numbering never leaves gaps or
// repeats, and a repeated number would give two buses the same identity).
bool BusRecordsArePlausible(const BusRec* buses, uint32_t count) {
  bool seen[kBusTypeCount][kMaxSavedBusNumber + 1] = {};
  uint32_t perType[kBusTypeCount] = {};
  for (uint32_t i = 0; i < count; ++i) {
    const BusRec& bus = buses[i];
    if (bus.busType >= kBusTypeCount || bus.busNumber > kMaxSavedBusNumber) return false;
    if (bus.path[0] == '\0') return false;
    if (seen[bus.busType][bus.busNumber]) return false;
    seen[bus.busType][bus.busNumber] = true;
    ++perType[bus.busType];
  }
  for (size_t type = 0; type < kBusTypeCount; ++type) {
    for (uint32_t number = 0; number < perType[type]; ++number) {
      if (!seen[type][number]) return false;
    }
  }
  return true;
}

// FireWire disk records: a GUID, a plausible bus, and a disk number in range (numbers
// per bus start at 0 and grow by one, so they stay far below the bound; the bound
// keeps the next number from wrapping).
bool FireWireRecordsArePlausible(const FireWireDiskRec* disks, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (disks[i].guid == 0 || disks[i].busNumber > kMaxSavedBusNumber ||
        disks[i].diskNumber > kMaxSavedFireWireDiskNumber) {
      return false;
    }
  }
  return true;
}

}  // namespace

TObjectIDTracker::~TObjectIDTracker() {
  if (fBuses != nullptr || fFireWireDisks != nullptr) {
    // A file that cannot be written is simply not written; the next run starts afresh.
    (void)SaveTables();
  }
}

int TObjectIDTracker::Initialize() {
  const std::optional<std::string> image =
      ReadPrivateFile(SavedStateHostPath(), kMaxSavedStateSize);
  if (image && LoadTables(image->data(), image->size()) == LoadResult::kNoMemory) return 1;
  return ScanForBuses();
}

TObjectIDTracker::LoadResult TObjectIDTracker::LoadTables(const void* data, size_t size) {
  DiscardTables();
  const auto* bytes = static_cast<const uint8_t*>(data);
  SavedStateHeader header;
  if (bytes == nullptr || size < sizeof header) return LoadResult::kDiscarded;
  std::memcpy(&header, bytes, sizeof header);
  if (header.busCount > kMaxSavedBusCount ||
      header.fireWireDiskCount > kMaxSavedFireWireDiskCount) {
    return LoadResult::kDiscarded;
  }
  const size_t busBytes = size_t{header.busCount} * sizeof(BusRec);
  const size_t diskBytes = size_t{header.fireWireDiskCount} * sizeof(FireWireDiskRec);
  if (size != sizeof header + busBytes + diskBytes) return LoadResult::kDiscarded;

  std::unique_ptr<BusRec[]> buses;
  std::unique_ptr<FireWireDiskRec[]> disks;
  if (header.busCount > 0) {
    buses.reset(new (std::nothrow) BusRec[header.busCount]());
    if (buses == nullptr) return LoadResult::kNoMemory;
    std::memcpy(buses.get(), bytes + sizeof header, busBytes);
  }
  if (header.fireWireDiskCount > 0) {
    disks.reset(new (std::nothrow) FireWireDiskRec[header.fireWireDiskCount]());
    if (disks == nullptr) return LoadResult::kNoMemory;
    std::memcpy(disks.get(), bytes + sizeof header + busBytes, diskBytes);
  }
  if (!BusRecordsArePlausible(buses.get(), header.busCount) ||
      !FireWireRecordsArePlausible(disks.get(), header.fireWireDiskCount)) {
    return LoadResult::kDiscarded;
  }

  fBuses = std::move(buses);
  fBusCount = header.busCount;
  fFireWireDisks = std::move(disks);
  fFireWireDiskCount = header.fireWireDiskCount;
  for (uint32_t i = 0; i < fBusCount; ++i) ++fNextNumber[fBuses[i].busType];
  return LoadResult::kLoaded;
}

std::string TObjectIDTracker::SerializeTables() const {
  // A FireWire disk without a GUID gets a number while the watcher runs but is not
  // saved: a record with GUID 0 would make the next run discard the whole file.
  SavedStateHeader header{fBusCount, 0};
  for (uint32_t i = 0; i < fFireWireDiskCount; ++i) {
    if (fFireWireDisks[i].guid != 0) ++header.fireWireDiskCount;
  }
  std::string image(reinterpret_cast<const char*>(&header), sizeof header);
  if (fBusCount > 0) {
    image.append(reinterpret_cast<const char*>(fBuses.get()), fBusCount * sizeof(BusRec));
  }
  for (uint32_t i = 0; i < fFireWireDiskCount; ++i) {
    if (fFireWireDisks[i].guid == 0) continue;
    image.append(reinterpret_cast<const char*>(&fFireWireDisks[i]), sizeof(FireWireDiskRec));
  }
  return image;
}

bool TObjectIDTracker::SaveTables() const {
  const std::string image = SerializeTables();
  return ReplacePrivateFile(SavedStateHostPath(), image.data(), image.size());
}

void TObjectIDTracker::DiscardTables() {
  fBuses.reset();
  fFireWireDisks.reset();
  fBusCount = 0;
  fFireWireDiskCount = 0;
  for (uint32_t& next : fNextNumber) next = 0;
}
