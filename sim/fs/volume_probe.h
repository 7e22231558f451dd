#pragma once
// What file system a volume holds, by its signatures, with its name; and renaming a
// volume in its on-disk header. Knows HFS (its Master Directory Block, with an
// embedded HFS Plus volume when there is one), HFS Plus and HFSX (the name from the
// catalog), UFS (superblock magic; the name from the label below) and MS-DOS FAT
// (boot sector; the name from the boot sector's volume label).
//
// The UFS label of this machine: at byte 7168 of the volume, the 4 bytes "LABL",
// a big-endian 32-bit version (1), a big-endian 16-bit length and that many bytes of
// UTF-8 name (at most 255).

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/fs/block_store.h"

namespace sim {

enum class VolumeKind { kNone, kHfs, kHfsPlus, kHfsx, kUfs, kMsdos };

struct VolumeInfo {
  VolumeKind kind = VolumeKind::kNone;
  std::string name;
  bool journaled = false;
  // Distinguishes one formatting of a volume from the next (creation date, serial).
  uint64_t fingerprint = 0;
  // For HFS Plus inside an HFS wrapper: where the embedded volume starts.
  uint64_t embedded_offset = 0;

  bool recognized() const { return kind != VolumeKind::kNone; }
  bool operator==(const VolumeInfo&) const = default;
};

// The file-system type as Disk Arbitration names it: "hfs", "ufs", "msdos" or "".
const char* FileSystemType(VolumeKind kind);

inline constexpr uint64_t kUfsLabelOffset = 7168;

VolumeInfo ProbeVolume(BlockStore& volume);

// Writes `name` into the volume's header. 0; ENOTSUP for a volume of no known
// kind; EINVAL for a name the file system cannot hold; EIO when it cannot be
// written.
int RenameVolume(BlockStore& volume, std::string_view name);

}  // namespace sim
