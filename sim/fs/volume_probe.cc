#include "sim/fs/volume_probe.h"

#include <cerrno>
#include <cstring>

#include "sim/fs/hfs_catalog.h"

namespace sim {
namespace {

constexpr uint16_t kHfsSignature = 0x4244;
constexpr uint16_t kHfsPlusSignature = 0x482B;
constexpr uint16_t kHfsxSignature = 0x4858;
constexpr uint32_t kJournaledBit = 1u << 13;
constexpr uint64_t kUfsSuperblock = 8192;
constexpr uint32_t kUfsMagic = 0x00011954;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// MacRoman text of a Pascal string; bytes beyond ASCII become '?'.
std::string PascalText(const uint8_t* p, size_t capacity) {
  size_t n = p[0];
  if (n > capacity) n = capacity;
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(p[1 + i] < 0x80 ? static_cast<char>(p[1 + i]) : '?');
  return out;
}

bool ValidFatBootSector(const uint8_t* b) {
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  if (b[0] != 0xEB && b[0] != 0xE9) return false;
  uint16_t bytes_per_sector = static_cast<uint16_t>(b[11] | (b[12] << 8));
  uint8_t per_cluster = b[13];
  uint16_t reserved = static_cast<uint16_t>(b[14] | (b[15] << 8));
  if (bytes_per_sector < 512 || bytes_per_sector > 4096 ||
      (bytes_per_sector & (bytes_per_sector - 1)) != 0) {
    return false;
  }
  if (per_cluster == 0 || (per_cluster & (per_cluster - 1)) != 0) return false;
  return reserved != 0 && (b[16] == 1 || b[16] == 2);
}

bool IsFat32(const uint8_t* b) { return b[22] == 0 && b[23] == 0; }

void ProbeHfsPlus(BlockStore& volume, const uint8_t* header, VolumeInfo* info) {
  uint16_t signature = GetBe16(header);
  info->kind = signature == kHfsxSignature ? VolumeKind::kHfsx : VolumeKind::kHfsPlus;
  info->journaled = (GetBe32(header + 4) & kJournaledBit) != 0;
  info->fingerprint = GetBe32(header + 16);
  info->name = ReadHfsPlusVolumeName(volume).value_or("");
}

bool ProbeUfsLabel(BlockStore& volume, std::string* name) {
  uint8_t label[512];
  if (!volume.Read(kUfsLabelOffset, label, sizeof label)) return false;
  if (std::memcmp(label, "LABL", 4) != 0 || GetBe32(label + 4) != 1) return false;
  size_t n = GetBe16(label + 8);
  if (n > 255) return false;
  uint8_t text[255];
  if (!volume.Read(kUfsLabelOffset + 10, text, n)) return false;
  name->assign(reinterpret_cast<const char*>(text), n);
  return true;
}

}  // namespace

const char* FileSystemType(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::kHfs:
    case VolumeKind::kHfsPlus:
    case VolumeKind::kHfsx: return "hfs";
    case VolumeKind::kUfs: return "ufs";
    case VolumeKind::kMsdos: return "msdos";
    case VolumeKind::kNone: break;
  }
  return "";
}

VolumeInfo ProbeVolume(BlockStore& volume) {
  VolumeInfo info;
  uint8_t block[512];
  if (volume.Read(1024, block, sizeof block)) {
    uint16_t signature = GetBe16(block);
    if (signature == kHfsPlusSignature || signature == kHfsxSignature) {
      ProbeHfsPlus(volume, block, &info);
      return info;
    }
    if (signature == kHfsSignature) {
      info.kind = VolumeKind::kHfs;
      info.fingerprint = GetBe32(block + 2);
      info.name = PascalText(block + 36, 27);
      uint16_t embedded = GetBe16(block + 124);
      if (embedded == kHfsPlusSignature || embedded == kHfsxSignature) {
        uint64_t offset = uint64_t{GetBe32(block + 20)} * GetBe16(block + 126) +
                          uint64_t{GetBe16(block + 28)} * 512;
        uint64_t length = uint64_t{GetBe32(block + 20)} * GetBe16(block + 128);
        uint8_t inner[512];
        if (offset < volume.Size() && length <= volume.Size() - offset && length > 1536) {
          SubStore sub(volume, offset, length);
          if (sub.Read(1024, inner, sizeof inner) &&
              (GetBe16(inner) == kHfsPlusSignature || GetBe16(inner) == kHfsxSignature)) {
            ProbeHfsPlus(sub, inner, &info);
            info.embedded_offset = offset;
          }
        }
      }
      return info;
    }
  }
  uint8_t super[2048];
  if (volume.Read(kUfsSuperblock, super, sizeof super)) {
    uint32_t magic = GetBe32(super + 1372);
    uint32_t swapped = __builtin_bswap32(magic);
    if (magic == kUfsMagic || swapped == kUfsMagic) {
      info.kind = VolumeKind::kUfs;
      info.fingerprint = GetBe64(super + 144);  // fs_id
      (void)ProbeUfsLabel(volume, &info.name);
      return info;
    }
  }
  if (volume.Read(0, block, sizeof block) && ValidFatBootSector(block)) {
    info.kind = VolumeKind::kMsdos;
    const uint8_t* label = IsFat32(block) ? block + 71 : block + 43;
    const uint8_t* serial = IsFat32(block) ? block + 67 : block + 39;
    info.fingerprint = GetBe32(serial);
    std::string name = Trim(std::string(reinterpret_cast<const char*>(label), 11));
    info.name = name == "NO NAME" ? std::string() : name;
  }
  return info;
}

int RenameVolume(BlockStore& volume, std::string_view name) {
  VolumeInfo info = ProbeVolume(volume);
  switch (info.kind) {
    case VolumeKind::kNone: return ENOTSUP;
    case VolumeKind::kHfsPlus:
    case VolumeKind::kHfsx: {
      if (info.embedded_offset == 0) return RenameHfsPlusVolume(volume, name);
      uint8_t mdb[512];
      if (!volume.Read(1024, mdb, sizeof mdb)) return EIO;
      uint64_t length = uint64_t{GetBe32(mdb + 20)} * GetBe16(mdb + 128);
      SubStore sub(volume, info.embedded_offset, length);
      if (int e = RenameHfsPlusVolume(sub, name); e != 0) return e;
      // The wrapper shows the name too, as far as it can hold it.
      size_t n = std::min<size_t>(name.size(), 27);
      std::memset(mdb + 36, 0, 28);
      mdb[36] = static_cast<uint8_t>(n);
      std::memcpy(mdb + 37, name.data(), n);
      return volume.Write(1024, mdb, sizeof mdb) ? 0 : EIO;
    }
    case VolumeKind::kHfs: {
      if (name.empty() || name.size() > 27) return EINVAL;
      for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == ':') return EINVAL;
      }
      uint8_t mdb[512];
      if (!volume.Read(1024, mdb, sizeof mdb)) return EIO;
      std::memset(mdb + 36, 0, 28);
      mdb[36] = static_cast<uint8_t>(name.size());
      std::memcpy(mdb + 37, name.data(), name.size());
      if (!volume.Write(1024, mdb, sizeof mdb)) return EIO;
      // The alternate MDB, second-to-last sector, when it is one.
      uint64_t alternate = volume.Size() / 512 * 512 - 1024;
      uint8_t alt[512];
      if (volume.Read(alternate, alt, sizeof alt) && GetBe16(alt) == kHfsSignature) {
        std::memcpy(alt + 36, mdb + 36, 28);
        if (!volume.Write(alternate, alt, sizeof alt)) return EIO;
      }
      return 0;
    }
    case VolumeKind::kUfs: {
      if (name.empty() || name.size() > 255) return EINVAL;
      uint8_t label[512] = {};
      std::memcpy(label, "LABL", 4);
      PutBe32(label + 4, 1);
      PutBe16(label + 8, static_cast<uint16_t>(name.size()));
      std::memcpy(label + 10, name.data(), name.size());
      return volume.Write(kUfsLabelOffset, label, 10 + name.size()) ? 0 : EIO;
    }
    case VolumeKind::kMsdos: {
      if (name.empty() || name.size() > 11) return EINVAL;
      uint8_t boot[512];
      if (!volume.Read(0, boot, sizeof boot)) return EIO;
      uint8_t* label = IsFat32(boot) ? boot + 71 : boot + 43;
      std::memset(label, ' ', 11);
      for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (static_cast<unsigned char>(c) >= 0x80) return EINVAL;
        label[i] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      }
      return volume.Write(0, boot, sizeof boot) ? 0 : EIO;
    }
  }
  return ENOTSUP;
}

}  // namespace sim
