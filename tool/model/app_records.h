#pragma once
// The records of the application protocol: references to disk and volume objects,
// command parameters, the list reply (header, disk, volume, connection and event
// records) and the command codes. Host byte order, packed at fixed offsets, zero-
// filled before they are filled; text fields are NUL-padded and have no terminator
// when full.

#include <cstddef>
#include <cstdint>

#include "common/spot_event.h"
#include "common/volume_state.h"
#include "framework/mac_types.h"
#include "tool/model/mirovane_error.h"

enum ApplicationCommandID : uint32_t {
  kCmdTest = 1,
  kCmdRestart = 2,
  kCmdGetEvents = 3,
  kCmdSetPathname = 4,
  kCmdStartSpot = 5,
  kCmdGetProcessID = 6,
  kCmdSelfRepair = 7,
  kCmdGetList = 8,
  kCmdQuit = 9,
  kCmdSetApplicationActive = 11,
  kCmdUninstall = 12,
  kCmdCreateSystemLogFile = 13,
  kCmdMirovaneCDOperations = 14,
  kCmdInstallCDOperations = 15,
  kCmdUtilityCDOperations = 16,
  kCmdExpandTempDiskImage = 17,
  kCmdInstallDriver = 20,
  kCmdIsDriverInstalled = 21,
  kCmdTouchExtensionsFolder = 22,
  kCmdIsDriverRunning = 23,
  kCmdGetPreferences = 24,
  kCmdSetPreferences = 25,
  kCmdGetDriverVersions = 26,
  kCmdSetDriverVersion = 27,
  kCmdGetDiskInfo = 30,
  kCmdInitializeDisk = 31,
  kCmdConvertDisk = 32,
  kCmdUpdateStatusRecords = 33,
  kCmdZeroDisk = 34,
  kCmdBlinkDisks = 35,
  kCmdStopBlinkingDisks = 36,
  kCmdGetPartitionInfo = 37,
  kCmdGetPartitionInfoResult = 38,
  kCmdClearDiskIOCounters = 39,
  kCmdCancelDiskCommand = 40,
  kCmdCreateVolume = 50,
  kCmdDeleteVolume = 51,
  kCmdInstallDriverOnVolume = 52,
  kCmdUninstallDriverOnVolume = 53,
  kCmdEraseVolume = 54,
  kCmdMountVolume = 55,
  kCmdGetVolumePartitions = 56,
  kCmdClearVolumeIOCounters = 57,
  kCmdConvertToMirror = 58,
  kCmdConvertToNonRAID = 59,
  kCmdRebuildVolume = 60,
  kCmdSetPrimaryDisk = 61,
  kCmdSplitMirror = 62,
  kCmdAddSecondaryDisks = 63,
  kCmdDriverObjectCommand3 = 64,
  kCmdRemoveMissingSecondaryDisks = 65,
  kCmdTestForRelatedVolume = 66,
  kCmdConvertReadOnlySecondary = 67,
  kCmdSetJournaling = 68,
  kCmdSetOptimization = 69,
  kCmdCancelVolumeCommand = 70,
};

// True for the values above; 0, 10, 18, 19, 28, 29 and 41-49 are unassigned.
bool IsAssignedCommand(uint32_t value);

#pragma pack(push, 1)

struct DriverObjectRef {
  uint32_t objectToken;   // opaque to the application
  uint32_t objectNumber;  // never reused within a process
  bool operator==(const DriverObjectRef&) const = default;
};
static_assert(sizeof(DriverObjectRef) == 8);
static_assert(offsetof(DriverObjectRef, objectNumber) == 4);

// A disk or volume command's parameters: the target, then the command's own bytes.
struct DriverObjectCmdParamsRec {
  DriverObjectRef object;
  uint8_t params[1];  // as long as the command needs
};
static_assert(offsetof(DriverObjectCmdParamsRec, params) == 8);

struct DiskVolumeListHeaderRec {
  uint32_t totalBytes;
  uint32_t diskCount;
  uint32_t volumeCount;
  uint32_t diskConnectionCount;
  uint32_t volumeConnectionCount;
  uint32_t eventCount;
};
static_assert(sizeof(DiskVolumeListHeaderRec) == 24);
static_assert(offsetof(DiskVolumeListHeaderRec, eventCount) == 20);

struct DiskRec {
  DriverObjectRef object;
  uint32_t statusRecVersion;
  uint8_t connectionsIncluded;
  char deviceLocation[64];
  char vendorProductRevision[64];
  char identity[64];
  uint8_t zero0[3];
  DiskIdent ident;
  int32_t driverType;
  uint32_t preferredBlockSize;
  uint32_t mapBlockSize;
  uint64_t totalBytes;
  uint64_t freeBytes;
  uint64_t largestFreeBytes;
  uint64_t ioRequests;
  uint64_t ioErrors;
  uint32_t diskState;
  uint32_t progress;
  uint8_t wwnFlag;
  uint8_t rootFlag;
  uint8_t multiLUNFlag;
  uint8_t zero1;
};
static_assert(sizeof(DiskRec) == 288);
static_assert(offsetof(DiskRec, statusRecVersion) == 8);
static_assert(offsetof(DiskRec, connectionsIncluded) == 12);
static_assert(offsetof(DiskRec, deviceLocation) == 13);
static_assert(offsetof(DiskRec, vendorProductRevision) == 77);
static_assert(offsetof(DiskRec, identity) == 141);
static_assert(offsetof(DiskRec, zero0) == 205);
static_assert(offsetof(DiskRec, ident) == 208);
static_assert(offsetof(DiskRec, driverType) == 224);
static_assert(offsetof(DiskRec, preferredBlockSize) == 228);
static_assert(offsetof(DiskRec, mapBlockSize) == 232);
static_assert(offsetof(DiskRec, totalBytes) == 236);
static_assert(offsetof(DiskRec, freeBytes) == 244);
static_assert(offsetof(DiskRec, largestFreeBytes) == 252);
static_assert(offsetof(DiskRec, ioRequests) == 260);
static_assert(offsetof(DiskRec, ioErrors) == 268);
static_assert(offsetof(DiskRec, diskState) == 276);
static_assert(offsetof(DiskRec, progress) == 280);
static_assert(offsetof(DiskRec, wwnFlag) == 284);
static_assert(offsetof(DiskRec, rootFlag) == 285);
static_assert(offsetof(DiskRec, multiLUNFlag) == 286);

struct VolumeRec {
  DriverObjectRef object;
  uint8_t connectionsIncluded;
  char volumeName[64];
  char mountPoint[64];
  char bsdName[16];
  uint8_t zero0[3];
  VolumeFormat format;
  uint8_t journaled;
  uint8_t bootable;
  NumVersion systemVersion;
  uint8_t zero1;
  uint8_t changed;
  uint8_t isMirovane;
  uint8_t zero2[3];
  uint64_t volumeIdentity;
  int32_t raidLevel;        // VolumeRAIDLevel
  uint32_t optimization;    // VolumeOptimization
  uint64_t totalBytes;
  uint64_t ioRequests;
  uint64_t ioErrors;
  VolumeState state;
  uint32_t progress;
  NumVersion driverVersion;
};
static_assert(sizeof(VolumeRec) == 228);
static_assert(offsetof(VolumeRec, connectionsIncluded) == 8);
static_assert(offsetof(VolumeRec, volumeName) == 9);
static_assert(offsetof(VolumeRec, mountPoint) == 73);
static_assert(offsetof(VolumeRec, bsdName) == 137);
static_assert(offsetof(VolumeRec, zero0) == 153);
static_assert(offsetof(VolumeRec, format) == 156);
static_assert(offsetof(VolumeRec, journaled) == 160);
static_assert(offsetof(VolumeRec, bootable) == 161);
static_assert(offsetof(VolumeRec, systemVersion) == 162);
static_assert(offsetof(VolumeRec, zero1) == 166);
static_assert(offsetof(VolumeRec, changed) == 167);
static_assert(offsetof(VolumeRec, isMirovane) == 168);
static_assert(offsetof(VolumeRec, volumeIdentity) == 172);
static_assert(offsetof(VolumeRec, raidLevel) == 180);
static_assert(offsetof(VolumeRec, optimization) == 184);
static_assert(offsetof(VolumeRec, totalBytes) == 188);
static_assert(offsetof(VolumeRec, ioRequests) == 196);
static_assert(offsetof(VolumeRec, ioErrors) == 204);
static_assert(offsetof(VolumeRec, state) == 212);
static_assert(offsetof(VolumeRec, progress) == 220);
static_assert(offsetof(VolumeRec, driverVersion) == 224);

struct ConnectionRec {
  DriverObjectRef owner;
  DriverObjectRef connected;
  VolumeState memberState;  // a volume's record: the member disk's state; else 0
};
static_assert(sizeof(ConnectionRec) == 24);
static_assert(offsetof(ConnectionRec, connected) == 8);
static_assert(offsetof(ConnectionRec, memberState) == 16);

struct MirovaneEventRec {
  uint32_t command;  // ApplicationCommandID
  DriverObjectRef first;
  DriverObjectRef second;
  int32_t error;     // MirovaneError
  uint64_t value;
  char text[64];
};
static_assert(sizeof(MirovaneEventRec) == 96);
static_assert(offsetof(MirovaneEventRec, first) == 4);
static_assert(offsetof(MirovaneEventRec, second) == 12);
static_assert(offsetof(MirovaneEventRec, error) == 20);
static_assert(offsetof(MirovaneEventRec, value) == 24);
static_assert(offsetof(MirovaneEventRec, text) == 32);

#pragma pack(pop)

// Bytes of a list reply with these counts (header included).
inline constexpr uint64_t ListReplyBytes(uint64_t disks, uint64_t volumes, uint64_t connections,
                                         uint64_t events) {
  return sizeof(DiskVolumeListHeaderRec) + sizeof(DiskRec) * disks + sizeof(VolumeRec) * volumes +
         sizeof(ConnectionRec) * connections + sizeof(MirovaneEventRec) * events;
}
