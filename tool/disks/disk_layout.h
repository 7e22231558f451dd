#pragma once
// The on-disk layout of a disk of this system: block 0, Apple Partition Map
// entries, the partition types, the disk status partition with its two copies of
// the status area, the volume partition status records, and the scratch partition.
// Every integer is big-endian and reached only through the Be* accessors.
//
// This layout is shared with the kernel driver, which reads the same disks: field
// offsets are fixed and checked below.

#include <cstddef>
#include <cstdint>

#include "framework/mac_types.h"
#include "tool/disks/big_endian.h"
#include "tool/model/bsd_name.h"  // StripOffPartitionCharacters

// ---- Block 0 (driver descriptor map) ----

inline constexpr uint16_t kBlock0Signature = 0x4552;  // "ER"
inline constexpr uint32_t kBlock0Bytes = 512;

struct Block0 {
  Be16 sbSig;
  Be16 sbBlkSize;
  Be32 sbBlkCount;
  uint8_t rest[504];  // device type, id, data, driver count and descriptors: zero
};
static_assert(sizeof(Block0) == 512);
static_assert(offsetof(Block0, sbBlkSize) == 2);
static_assert(offsetof(Block0, sbBlkCount) == 4);

// ---- Partition map entries ----

inline constexpr uint16_t kPartitionSignature = 0x504D;  // "PM"
inline constexpr uint32_t kPartitionEntryBytes = 512;
inline constexpr size_t kPartitionNameBytes = 32;
inline constexpr size_t kPartitionTypeBytes = 32;

struct Partition {
  Be16 pmSig;
  Be16 pmSigPad;
  Be32 pmMapBlkCnt;    // number of map entries, the same in every entry
  Be32 pmPyPartStart;  // first block, in map blocks
  Be32 pmPartBlkCnt;   // length, in map blocks
  char pmPartName[kPartitionNameBytes];
  char pmParType[kPartitionTypeBytes];
  Be32 pmLgDataStart;
  Be32 pmDataCnt;
  Be32 pmPartStatus;
  uint8_t rest[420];  // boot fields, processor, pad
};
static_assert(sizeof(Partition) == 512);
static_assert(offsetof(Partition, pmMapBlkCnt) == 4);
static_assert(offsetof(Partition, pmPyPartStart) == 8);
static_assert(offsetof(Partition, pmPartBlkCnt) == 12);
static_assert(offsetof(Partition, pmPartName) == 16);
static_assert(offsetof(Partition, pmParType) == 48);
static_assert(offsetof(Partition, pmLgDataStart) == 80);
static_assert(offsetof(Partition, pmDataCnt) == 84);
static_assert(offsetof(Partition, pmPartStatus) == 88);

inline constexpr uint32_t kPartitionStatusMapEntry = 3;  // valid and allocated
// Valid, allocated, readable, writable, mounted at start-up.
inline constexpr uint32_t kPartitionStatusVolume = 0x40000033;

// The map of a disk the tool initialises: 64 entries starting at block 1.
inline constexpr uint32_t kNewMapEntries = 64;
inline constexpr uint32_t kNewMapFirstBlock = 1;
inline constexpr uint32_t kFirstBlockAfterNewMap = kNewMapFirstBlock + kNewMapEntries;

// ---- Partition types ----

inline constexpr const char kTypePartitionMap[] = "Apple_partition_map";
inline constexpr const char kTypeFree[] = "Apple_Free";
inline constexpr const char kTypeStatus[] = "Apple_Boot_Mirovane_Status";
inline constexpr const char kTypeVolume[] = "Apple_Boot_Mirovane_Volume";
inline constexpr const char kTypeScratch[] = "Apple_Boot_Mirovane_Scratch";
inline constexpr const char kTypeStatusV1[] = "Mirovane_Status";
inline constexpr const char kTypeVolumeV1[] = "Mirovane_Volume";
inline constexpr const char kTypeScratchV1[] = "Mirovane_Scratch";
inline constexpr const char kTypeHFS[] = "Apple_HFS";
inline constexpr const char kTypeHFSX[] = "Apple_HFSX";
inline constexpr const char kTypeUFS[] = "Apple_UFS";
inline constexpr const char kTypeOldMirrorMember[] = "Apple_HFS_M";  // compared on 11 chars
inline constexpr const char kTypeOldStripeMember[] = "Apple_HFS_S";  // compared on 11 chars
inline constexpr size_t kOldMemberTypePrefix = 11;
inline constexpr const char kTypeAppleBootRAID[] = "Apple_Boot_RAID";
inline constexpr const char kTypeAppleRAID[] = "Apple_RAID";
inline constexpr const char kTypeDriver43[] = "Apple_Driver43";
// The older layout's driver partition: "Apple_Driver43", two NUL bytes, "RaiDvr".
inline constexpr size_t kOldDriverPatternBytes = 22;
extern const char kOldDriverPattern[kOldDriverPatternBytes];
inline constexpr const char kMapEntryName[] = "Apple";

// ---- Disk driver types ----

enum DiskDriverType : int32_t {
  kDriverTypeNone = 0,
  kDriverTypeMirovane = 1,
  kDriverTypeMirovane2 = 2,
  kDriverTypeApple = 3,
  kDriverTypeAppleBootRAID = 4,
  kDriverTypeAppleRAID = 5,
  kDriverTypeOther = 6,
};

// ---- Volume partition status record ----

struct VolumePartitionStatusRec {
  Be64 volumeID;
  Be64 reserved0;
  Be32 raidLevel;      // VolumeRAIDLevel, signed
  Be32 volumeFormat;   // VolumeFormat
  Be64 partitionState; // VolumeState of this member
  Be32 reserved1;
  Be64 partitionSize;  // bytes asked for this member
  char volumeName[64];
  uint8_t memberIndex;
  uint8_t reserved2;
  uint8_t memberCount;
  uint8_t reserved3[17];
  Be32 chunkSize;
  uint8_t reserved4[72];
  Be32 optimization;  // VolumeOptimization
};
static_assert(sizeof(VolumePartitionStatusRec) == 208);
static_assert(offsetof(VolumePartitionStatusRec, reserved0) == 8);
static_assert(offsetof(VolumePartitionStatusRec, raidLevel) == 16);
static_assert(offsetof(VolumePartitionStatusRec, volumeFormat) == 20);
static_assert(offsetof(VolumePartitionStatusRec, partitionState) == 24);
static_assert(offsetof(VolumePartitionStatusRec, reserved1) == 32);
static_assert(offsetof(VolumePartitionStatusRec, partitionSize) == 36);
static_assert(offsetof(VolumePartitionStatusRec, volumeName) == 44);
static_assert(offsetof(VolumePartitionStatusRec, memberIndex) == 108);
static_assert(offsetof(VolumePartitionStatusRec, reserved2) == 109);
static_assert(offsetof(VolumePartitionStatusRec, memberCount) == 110);
static_assert(offsetof(VolumePartitionStatusRec, reserved3) == 111);
static_assert(offsetof(VolumePartitionStatusRec, chunkSize) == 128);
static_assert(offsetof(VolumePartitionStatusRec, reserved4) == 132);
static_assert(offsetof(VolumePartitionStatusRec, optimization) == 204);

inline constexpr uint32_t kDefaultChunkSize = 0x10000;

// ---- Status area and status partition ----

inline constexpr uint32_t kStatusRecordVersion1 = 1;
inline constexpr uint32_t kStatusRecordVersion2 = 2;
inline constexpr uint32_t kStatusRecordsPerArea = 64;

struct StatusAreaHeader {
  Be32 version;
  Be32 sequence;
  Be64 diskID;
  Be64 reserved0;
  Be64 reserved1;
  Be32 entryCount;
};
static_assert(sizeof(StatusAreaHeader) == 36);
static_assert(offsetof(StatusAreaHeader, sequence) == 4);
static_assert(offsetof(StatusAreaHeader, diskID) == 8);
static_assert(offsetof(StatusAreaHeader, reserved0) == 16);
static_assert(offsetof(StatusAreaHeader, reserved1) == 24);
static_assert(offsetof(StatusAreaHeader, entryCount) == 32);

struct StatusArea {
  StatusAreaHeader header;
  VolumePartitionStatusRec records[kStatusRecordsPerArea];
};
static_assert(sizeof(StatusArea) == 13348);
static_assert(offsetof(StatusArea, records) == 36);

inline constexpr uint32_t kStatusPartitionBytes = 27648;  // 0x6C00
inline constexpr uint32_t kStatusCopyAOffset = 0;
inline constexpr uint32_t kStatusCopyBOffset = 13824;      // 0x3600
inline constexpr uint32_t kScratchPartitionBytes = 10485760;  // 0xA00000

// ---- Free functions ----

// Zeroes the 512-byte block (when not null) and sets signature, block size and
// block count (disk size / block size, low 32 bits).
void InitializeBlock0Rec(void* block0, uint64_t diskBytes, uint32_t blockSize);

// Builds one map entry; see the layout notes in disk_layout.cc.
void InitializePartitionMapEntry(Partition* entry, uint32_t mapEntries, uint32_t firstBlock,
                                 uint64_t partitionBytes, uint32_t blockSize, const char* name,
                                 const char* type);

// The block size of a new map on a disk of `diskBytes` with `sectorSize` sectors.
uint32_t DetermineDiskBlockSize(uint64_t diskBytes, uint32_t sectorSize);


// True when copy A of the status area is the newer, given the two sequence numbers
// (which wrap from 0xFFFFFFFF to 0).
bool StatusCopyAIsNewer(uint32_t sequenceA, uint32_t sequenceB);

// Type comparisons on a 32-byte type field that may lack a terminator.
bool PartitionTypeIs(const Partition& entry, const char* type);
bool PartitionTypeBeginsWith(const Partition& entry, const char* prefix, size_t length);
// Zero-fills a text field of `width` bytes and copies `text` into it, without a
// terminator when the text fills the field.
void CopyTextField(char* field, size_t width, const char* text);
// Clears the 32-byte type field and copies `type` into it.
void SetPartitionType(Partition* entry, const char* type);
