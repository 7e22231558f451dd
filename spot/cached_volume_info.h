#pragma once
// TCachedVolumeInfoArray: what the watcher knows about each medium and volume it has
// seen, found by BSD name. It joins the two sources of the watcher: the registry's
// media notifications give the size and a RAID volume's identity, Disk Arbitration
// gives the volume's name, mount point and format; whichever arrives second writes
// the volume-appeared record from what the cache holds.
//
// Owns its records. Memory only; used only from the watcher's one thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/spot_event.h"
#include "framework/mac_types.h"

#pragma pack(push, 1)
struct CachedVolumeInfoRec {
  char bsdName[16];
  char volumeName[64];
  char mountPoint[80];
  uint32_t format;  // VolumeFormat
  uint8_t journaled;
  uint8_t bootable;
  uint8_t reserved[2];
  uint64_t size;     // bytes
  MVUID volumeID;    // 0 for an ordinary volume
};
static_assert(sizeof(CachedVolumeInfoRec) == 184);
static_assert(offsetof(CachedVolumeInfoRec, volumeName) == 16);
static_assert(offsetof(CachedVolumeInfoRec, mountPoint) == 80);
static_assert(offsetof(CachedVolumeInfoRec, format) == 160);
static_assert(offsetof(CachedVolumeInfoRec, journaled) == 164);
static_assert(offsetof(CachedVolumeInfoRec, bootable) == 165);
static_assert(offsetof(CachedVolumeInfoRec, size) == 168);
static_assert(offsetof(CachedVolumeInfoRec, volumeID) == 176);
#pragma pack(pop)

class TCachedVolumeInfoArray {
 public:
  // 0, or 1 when the array cannot be made.
  int Initialize();
  // The first record whose whole BSD name is `bsdName`, or nullptr.
  CachedVolumeInfoRec* FindRecWithBSDName(const char* bsdName);
  // Appends a zeroed record filled from the arguments (texts cut to their fields).
  // Silently does nothing when memory is short.
  void AddNewRecToArray(const char* bsdName, const char* volumeName, const char* mountPoint,
                        VolumeFormat format, Boolean journaled, Boolean bootable, uint64_t size,
                        MVUID volumeID);
  // Removes and frees the first record of that name; nothing when there is none.
  void RemoveRecWithBSDName(const char* bsdName);
  size_t ReturnCount() const { return fRecords.size(); }

 private:
  std::vector<std::unique_ptr<CachedVolumeInfoRec>> fRecords;
};
