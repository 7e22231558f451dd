#include "spot/object_id_tracker.h"

#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/registry_lookup.h"
#include "platform/host.h"

namespace {

std::string_view PathOf(const BusRec& bus) { return FieldText(bus.path); }

std::optional<std::string> ServicePath(platform::RegistryEntry entry) {
  return platform::GetHost().registry().GetPath(entry, platform::Plane::kService);
}

}  // namespace

bool TObjectIDTracker::BusTypeOfEntry(platform::RegistryEntry entry, BusType* busType) {
  const std::optional<platform::Property> deviceType =
      platform::GetHost().registry().GetProperty(entry, "device_type");
  if (!deviceType) return false;
  // Compared by prefix, so "ata-6" is an ATA bus; "k2-sata" is not counted.
  static constexpr std::pair<const char*, BusType> kBusNames[] = {
      {"scsi", kBusTypeSCSI},
      {"ata", kBusTypeATA},
      {"ieee1394", kBusTypeFireWire},
      {"usb", kBusTypeUSB},
  };
  for (const auto& [name, type] : kBusNames) {
    if (CompareCFTypeRefToString(deviceType, name, 1)) {
      *busType = type;
      return true;
    }
  }
  return false;
}

bool TObjectIDTracker::FindBusID(BusType busType, platform::RegistryEntry object,
                                 uint32_t* busNumber) {
  if (busNumber != nullptr) *busNumber = 0;
  if (fBuses == nullptr) return false;
  const std::optional<std::string> path = ServicePath(object);
  if (!path) return false;
  for (uint32_t i = 0; i < fBusCount; ++i) {
    const BusRec& bus = fBuses[i];
    if (bus.busType != busType) continue;
    const std::string_view busPath = PathOf(bus);
    if (busPath.empty() || path->compare(0, busPath.size(), busPath) != 0) continue;
    // A sibling whose name merely begins like the bus's is not on it.
    if (path->size() != busPath.size() && (*path)[busPath.size()] != '/') continue;
    if (busNumber != nullptr) *busNumber = bus.busNumber;
    return true;
  }
  return false;
}

bool TObjectIDTracker::HasBusBelow(BusType busType, std::string_view path) const {
  for (uint32_t i = 0; i < fBusCount; ++i) {
    const std::string_view busPath = PathOf(fBuses[i]);
    if (fBuses[i].busType == busType && busPath.size() > path.size() &&
        busPath.substr(0, path.size()) == path && busPath[path.size()] == '/') {
      return true;
    }
  }
  return false;
}

uint32_t TObjectIDTracker::ReturnFireWireDiskID(uint64_t guid, uint32_t busNumber) {
  bool onBus = false;
  uint32_t highest = 0;
  for (uint32_t i = 0; i < fFireWireDiskCount; ++i) {
    const FireWireDiskRec& disk = fFireWireDisks[i];
    if (disk.busNumber != busNumber) continue;
    if (disk.guid == guid) return disk.diskNumber;
    if (!onBus || disk.diskNumber > highest) highest = disk.diskNumber;
    onBus = true;
  }
  const uint32_t diskNumber = onBus ? highest + 1 : 0;
  std::unique_ptr<FireWireDiskRec[]> grown(new (std::nothrow)
                                               FireWireDiskRec[fFireWireDiskCount + 1]());
  if (grown == nullptr) return 0;
  if (fFireWireDiskCount > 0) {
    std::memcpy(grown.get(), fFireWireDisks.get(), fFireWireDiskCount * sizeof(FireWireDiskRec));
  }
  grown[fFireWireDiskCount] = FireWireDiskRec{guid, busNumber, diskNumber};
  fFireWireDisks = std::move(grown);
  ++fFireWireDiskCount;
  return diskNumber;
}

int TObjectIDTracker::ScanForBuses() {
  std::unique_ptr<platform::RegistryIterator> iterator =
      platform::GetHost().registry().CreateIterator(platform::Plane::kService,
                                                    platform::kIterateRecursively);
  if (iterator == nullptr) return 1;
  for (platform::RegistryEntry entry = iterator->Next(); entry; entry = iterator->Next()) {
    BusType busType;
    if (!BusTypeOfEntry(entry, &busType)) continue;
    if (FindBusID(busType, entry, nullptr)) continue;
    const std::optional<std::string> path = ServicePath(entry);
    if (!path) continue;
    // A controller whose channels were split into buses on an earlier run is known
    // through them; adding it again would give it a second, phantom number.
    if (HasBusBelow(busType, *path)) continue;
    AddNewBus(busType, entry);
  }
  CheckForBusesWithChannels();
  return 0;
}

bool TObjectIDTracker::GrowBusTable(uint32_t index) {
  std::unique_ptr<BusRec[]> grown(new (std::nothrow) BusRec[fBusCount + 1]());
  if (grown == nullptr) return false;
  if (index > 0) std::memcpy(grown.get(), fBuses.get(), index * sizeof(BusRec));
  if (index < fBusCount) {
    std::memcpy(grown.get() + index + 1, fBuses.get() + index,
                (fBusCount - index) * sizeof(BusRec));
  }
  fBuses = std::move(grown);
  return true;
}

uint32_t TObjectIDTracker::AddNewBus(BusType busType, platform::RegistryEntry object) {
  if (busType >= kBusTypeCount) return 0;
  const std::optional<std::string> path = ServicePath(object);
  if (!GrowBusTable(fBusCount)) return 0;
  BusRec& bus = fBuses[fBusCount];
  bus.busType = busType;
  bus.busNumber = fNextNumber[busType]++;
  SetFieldText(bus.path, path.value_or(std::string()));
  ++fBusCount;
  return bus.busNumber;
}

void TObjectIDTracker::InsertBusAtIndex(BusType busType, uint32_t index, uint32_t busNumber,
                                        std::string_view path) {
  if (busType >= kBusTypeCount || index > fBusCount) return;
  if (!GrowBusTable(index)) return;
  BusRec& bus = fBuses[index];
  bus.busType = busType;
  bus.busNumber = busNumber;
  SetFieldText(bus.path, path);
  ++fBusCount;
  for (uint32_t i = index + 1; i < fBusCount; ++i) {
    if (fBuses[i].busType == busType && fBuses[i].busNumber >= busNumber) ++fBuses[i].busNumber;
  }
  ++fNextNumber[busType];
}

void TObjectIDTracker::CheckForBusesWithChannels() {
  platform::Registry& registry = platform::GetHost().registry();
  std::unique_ptr<platform::RegistryIterator> iterator =
      registry.CreateIterator(platform::Plane::kService, platform::kIterateRecursively);
  if (iterator == nullptr || fBusCount == 0) return;

  // (bus record index, channel path), in walk order.
  std::vector<std::pair<uint32_t, std::string>> channels;
  for (platform::RegistryEntry entry = iterator->Next(); entry; entry = iterator->Next()) {
    if (!registry.GetProperty(entry, "Channel")) continue;
    const std::optional<std::string> path = ServicePath(entry);
    if (!path) continue;
    for (uint32_t i = 0; i < fBusCount; ++i) {
      const std::string_view busPath = PathOf(fBuses[i]);
      if (!busPath.empty() && path->compare(0, busPath.size(), busPath) == 0) {
        channels.emplace_back(i, *path);
        break;
      }
    }
  }

  // From the last record to the first, so that insertions behind a record never move
  // the records still to be handled.
  for (uint32_t i = fBusCount; i-- > 0;) {
    uint32_t inserted = 0;
    const BusType busType = static_cast<BusType>(fBuses[i].busType);
    const uint32_t busNumber = fBuses[i].busNumber;
    for (const auto& [index, path] : channels) {
      if (index != i) continue;
      if (inserted == 0) {
        SetFieldText(fBuses[i].path, path);
      } else {
        InsertBusAtIndex(busType, i + inserted, busNumber + inserted, path);
      }
      ++inserted;
    }
  }
}
