// What the watcher reads from a volume itself: the HFS volume header (HFS Plus or
// HFSX, journaled or not, also behind an HFS wrapper) and whether the mounted volume
// holds a startable system.

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/host.h"
#include "spot/event_handler.h"

namespace {

constexpr int64_t kVolumeHeaderOffset = 1024;
constexpr size_t kHeaderBlockSize = 512;

constexpr uint16_t kHFSSignature = 0x4244;       // "BD"
constexpr uint16_t kHFSPlusSignature = 0x482B;   // "H+"
constexpr uint16_t kHFSXSignature = 0x4858;      // "HX"
constexpr uint32_t kVolumeJournaledBit = 1u << 13;

// Offsets in the HFS master directory block.
constexpr size_t kMDBAllocationBlockSize = 20;   // u32
constexpr size_t kMDBFirstAllocationBlock = 28;  // u16, in 512-byte sectors
constexpr size_t kMDBEmbeddedSignature = 124;    // u16
constexpr size_t kMDBEmbeddedStartBlock = 126;   // u16, first block of the embedded extent
// Offsets in the HFS Plus volume header.
constexpr size_t kVHAttributes = 4;              // u32

uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads exactly one header block at `offset`.
bool ReadBlockAt(platform::RawDevice& device, int64_t offset, uint8_t (&block)[kHeaderBlockSize]) {
  if (device.Seek(offset) != offset) return false;
  return device.Read(block, sizeof block) == static_cast<ssize_t>(sizeof block);
}

bool Exists(const std::string& machinePath) {
  struct stat st {};
  return ::stat(platform::GetHost().paths().Resolve(machinePath).c_str(), &st) == 0;
}

}  // namespace

void TEventHandler::FillInHFSHeaderInfo(const char* bsdName, VolumeFormat* format,
                                        Boolean* journaled) {
  *journaled = 0;
  if (bsdName == nullptr || *bsdName == '\0') return;
  const std::string devicePath = std::string("/dev/r") + bsdName;
  std::unique_ptr<platform::RawDevice> device =
      platform::GetHost().raw_devices().Open(devicePath, platform::kBsdOpenReadOnly);
  if (device == nullptr) return;

  uint8_t block[kHeaderBlockSize];
  if (!ReadBlockAt(*device, kVolumeHeaderOffset, block)) return;

  const uint16_t embedded = LoadBe16(block + kMDBEmbeddedSignature);
  if (LoadBe16(block) == kHFSSignature &&
      (embedded == kHFSPlusSignature || embedded == kHFSXSignature)) {
    // An HFS wrapper: the HFS Plus volume lies inside it, at the embedded extent.
    const uint64_t offset =
        uint64_t{LoadBe32(block + kMDBAllocationBlockSize)} *
            LoadBe16(block + kMDBEmbeddedStartBlock) +
        uint64_t{LoadBe16(block + kMDBFirstAllocationBlock)} * 512 + kVolumeHeaderOffset;
    if (!ReadBlockAt(*device, static_cast<int64_t>(offset), block)) return;
  }

  const uint16_t signature = LoadBe16(block);
  if (signature != kHFSPlusSignature && signature != kHFSXSignature) return;
  *format = signature == kHFSPlusSignature ? kVolumeFormatHFSPlus : kVolumeFormatHFSX;
  *journaled = (LoadBe32(block + kVHAttributes) & kVolumeJournaledBit) != 0 ? 1 : 0;
}

Boolean TEventHandler::IsBootable(const char* rootDirectory, VolumeFormat format) {
  if (format != kVolumeFormatHFSPlus && format != kVolumeFormatUFS) return 0;
  if (rootDirectory == nullptr) return 0;
  std::string root(rootDirectory);
  if (root.empty() || root.back() != '/') root.push_back('/');
  const bool versionFile = Exists(root + "System/Library/CoreServices/SystemVersion.plist") ||
                           Exists(root + "System/Library/CoreServices/ServerVersion.plist");
  return versionFile && Exists(root + "mach_kernel") &&
                 Exists(root + "System/Library/CoreServices/BootX")
             ? 1
             : 0;
}
