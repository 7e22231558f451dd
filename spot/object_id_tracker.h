#pragma once
// TObjectIDTracker gives every ATA, SCSI, FireWire and USB bus of the machine a small
// number per bus type that stays the same while the machine runs, even across
// restarts of the watcher, and every FireWire disk a small number on its bus. The
// buses are found by walking the service plane for entries whose "device_type" names
// a bus; controllers with several channels become one bus per channel. The tables
// are kept in "/tmp/Mirovane.tmp" (under the machine root) between runs.
//
// Owned by the event handler, which creates it, calls Initialize at start-up, asks it
// while filling disk records and deletes it at the end (the destructor saves). Used
// only from the watcher's one thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/spot_event.h"
#include "platform/registry.h"

#pragma pack(push, 1)

// One known bus: its type, its number among the buses of that type, and its path in
// the service plane (NUL-padded; a path of 512 characters has no terminator).
struct BusRec {
  uint32_t busType;  // BusType
  uint32_t busNumber;
  char path[512];
};
static_assert(sizeof(BusRec) == 520);
static_assert(offsetof(BusRec, busNumber) == 4);
static_assert(offsetof(BusRec, path) == 8);

// One FireWire disk seen on one bus.
struct FireWireDiskRec {
  uint64_t guid;
  uint32_t busNumber;
  uint32_t diskNumber;
};
static_assert(sizeof(FireWireDiskRec) == 16);
static_assert(offsetof(FireWireDiskRec, busNumber) == 8);
static_assert(offsetof(FireWireDiskRec, diskNumber) == 12);

// Header of the saved-state file; the bus records and then the FireWire disk records
// follow it. Host byte order: the file is written and read only by the watcher on the
// same machine.
struct SavedStateHeader {
  uint32_t busCount;
  uint32_t fireWireDiskCount;
};
static_assert(sizeof(SavedStateHeader) == 8);
static_assert(offsetof(SavedStateHeader, fireWireDiskCount) == 4);

#pragma pack(pop)

inline constexpr const char* kSavedStatePath = "/tmp/Mirovane.tmp";
inline constexpr uint32_t kMaxSavedBusCount = 31;
inline constexpr uint32_t kMaxSavedFireWireDiskCount = 1023;
inline constexpr uint32_t kMaxSavedBusNumber = 32;
inline constexpr uint32_t kMaxSavedFireWireDiskNumber = 4095;
inline constexpr size_t kMaxSavedStateSize = sizeof(SavedStateHeader) +
                                             kMaxSavedBusCount * sizeof(BusRec) +
                                             kMaxSavedFireWireDiskCount * sizeof(FireWireDiskRec);
inline constexpr size_t kBusTypeCount = 5;  // kBusTypeATA .. kBusTypeUnknown

class TObjectIDTracker {
 public:
  TObjectIDTracker() = default;
  // Saves the tables (when there are any), then frees them.
  ~TObjectIDTracker();
  TObjectIDTracker(const TObjectIDTracker&) = delete;
  TObjectIDTracker& operator=(const TObjectIDTracker&) = delete;

  // Loads the saved state (a missing, damaged or implausible file is ignored) and adds
  // the buses present now. 0, or 1 when no memory was available for the loaded tables
  // or the registry walk failed.
  int Initialize();

  // Whether a known bus of `busType` contains `object`: a bus whose path is the
  // object's path or a leading part of it ending before a '/'. The first such bus in
  // table order wins. Its number, or 0, goes to *busNumber when given.
  bool FindBusID(BusType busType, platform::RegistryEntry object, uint32_t* busNumber);

  // The number of the FireWire disk `guid` on bus `busNumber`; a disk seen first gets
  // one more than the highest number on that bus (0 for the first).
  uint32_t ReturnFireWireDiskID(uint64_t guid, uint32_t busNumber);

  // Walks the service plane and adds the buses not known yet, then splits controllers
  // with channels. 1 when the walk could not be made, else 0.
  int ScanForBuses();
  // Appends a bus with the next number of its type; returns that number.
  uint32_t AddNewBus(BusType busType, platform::RegistryEntry object);
  // Inserts a bus record at `index`; later buses of the type numbered `busNumber` or
  // above move up by one.
  void InsertBusAtIndex(BusType busType, uint32_t index, uint32_t busNumber,
                        std::string_view path);
  // Gives each channel of a multi-channel controller a bus of its own.
  void CheckForBusesWithChannels();

  // --- Saved state -------------------------------------------------------------------
  enum class LoadResult { kLoaded, kDiscarded, kNoMemory };
  // Takes the tables from a saved-state image. Anything short, long, implausible or
  // inconsistent is discarded completely and the tracker starts empty.
  LoadResult LoadTables(const void* data, size_t size);
  // The saved-state image of the tables.
  std::string SerializeTables() const;
  // Writes the tables to the saved-state file; false when it could not be written.
  bool SaveTables() const;
  // Forgets every table and counter without saving.
  void DiscardTables();

  // --- Inspection --------------------------------------------------------------------
  uint32_t ReturnBusCount() const { return fBusCount; }
  const BusRec* ReturnBusRecords() const { return fBuses.get(); }
  uint32_t ReturnFireWireDiskCount() const { return fFireWireDiskCount; }
  const FireWireDiskRec* ReturnFireWireDiskRecords() const { return fFireWireDisks.get(); }
  uint32_t ReturnNextBusNumber(BusType busType) const {
    return busType < kBusTypeCount ? fNextNumber[busType] : 0;
  }

 private:
  // Whether an entry's own "device_type" names a bus, and which type.
  static bool BusTypeOfEntry(platform::RegistryEntry entry, BusType* busType);
  // Whether a known bus of `busType` lies below `path` (its channels, after a split).
  bool HasBusBelow(BusType busType, std::string_view path) const;
  // Makes room for one zeroed record at `index`; false (table unchanged) when memory
  // is short.
  bool GrowBusTable(uint32_t index);

  uint32_t fBusCount = 0;
  uint32_t fFireWireDiskCount = 0;
  uint32_t fNextNumber[kBusTypeCount] = {};  // indexed by BusType
  std::unique_ptr<BusRec[]> fBuses;
  std::unique_ptr<FireWireDiskRec[]> fFireWireDisks;
};
