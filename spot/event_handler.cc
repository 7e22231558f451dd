#include "spot/event_handler.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/registry_lookup.h"
#include "platform/host.h"

using platform::RegistryEntry;

TEventHandler* TEventHandler::gEventHandlerPtr = nullptr;

namespace {

// Which of the watcher's kinds of media an object is.
enum class MediumKind { kNone, kRAIDVolume, kDisk };

VolumeFormat FormatOfFileSystem(std::string_view fsType) {
  if (fsType == "hfs") return kVolumeFormatHFSPlus;
  if (fsType == "ufs") return kVolumeFormatUFS;
  if (fsType == "msdos") return kVolumeFormatMSDOS;
  return kVolumeFormatUnknown;
}

VolumeFormat CachedFormat(const CachedVolumeInfoRec& cached) {
  return cached.format <= kVolumeFormatUnknown ? static_cast<VolumeFormat>(cached.format)
                                               : kVolumeFormatUnknown;
}

}  // namespace

TEventHandler::TEventHandler(int outputFD) : fOutputFD(outputFD) { gEventHandlerPtr = this; }

TEventHandler::~TEventHandler() {
  // Ending the notifications first: nothing may reach a half-destroyed handler.
  fFirstMatchIterator.reset();
  fTerminateIterator.reset();
  fTracker.reset();  // saves the bus numbering
  fVolumeCache.reset();
  if (gEventHandlerPtr == this) gEventHandlerPtr = nullptr;
}

void TEventHandler::WriteRecord(const SpotEventRec& record) {
  // One write of the whole record, so that records never interleave on the pipe. A
  // signal or a short write (output that is not a pipe) must not put the reader out of
  // step, so the rest follows; a failed write loses the record, as nothing else can be
  // done with it.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  size_t done = 0;
  while (done < sizeof record) {
    const ssize_t n = ::write(fOutputFD, bytes + done, sizeof record - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int TEventHandler::InitializeTrackerAndCache() {
  fTracker.reset(new (std::nothrow) TObjectIDTracker());
  if (fTracker == nullptr || fTracker->Initialize() != 0) return 1;
  fVolumeCache.reset(new (std::nothrow) TCachedVolumeInfoArray());
  if (fVolumeCache == nullptr || fVolumeCache->Initialize() != 0) return 1;
  return 0;
}

int TEventHandler::Start() {
  if (InitializeTrackerAndCache() != 0) return 1;

  // Ejectable media (optical discs and the like) are never reported.
  platform::Matching media = platform::Matching::ServiceMatching("IOMedia");
  media.properties["Ejectable"] = platform::Property::Boolean(false);
  platform::Registry& registry = platform::GetHost().registry();
  fFirstMatchIterator = registry.AddNotification(
      platform::NotificationKind::kFirstMatch, media,
      [this](platform::RegistryIterator& iterator) { DiskAppeared(iterator); });
  if (fFirstMatchIterator == nullptr) return 1;
  fTerminateIterator = registry.AddNotification(
      platform::NotificationKind::kTerminate, media,
      [this](platform::RegistryIterator& iterator) { DiskDisappeared(iterator); });
  if (fTerminateIterator == nullptr) return 1;
  // Reports every medium present now and arms both notifications.
  DiskAppeared(*fFirstMatchIterator);
  DiskDisappeared(*fTerminateIterator);

  platform::DiskArbitration& diskArb = platform::GetHost().disk_arbitration();
  if (diskArb.Start() != 0) return 1;
  diskArb.OnDiskAppearedComplete([this](const platform::DiskAppearedComplete& disk) {
    VolumeAppeared(disk.bsd_name.c_str(), disk.volume_name.c_str(), disk.mount_point.c_str(),
                   disk.fs_type.c_str());
  });
  diskArb.OnDiskChanged([this](const platform::DiskChanged& change) {
    if (change.success != 0) {
      VolumeChanged(change.bsd_name.c_str(), change.volume_name.c_str(),
                    change.mount_point.c_str());
    }
  });
  diskArb.OnUnmountPost([this](const std::string& bsdName, int32_t error, int32_t) {
    if (error == 0) VolumeUnmounted(bsdName.c_str());
  });
  diskArb.OnEjectPost([](const std::string&, int32_t, int32_t) {});
  // Neither result stops the watcher: without them it merely takes no unrecognised disks.
  (void)diskArb.UpdateClientFlags();
  (void)diskArb.ClientHandlesUnrecognizedDisks(kUnrecognizedDiskMask, kUnrecognizedDiskPriority);
  diskArb.OnUnrecognizedDisk([this](const platform::UnrecognizedDisk& disk) {
    HandleUnrecognizedDisk(disk.bsd_name.c_str(), static_cast<uint8_t>(disk.is_removable & 0xFF));
  });
  return 0;
}

int TEventHandler::Initialize() {
  if (Start() != 0) return 1;
  return platform::GetHost().run_loop().Run() == 0 ? 0 : 1;
}

void TEventHandler::WriteVolumeAppeared(const char* bsdName, const CachedVolumeInfoRec& cached,
                                        MVUID volumeID, uint64_t size) {
  WriteRecord(MakeVolumeAppearedEvent(bsdName, volumeID, FieldText(cached.volumeName),
                                      FieldText(cached.mountPoint), CachedFormat(cached),
                                      cached.journaled != 0, cached.bootable != 0, size));
}

void TEventHandler::DiskAppeared(platform::RegistryIterator& iterator) {
  for (RegistryEntry object = iterator.Next(); object; object = iterator.Next()) {
    Boolean isPartition = 0;
    char bsdName[kBSDNameSize];
    uint64_t size = 0;
    uint32_t blockSize = 0;
    GetBSDNameAndSizes(object, &isPartition, bsdName, &size, &blockSize);
    CachedVolumeInfoRec* cached = fVolumeCache->FindRecWithBSDName(bsdName);

    MediumKind kind = MediumKind::kNone;
    MVUID volumeID = 0;
    BusType busType = kBusTypeUnknown;
    if (IsDiskMirovane(object)) {
      kind = MediumKind::kRAIDVolume;
      volumeID = GetMirovaneVolumeIDWithObjectPtr(object);
    } else if (IsDiskAppleRAID(object)) {
      kind = MediumKind::kRAIDVolume;
      volumeID = GetAppleRAIDVolumeIDWithObjectPtr(object);
    } else if (TestForDiskOnSupportedBus(object, &busType)) {
      kind = MediumKind::kDisk;
    }

    if (kind == MediumKind::kRAIDVolume) {
      if (cached != nullptr) {
        WriteVolumeAppeared(bsdName, *cached, volumeID, size);
        cached->volumeID = volumeID;
        cached->size = size;
      } else {
        fVolumeCache->AddNewRecToArray(bsdName, "", "", kVolumeFormatUnknown, 0, 0, size,
                                       volumeID);
      }
    } else if (kind == MediumKind::kDisk) {
      SpotEventRec record = MakeSpotEvent(kSpotDiskAppeared, bsdName);
      DiskAppearedRec& disk = record.payload.diskAppeared;
      if (!isPartition) {
        switch (busType) {
          case kBusTypeATA: FillInATADiskInfo(object, &disk); break;
          case kBusTypeFireWire: FillInFireWireDiskInfo(object, &disk); break;
          case kBusTypeSCSI: FillInSCSIDiskInfo(object, &disk); break;
          case kBusTypeUSB: FillInUSBDiskInfo(object, &disk); break;
          case kBusTypeUnknown: break;
        }
      }
      disk.ident.busType = busType;
      FillInDeviceLocation(object, &disk);
      disk.isPartition = isPartition != 0 ? 1 : 0;
      disk.size = size;
      disk.blockSize = blockSize;
      WriteRecord(record);
      if (cached != nullptr) {
        cached->size = size;
        if (cached->volumeName[0] != '\0') {
          WriteVolumeAppeared(bsdName, *cached, cached->volumeID, cached->size);
        }
      } else {
        fVolumeCache->AddNewRecToArray(bsdName, "", "", kVolumeFormatUnknown, 0, 0, size, 0);
      }
    }
  }
}

void TEventHandler::DiskDisappeared(platform::RegistryIterator& iterator) {
  for (RegistryEntry object = iterator.Next(); object; object = iterator.Next()) {
    const MVUID volumeID = GetMirovaneVolumeIDWithObjectPtr(object);
    // A RAID volume of this system is reported only when a supported bus lies above it.
    if (!TestForDiskOnSupportedBus(object, nullptr) && volumeID != 0) continue;
    Boolean isPartition = 0;
    char bsdName[kBSDNameSize];
    uint64_t size = 0;
    GetBSDNameAndSizes(object, &isPartition, bsdName, &size, nullptr);
    fVolumeCache->RemoveRecWithBSDName(bsdName);
    WriteRecord(MakeDiskDisappearedEvent(bsdName, isPartition != 0, size));
  }
}

void TEventHandler::VolumeAppeared(const char* bsdName, const char* volumeName,
                                   const char* mountPoint, const char* fsType) {
  Boolean journaled = 0;
  Boolean bootable = 0;
  const Boolean removable = IsDiskRemovable(bsdName);
  CachedVolumeInfoRec* cached = fVolumeCache->FindRecWithBSDName(bsdName);
  const bool named = volumeName != nullptr && *volumeName != '\0' && fsType != nullptr &&
                     *fsType != '\0';
  if (!((!removable && named) || (cached != nullptr && cached->volumeID != 0))) return;

  char rootDirectory[kPathBufferSize];
  ConvertToVolumeRootDirectory(mountPoint, rootDirectory, sizeof rootDirectory);
  VolumeFormat format = FormatOfFileSystem(fsType != nullptr ? fsType : "");
  if (format == kVolumeFormatHFSPlus) FillInHFSHeaderInfo(bsdName, &format, &journaled);
  if (mountPoint != nullptr && *mountPoint != '\0') bootable = IsBootable(rootDirectory, format);

  if (cached != nullptr) {
    SetFieldText(cached->volumeName, volumeName != nullptr ? volumeName : "");
    SetFieldText(cached->mountPoint, rootDirectory);
    cached->format = format;
    cached->journaled = journaled;
    cached->bootable = bootable;
    WriteVolumeAppeared(bsdName, *cached, cached->volumeID, cached->size);
  } else {
    // The medium's registry notification has not come yet; it writes the record. The
    // mount point is kept in its root-directory form, as when that notification came
    // first, so the tool sees one form whatever the order.
    fVolumeCache->AddNewRecToArray(bsdName, volumeName, rootDirectory, format, journaled,
                                   bootable, 0, 0);
  }
}

void TEventHandler::VolumeChanged(const char* bsdName, const char* volumeName,
                                  const char* mountPoint) {
  CachedVolumeInfoRec* cached = fVolumeCache->FindRecWithBSDName(bsdName);
  if (cached == nullptr) return;
  char rootDirectory[kPathBufferSize];
  ConvertToVolumeRootDirectory(mountPoint, rootDirectory, sizeof rootDirectory);
  SetFieldText(cached->volumeName, volumeName != nullptr ? volumeName : "");
  SetFieldText(cached->mountPoint, rootDirectory);
  // The tool takes this byte as the volume's bootable state: a renamed volume that is
  // still mounted keeps what was found when it was mounted.
  const bool bootable = cached->bootable != 0 && rootDirectory[0] != '\0';
  WriteRecord(MakeVolumeChangedEvent(bsdName, FieldText(cached->volumeName), rootDirectory,
                                     CachedFormat(*cached), cached->journaled != 0, bootable,
                                     cached->size));
}

void TEventHandler::VolumeUnmounted(const char* bsdName) {
  CachedVolumeInfoRec* cached = fVolumeCache->FindRecWithBSDName(bsdName);
  if (cached == nullptr) return;
  std::memset(cached->mountPoint, 0, sizeof cached->mountPoint);
  WriteRecord(MakeVolumeChangedEvent(bsdName, FieldText(cached->volumeName), "",
                                     CachedFormat(*cached), cached->journaled != 0, false,
                                     cached->size));
}

void TEventHandler::HandleUnrecognizedDisk(const char* bsdName, uint8_t flag) {
  bool claim = false;
  const RegistryEntry object = GetIOKitObjectWithBSDName(bsdName);
  if (object) {
    const bool supported = TestForDiskOnSupportedBus(object, nullptr) != 0;
    const bool raidVolume =
        platform::GetHost().registry().GetProperty(object, "Mirovane Volume ID").has_value();
    claim = flag == 0 && (supported || raidVolume);
  }
  (void)platform::GetHost().disk_arbitration().ClientWillHandleUnrecognizedDisk(
      bsdName != nullptr ? bsdName : "", claim ? 1 : 0);
}
