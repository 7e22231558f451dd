#pragma once
// TEventHandler: the disk watcher. It follows storage media through the registry's
// first-match and terminate notifications and volumes through Disk Arbitration, joins
// the two through the volume cache, identifies each disk (bus, position, identity,
// vendor text, location) and reports everything as 252-byte SpotEventRec records,
// each written to its output with one write. It also answers Disk Arbitration's
// question about unrecognised disks, so that members of RAID volumes do not raise the
// system's handling of unreadable disks.
//
// One instance per process, published in gEventHandlerPtr. It owns the bus numbering
// tracker and the volume cache (the destructor deletes both; the tracker saves its
// state then) and the two notification iterators. Everything runs on the thread that
// runs the host's run loop, one callback at a time.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/spot_event.h"
#include "framework/mac_types.h"
#include "platform/registry.h"
#include "spot/cached_volume_info.h"
#include "spot/object_id_tracker.h"

// Disk Arbitration's unrecognised-disk offer: the kinds of disks this client takes
// and the priority of its claim.
inline constexpr uint32_t kUnrecognizedDiskMask = 0x3C0F;
inline constexpr int32_t kUnrecognizedDiskPriority = 20;

inline constexpr size_t kBSDNameSize = 16;
inline constexpr size_t kHexStringSize = 24;  // "00 11 22 33 44 55 66 77" and a NUL
inline constexpr size_t kPathBufferSize = 1024;

class TEventHandler {
 public:
  // Records go to `outputFD` (standard output in the program).
  explicit TEventHandler(int outputFD = STDOUT_FILENO);
  ~TEventHandler();
  TEventHandler(const TEventHandler&) = delete;
  TEventHandler& operator=(const TEventHandler&) = delete;

  static TEventHandler* gEventHandlerPtr;

  // --- Program -----------------------------------------------------------------------
  // Start() and then the host's run loop: 1 when start-up fails, 0 when the run loop
  // was stopped.
  int Initialize();
  // Everything before the run loop: tracker and cache, the media notifications (the
  // media present now are reported at once), the Disk Arbitration session and its
  // callbacks. 0, or 1 on the first step that failed.
  int Start();
  // The tracker (its saved state read, the buses scanned) and the volume cache.
  int InitializeTrackerAndCache();

  void DiskAppeared(platform::RegistryIterator& iterator);
  void DiskDisappeared(platform::RegistryIterator& iterator);
  void VolumeAppeared(const char* bsdName, const char* volumeName, const char* mountPoint,
                      const char* fsType);
  void VolumeChanged(const char* bsdName, const char* volumeName, const char* mountPoint);
  void VolumeUnmounted(const char* bsdName);
  void HandleUnrecognizedDisk(const char* bsdName, uint8_t flag);

  // --- Disk identification -----------------------------------------------------------
  // BSD name (cut-off names are not taken), partition flag, size and, when asked for,
  // the preferred block size; what is missing stays 0 or empty.
  void GetBSDNameAndSizes(platform::RegistryEntry object, Boolean* partitionFlag,
                          char bsdName[kBSDNameSize], uint64_t* size, uint32_t* blockSize);
  // True when an 's' comes after the last 'k' (disk0s3), not for disk0 or disk12.
  static Boolean IsDiskAPartition(const char* bsdName);
  Boolean TestForDiskOnSupportedBus(platform::RegistryEntry object, BusType* busType);
  Boolean IsDiskMirovane(platform::RegistryEntry object);
  MVUID GetMirovaneVolumeIDWithObjectPtr(platform::RegistryEntry object);
  Boolean IsDiskAppleRAID(platform::RegistryEntry object);
  MVUID GetAppleRAIDVolumeIDWithObjectPtr(platform::RegistryEntry object);
  void FillInATADiskInfo(platform::RegistryEntry object, DiskAppearedRec* record);
  void FillInSCSIDiskInfo(platform::RegistryEntry object, DiskAppearedRec* record);
  void FillInFireWireDiskInfo(platform::RegistryEntry object, DiskAppearedRec* record);
  void FillInUSBDiskInfo(platform::RegistryEntry object, DiskAppearedRec* record);
  void FillInVendorAndProductInfo(platform::RegistryEntry object, DiskAppearedRec* record);
  void FillInDeviceLocation(platform::RegistryEntry object, DiskAppearedRec* record);
  Boolean IsDiskRemovable(const char* bsdName);

  // --- Text forms --------------------------------------------------------------------
  // Appends `text` at *position of a zeroed buffer, leaving room for one NUL; with
  // `trim`, trailing NULs and spaces and then leading spaces are dropped first.
  static void CatVendorAndProductString(char* buffer, const char* text, size_t bufferSize,
                                        size_t* position, Boolean trim);
  // The eight bytes, most significant first, as two uppercase hex digits each,
  // separated by single spaces: 23 characters and a NUL.
  static void ConvertUInt64ToHexString(uint64_t value, char text[kHexStringSize]);
  // Skips leading spaces, ends the text after its last other character, returns the
  // start.
  static char* StripSpaces(char* text);
  // The mount point with a '/' appended when it is longer than one character; empty
  // when it is longer than outSize - 3.
  static void ConvertToVolumeRootDirectory(const char* mountPoint, char* out, size_t outSize);

  // --- Volumes -----------------------------------------------------------------------
  // Refines *format (set to kVolumeFormatHFSPlus by the caller) from the volume header
  // of the raw device and sets *journaled.
  void FillInHFSHeaderInfo(const char* bsdName, VolumeFormat* format, Boolean* journaled);
  // Whether the volume mounted at `rootDirectory` (a machine path) holds a startable
  // system: HFS Plus or UFS with a system version file, a kernel and the boot file.
  Boolean IsBootable(const char* rootDirectory, VolumeFormat format);

  TObjectIDTracker* ReturnTrackerPtr() const { return fTracker.get(); }
  TCachedVolumeInfoArray* ReturnVolumeCachePtr() const { return fVolumeCache.get(); }

 private:
  // One write of the whole record. Its result is ignored: a reader that went away
  // ends the watcher through SIGPIPE.
  void WriteRecord(const SpotEventRec& record);
  // The tracker's number of the bus of `busType` above `object`; 0 when none is known.
  uint32_t TrackedBusNumber(BusType busType, platform::RegistryEntry object);
  void WriteVolumeAppeared(const char* bsdName, const CachedVolumeInfoRec& cached,
                           MVUID volumeID, uint64_t size);

  int fOutputFD;
  std::unique_ptr<platform::RegistryIterator> fFirstMatchIterator;
  std::unique_ptr<platform::RegistryIterator> fTerminateIterator;
  std::unique_ptr<TObjectIDTracker> fTracker;
  std::unique_ptr<TCachedVolumeInfoArray> fVolumeCache;
};
