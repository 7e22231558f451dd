#pragma once
// TPartitionMap: the only code that reads and writes a disk's partition map and
// disk status partition. A disk object makes one for each long-running operation:
// Open, Read or Create, edit in memory, Write (with read-after-write verification),
// Close, delete. Nothing is cached between operations.
//
// Ownership and threads: owned by the disk operation that made it and used by that
// one thread only. The disk and the volume list are reached through the narrow
// interfaces below; they are not owned and must outlive the map.
//
// Untrusted input: everything read from the disk is checked before it is used for a
// size, a count or an offset. A damaged map is refused with kMirovaneErrReadFailed
// and the object then holds no map; no read or write ever leaves the buffers or the
// disk.
//
// Crash safety: Write orders its writes so that an interrupted change (failed write,
// crash, torn write) leaves a disk that reads back as the old layout or the new one.
// See partition_map_write.cc for the protocol and its limits. Readers that know
// nothing of the undo record can see a mixture until the disk is next read through
// a read-write open, which puts it back (partition_map_repair.cc).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "framework/mac_types.h"
#include "platform/raw_device.h"
#include "tool/disks/disk_layout.h"
#include "tool/model/mirovane_error.h"

// What the map engine needs of its disk object.
class PartitionMapDisk {
 public:
  virtual ~PartitionMapDisk() = default;
  // The raw device's machine path ("/dev/rdisk2").
  virtual const char* ReturnBSDPathname() = 0;
  virtual uint32_t ReturnSectorSize() = 0;
  virtual uint64_t ReturnTotalBytes() = 0;
  // The driver type recorded by the disk's last disk-information read.
  virtual int32_t ReturnDriverType() = 0;
  virtual void SetStatusRecVersion(uint32_t version) = 0;
};

// What the map engine tells the volume list. Implementations take the list's lock.
class PartitionMapVolumes {
 public:
  virtual ~PartitionMapVolumes() = default;
  virtual void AddMirovaneVolumePartition(const VolumePartitionStatusRec& record,
                                          PartitionMapDisk* disk, Boolean creating) = 0;
  virtual void DeleteVolumePartition(MVUID volumeID, PartitionMapDisk* disk) = 0;
  // AppleRAID members found by the AppleRAID scan.
  virtual void AddAppleRAIDVolumePartition(const char* setName, MVUID volumeID,
                                           int32_t raidLevel, uint64_t setSize,
                                           uint32_t memberIndex, uint32_t memberCount,
                                           PartitionMapDisk* disk) = 0;
};

// One volume-like entry, as listed for the application (host byte order).
struct PartitionInfoRec {
  uint32_t firstBlock;
  uint32_t blockCount;
  char type[32];
};
static_assert(sizeof(PartitionInfoRec) == 40);

// Result of the engine's operations: 0, a MirovaneError, or memFullErr (-108).
using MapResult = int32_t;

class TPartitionMap {
 public:
  static constexpr uint32_t kVerifyBufferBytes = 131072;
  static constexpr uint32_t kClearBytes = 1048576;
  static constexpr uint64_t kClearWholeLimit = 2097152;
  static constexpr double kScratchClearSeconds = 10.0;
  // Map partitions longer than this are read only this far; entry counts beyond
  // it are refused.
  static constexpr uint32_t kMaxMapEntries = 512;
  // A status partition is refused when it cannot hold both copies or is larger.
  static constexpr uint32_t kMinStatusBytes = kStatusCopyBOffset + sizeof(StatusArea);
  static constexpr uint32_t kMaxStatusBytes = 1048576;
  static constexpr int kOpenAttempts = 5;

  TPartitionMap(PartitionMapDisk* disk, PartitionMapVolumes* volumes);
  ~TPartitionMap();
  TPartitionMap(const TPartitionMap&) = delete;
  TPartitionMap& operator=(const TPartitionMap&) = delete;

  MapResult Open(Boolean readOnly);
  int Close();
  MapResult Read(Boolean scanVolumes);
  MapResult Create();
  MapResult Update();
  MapResult Convert();
  MapResult Write(uint32_t* diskState, uint32_t* progress, uint32_t progressSpan);
  MapResult AddVolumePartition(const VolumePartitionStatusRec* record, Boolean creating);
  MapResult DeleteVolumePartition(MVUID volumeID);
  uint32_t ReturnNumberPartitions();
  void FillInPartitionInfoArray(PartitionInfoRec* array, uint32_t count);

  int32_t ReturnDriverType() const { return driver_type_; }
  uint32_t ReturnDiskBlockSize() const { return block_size_; }
  uint64_t ReturnFreeBytes() const { return free_bytes_; }
  uint64_t ReturnSizeOfLargestFreePartition() const { return largest_free_; }
  uint32_t ReturnEntryCount() const { return entry_count_; }
  uint32_t ReturnCapacity() const { return capacity_; }
  uint32_t ReturnStatusRecVersion() const { return status_version_; }
  uint64_t ReturnStatusOffset() const { return status_offset_; }
  uint32_t ReturnStatusSize() const { return status_size_; }
  // The status area being edited (null when the disk has none).
  const StatusArea* ReturnWorkingStatus() const { return working_; }
  // True when the last Read found an interrupted change and rolled it back.
  bool ReturnRolledBack() const { return rolled_back_; }
  // True when the last Read also put the disk itself back into that layout (only
  // on a read-write open; a read-only open rolls back in memory alone).
  bool ReturnRepaired() const { return repaired_; }
  // Entry i, or null when i is outside the map.
  Partition* GetPartitionMapEntryAtIndex(uint32_t index);

  // ---- Internal operations, public for the conversion code and tests ----
  bool CreateNewPartition(uint64_t sizeBytes, uint64_t* outSize, const char* type,
                          uint32_t* outIndex, uint64_t* outOffset);
  bool ClearStartAndEndOfPartition(uint32_t index);
  void DeletePartition(uint32_t index);
  void ConsolidateFreePartitions();
  void UpdateSizeOfLargestFreePartition();
  void Sort();
  void SwapPartitionMapEntries(uint32_t a, uint32_t b);
  bool FindPartitionWithUID(MVUID volumeID, uint32_t* index);
  void CleanPartitionMapEntry(uint32_t index);
  static bool ParitionIsUnneeded(const Partition& entry);
  void RemoveUnneededPartitions();
  MapResult ScanForSpaceForDiskStatusPartition();
  MapResult GenerateFreeSpaceForDiskStatusPartition();
  void ConvertBlocksToFreePartition(uint32_t firstBlock, uint32_t blockCount);
  MapResult ScanForStripeInPlaceVolumes();
  VolumePartitionStatusRec* StatusRecordAtIndex(uint32_t index);
  // The number of entries that can be used: the capacity, and no more than there
  // are status records once a status area exists.
  uint32_t EditCapacity() const;

  // Conversion hooks, carried out by the conversion code of each kind of disk.
  MapResult ScanForAppleRAIDVolumes();
  MapResult CheckForFailedAppleRAIDMirror();
  void ConvertMirovane2Partitions();
  void ConvertApplePartitions();
  MapResult ConvertAppleRAIDPartitions();

 private:
  struct Buffer {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    bool Allocate(size_t bytes);  // zeroed; false when memory is short
    void Free() { data.reset(); size = 0; }
  };

  void ResetMapState();
  MapResult ReadMapAt(uint64_t offset, void* buffer, size_t length);
  MapResult InterpretMap(const uint64_t* wantedStatusHash);
  MapResult ValidateEntries() const;
  void ScanPartitionMap();
  MapResult ReadDiskStatusPartition(const uint64_t* wantedStatusHash);
  MapResult ScanForMirovaneVolumes();
  bool FindJournal(Buffer* entries, uint32_t* count, uint64_t* statusHash) const;
  MapResult RepairInterruptedChange(const Buffer& live, uint32_t journalCount);
  MapResult RepairStatusCopy();
  void InitializePartitionMap();
  bool AddDiskStatusPartition();
  bool AddScratchPartition();
  void SetEntryCount(uint32_t count);
  void RemoveEntry(uint32_t index);
  void RememberBase();
  uint64_t DiskBlocks() const;

  MapResult WriteAndVerify(uint64_t offset, const void* data, size_t length, bool verify);
  MapResult WriteStatusPartition();
  MapResult WriteStatusCopy(const StatusArea* copy);
  StatusArea* OtherStatusCopy(const StatusArea* copy);
  void AdvanceWorkingCopy();
  MapResult WriteNewMap();
  MapResult WriteJournaled();
  MapResult WriteDirect();
  bool JournalFits() const;
  size_t MapBytes() const;
  bool ClearRange(uint64_t start, uint64_t size);
  MapResult ClearScratch(uint32_t* diskState, uint32_t* progress, uint32_t progressSpan);

  PartitionMapDisk* disk_;
  PartitionMapVolumes* volumes_;
  Buffer map_;
  uint32_t block_size_ = 0;
  uint32_t entry_count_ = 0;
  uint32_t capacity_ = 0;
  uint64_t free_bytes_ = 0;
  uint64_t largest_free_ = 0;
  Buffer status_;
  uint32_t status_size_ = 0;
  uint64_t status_offset_ = 0;
  StatusArea* working_ = nullptr;
  std::unique_ptr<StatusArea> temp_area_;
  uint32_t status_version_ = 0;
  int32_t driver_type_ = kDriverTypeNone;
  bool new_map_ = false;
  bool scratch_pending_ = false;
  uint32_t scratch_size_ = 0;
  uint64_t scratch_offset_ = 0;
  std::unique_ptr<platform::RawDevice> device_;
  bool read_only_ = false;
  Buffer verify_;
  uint64_t disk_bytes_ = 0;
  // The layout as read, kept so that Write can journal it (see the write notes).
  Buffer base_entries_;
  uint32_t base_count_ = 0;
  uint32_t base_capacity_ = 0;
  uint32_t base_block_size_ = 0;
  uint64_t base_status_offset_ = 0;
  uint32_t base_status_size_ = 0;
  bool rolled_back_ = false;
  bool repaired_ = false;
  // Partitions of a new map are cleared by Write, once an old block 0 is gone.
  std::vector<std::pair<uint64_t, uint64_t>> deferred_clears_;
};
