#pragma once
// The records the disk watcher writes on its standard output and the tool reads from
// a pipe: one fixed 252-byte SpotEventRec per event, in the host's byte order, every
// unused byte zero. Text fields hold at most their width and are NUL-padded; a text
// that fills its field has no terminator, so a reader must never treat a field as a
// C string (use FieldText / CopyFieldText).
//
// The records are plain values; the functions here keep no state and may be called
// from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/mac_types.h"

enum SpotEventType : uint32_t {
  kSpotVolumeAppeared = 0,
  kSpotVolumeChanged = 1,
  kSpotDiskAppeared = 2,
  kSpotDiskDisappeared = 3,
};

enum BusType : uint32_t {
  kBusTypeATA = 0,
  kBusTypeFireWire = 1,
  kBusTypeSCSI = 2,  // also Fibre Channel
  kBusTypeUSB = 3,
  kBusTypeUnknown = 4,
};

enum VolumeFormat : uint32_t {
  kVolumeFormatHFSPlus = 0,  // also plain HFS
  kVolumeFormatHFSX = 1,
  kVolumeFormatUFS = 2,
  kVolumeFormatMSDOS = 3,
  kVolumeFormatUnknown = 4,
};

#pragma pack(push, 1)

struct DiskIdent {
  BusType busType;
  uint32_t busNumber;
  uint32_t id;   // position on the bus
  uint32_t lun;
};
static_assert(sizeof(DiskIdent) == 16);
static_assert(offsetof(DiskIdent, busNumber) == 4);
static_assert(offsetof(DiskIdent, id) == 8);
static_assert(offsetof(DiskIdent, lun) == 12);

// Payload of kSpotVolumeAppeared.
struct VolumeAppearedRec {
  MVUID volumeID;          // 0 for an ordinary (non-RAID) volume
  char volumeName[64];
  char mountPoint[80];     // root-directory form ("/Volumes/X/")
  VolumeFormat format;
  uint8_t journaled;
  uint8_t bootable;
  uint8_t reserved1[10];
  uint64_t size;           // bytes
  uint8_t reserved2[56];
};
static_assert(sizeof(VolumeAppearedRec) == 232);
static_assert(offsetof(VolumeAppearedRec, volumeName) == 8);
static_assert(offsetof(VolumeAppearedRec, mountPoint) == 72);
static_assert(offsetof(VolumeAppearedRec, format) == 152);
static_assert(offsetof(VolumeAppearedRec, journaled) == 156);
static_assert(offsetof(VolumeAppearedRec, bootable) == 157);
static_assert(offsetof(VolumeAppearedRec, reserved1) == 158);
static_assert(offsetof(VolumeAppearedRec, size) == 168);
static_assert(offsetof(VolumeAppearedRec, reserved2) == 176);

// Payload of kSpotVolumeChanged.
struct VolumeChangedRec {
  char volumeName[64];
  char mountPoint[80];     // empty after an unmount
  VolumeFormat format;
  uint8_t journaled;
  uint8_t bootable;
  uint8_t reserved1[2];
  uint64_t size;
  uint8_t reserved2[72];
};
static_assert(sizeof(VolumeChangedRec) == 232);
static_assert(offsetof(VolumeChangedRec, mountPoint) == 64);
static_assert(offsetof(VolumeChangedRec, format) == 144);
static_assert(offsetof(VolumeChangedRec, journaled) == 148);
static_assert(offsetof(VolumeChangedRec, bootable) == 149);
static_assert(offsetof(VolumeChangedRec, reserved1) == 150);
static_assert(offsetof(VolumeChangedRec, size) == 152);
static_assert(offsetof(VolumeChangedRec, reserved2) == 160);

// Payload of kSpotDiskAppeared and kSpotDiskDisappeared (the latter fills only the
// partition flag and the size).
struct DiskAppearedRec {
  uint8_t isPartition;
  uint8_t reserved1[3];
  uint64_t size;               // registry "Size"
  DiskIdent ident;
  uint32_t blockSize;          // registry "Preferred Block Size"
  uint8_t deviceLocation[64];  // raw bytes of "io-device-location", at most 64
  char vendorText[64];         // vendor, product and revision
  char identityText[64];       // WWN (SCSI), GUID (FireWire) or serial number
  uint8_t isWWN;
  uint8_t reserved2[7];
};
static_assert(sizeof(DiskAppearedRec) == 232);
static_assert(offsetof(DiskAppearedRec, reserved1) == 1);
static_assert(offsetof(DiskAppearedRec, size) == 4);
static_assert(offsetof(DiskAppearedRec, ident) == 12);
static_assert(offsetof(DiskAppearedRec, blockSize) == 28);
static_assert(offsetof(DiskAppearedRec, deviceLocation) == 32);
static_assert(offsetof(DiskAppearedRec, vendorText) == 96);
static_assert(offsetof(DiskAppearedRec, identityText) == 160);
static_assert(offsetof(DiskAppearedRec, isWWN) == 224);
static_assert(offsetof(DiskAppearedRec, reserved2) == 225);

union SpotEventPayload {
  VolumeAppearedRec volumeAppeared;
  VolumeChangedRec volumeChanged;
  DiskAppearedRec diskAppeared;
  uint8_t bytes[232];
};
static_assert(sizeof(SpotEventPayload) == 232);

struct SpotEventRec {
  SpotEventType eventType;
  char bsdName[16];            // disk2, disk2s3
  SpotEventPayload payload;
};
static_assert(sizeof(SpotEventRec) == 252);
static_assert(offsetof(SpotEventRec, bsdName) == 4);
static_assert(offsetof(SpotEventRec, payload) == 20);
static_assert(offsetof(SpotEventRec, payload) + offsetof(VolumeAppearedRec, size) == 188);
static_assert(offsetof(SpotEventRec, payload) + offsetof(VolumeChangedRec, size) == 172);
static_assert(offsetof(SpotEventRec, payload) + offsetof(DiskAppearedRec, isWWN) == 244);

#pragma pack(pop)

inline constexpr size_t kSpotEventRecSize = sizeof(SpotEventRec);

// --- Text fields ---------------------------------------------------------------------

// Writes `text` into a fixed field of `width` bytes: at most `width` bytes of it, the
// rest of the field NUL. A text of `width` bytes or more fills the field without a
// terminator (longer texts are cut).
void SetFieldText(char* field, size_t width, std::string_view text);
template <size_t N>
void SetFieldText(char (&field)[N], std::string_view text) {
  SetFieldText(field, N, text);
}

// Copies raw bytes into a fixed field: at most `width` of them, the rest zero.
void SetFieldBytes(uint8_t* field, size_t width, const void* data, size_t size);

// The text of a fixed field: its bytes up to the first NUL or to its width, whichever
// comes first. Never reads beyond the field.
std::string_view FieldText(const char* field, size_t width);
template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// Copies a field's text into a C buffer of `size` bytes, always terminated (cut to
// size - 1). Nothing is written when size is 0.
void CopyFieldText(char* destination, size_t size, const char* field, size_t width);

// --- Building records ----------------------------------------------------------------

// A zeroed record with its type and BSD name; the payload is left zero for the caller
// to fill (the disk watcher fills disk records field by field).
SpotEventRec MakeSpotEvent(SpotEventType type, std::string_view bsd_name);

SpotEventRec MakeVolumeAppearedEvent(std::string_view bsd_name, MVUID volume_id,
                                     std::string_view volume_name,
                                     std::string_view mount_point, VolumeFormat format,
                                     bool journaled, bool bootable, uint64_t size);

SpotEventRec MakeVolumeChangedEvent(std::string_view bsd_name, std::string_view volume_name,
                                    std::string_view mount_point, VolumeFormat format,
                                    bool journaled, bool bootable, uint64_t size);

// A medium went away: only its name, partition flag and size are carried.
SpotEventRec MakeDiskDisappearedEvent(std::string_view bsd_name, bool is_partition,
                                      uint64_t size);

// --- Reading records -----------------------------------------------------------------

// Parses one record from bytes received from a peer. Accepts exactly kSpotEventRecSize
// bytes with a known event type; anything else gives false and a zeroed *out. A bus
// type or volume format outside its enumeration is read as kBusTypeUnknown /
// kVolumeFormatUnknown, so no reader ever sees a value it does not know. Text fields
// are copied as they are: read them with FieldText.
bool ParseSpotEventRec(const void* bytes, size_t size, SpotEventRec* out);
