#include "sim/fs/volume_format.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "sim/fs/hfs_catalog.h"
#include "sim/fs/volume_probe.h"

namespace sim {
namespace {

constexpr uint32_t kSecondsFrom1904To1970 = 2082844800u;

uint64_t DivideUp(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

bool WriteZeros(BlockStore& volume, uint64_t offset, uint64_t length) {
  std::vector<uint8_t> zeros(64 * 1024, 0);
  while (length > 0) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    if (!volume.Write(offset, zeros.data(), piece)) return false;
    offset += piece;
    length -= piece;
  }
  return true;
}

void PutFork(uint8_t* fork, uint64_t logical, uint32_t clump, uint32_t start, uint32_t blocks) {
  PutBe64(fork, logical);
  PutBe32(fork + 8, clump);
  PutBe32(fork + 12, blocks);
  PutBe32(fork + 16, start);
  PutBe32(fork + 20, blocks);
}

struct TreeHeader {
  uint16_t depth = 0;
  uint32_t root = 0;
  uint32_t leaf_records = 0;
  uint32_t first_leaf = 0;
  uint32_t last_leaf = 0;
  uint16_t max_key_length = 0;
  uint32_t total_nodes = 0;
  uint32_t used_nodes = 1;
  uint8_t compare = 0;
  uint32_t attributes = 0;
};

std::vector<uint8_t> HeaderNode(uint32_t node_size, uint32_t clump, const TreeHeader& t) {
  std::vector<uint8_t> node(node_size, 0);
  node[8] = 1;  // header node
  PutBe16(node.data() + 10, 3);
  uint8_t* h = node.data() + 14;
  PutBe16(h, t.depth);
  PutBe32(h + 2, t.root);
  PutBe32(h + 6, t.leaf_records);
  PutBe32(h + 10, t.first_leaf);
  PutBe32(h + 14, t.last_leaf);
  PutBe16(h + 18, static_cast<uint16_t>(node_size));
  PutBe16(h + 20, t.max_key_length);
  PutBe32(h + 22, t.total_nodes);
  PutBe32(h + 26, t.total_nodes - t.used_nodes);
  PutBe32(h + 32, clump);
  h[37] = t.compare;
  PutBe32(h + 38, t.attributes);
  // Map record: one bit per node in use.
  uint8_t* map = node.data() + 248;
  for (uint32_t i = 0; i < t.used_nodes; ++i) map[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  PutBe16(node.data() + node_size - 2, 14);
  PutBe16(node.data() + node_size - 4, 120);
  PutBe16(node.data() + node_size - 6, 248);
  PutBe16(node.data() + node_size - 8, static_cast<uint16_t>(node_size - 8));
  return node;
}

void AppendKey(std::vector<uint8_t>* out, uint32_t parent, const std::u16string& name) {
  size_t at = out->size();
  out->resize(at + 8 + 2 * name.size());
  uint8_t* k = out->data() + at;
  PutBe16(k, static_cast<uint16_t>(6 + 2 * name.size()));
  PutBe32(k + 2, parent);
  PutBe16(k + 6, static_cast<uint16_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) PutBe16(k + 8 + 2 * i, name[i]);
}

std::vector<uint8_t> CatalogLeaf(uint32_t node_size, const std::u16string& name, uint32_t date) {
  std::vector<uint8_t> folder;
  AppendKey(&folder, 1, name);
  size_t data = folder.size();
  folder.resize(data + 88);
  uint8_t* f = folder.data() + data;
  PutBe16(f, 1);  // folder record
  PutBe32(f + 8, 2);
  for (int i = 0; i < 4; ++i) PutBe32(f + 12 + 4 * i, date);
  PutBe16(f + 32 + 10, 0x41ED);  // directory, rwxr-xr-x

  std::vector<uint8_t> thread;
  AppendKey(&thread, 2, u"");
  size_t t = thread.size();
  thread.resize(t + 10 + 2 * name.size());
  PutBe16(thread.data() + t, 3);  // folder thread record
  PutBe32(thread.data() + t + 4, 1);
  PutBe16(thread.data() + t + 8, static_cast<uint16_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) PutBe16(thread.data() + t + 10 + 2 * i, name[i]);

  std::vector<uint8_t> node(node_size, 0);
  node[8] = 0xFF;  // leaf
  node[9] = 1;
  PutBe16(node.data() + 10, 2);
  std::memcpy(node.data() + 14, folder.data(), folder.size());
  std::memcpy(node.data() + 14 + folder.size(), thread.data(), thread.size());
  PutBe16(node.data() + node_size - 2, 14);
  PutBe16(node.data() + node_size - 4, static_cast<uint16_t>(14 + folder.size()));
  PutBe16(node.data() + node_size - 6, static_cast<uint16_t>(14 + folder.size() + thread.size()));
  return node;
}

}  // namespace

int FormatHfsPlus(BlockStore& volume, const HfsPlusFormat& format) {
  uint32_t b = format.block_size;
  if (b < 512 || b > 65536 || (b & (b - 1)) != 0) return EINVAL;
  auto name = Utf8ToUtf16(format.name);
  if (!name || name->empty() || name->size() > 255) return EINVAL;
  uint64_t total = volume.Size() / b;
  uint32_t node_size = std::max<uint32_t>(4096, b);
  uint64_t reserved = DivideUp(1536, b);
  uint64_t alloc_blocks = DivideUp(DivideUp(total, 8), b);
  uint64_t extents_blocks = node_size / b;
  uint32_t catalog_nodes = 8;
  uint64_t catalog_blocks = uint64_t{catalog_nodes} * node_size / b;
  uint64_t journal_blocks = format.journaled ? 1 : 0;
  uint64_t tail = DivideUp(1024, b);
  uint64_t alloc_start = reserved;
  uint64_t extents_start = alloc_start + alloc_blocks;
  uint64_t catalog_start = extents_start + extents_blocks;
  uint64_t journal_start = catalog_start + catalog_blocks;
  uint64_t used_front = journal_start + journal_blocks;
  if (total > 0xFFFFFFFFull || used_front + tail + 8 > total) return ENOSPC;

  uint32_t date = format.create_date != 0
                      ? format.create_date
                      : static_cast<uint32_t>(std::time(nullptr)) + kSecondsFrom1904To1970;
  if (!WriteZeros(volume, 0, used_front * b) ||
      !WriteZeros(volume, (total - tail) * b, volume.Size() - (total - tail) * b)) {
    return EIO;
  }

  // Allocation bitmap.
  std::vector<uint8_t> bitmap(alloc_blocks * b, 0);
  auto mark = [&](uint64_t first, uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) bitmap[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  };
  mark(0, used_front);
  mark(total - tail, tail);
  if (!volume.Write(alloc_start * b, bitmap.data(), bitmap.size())) return EIO;

  TreeHeader extents;
  extents.max_key_length = 10;
  extents.total_nodes = 1;
  extents.attributes = 2;  // big keys
  auto extents_node = HeaderNode(node_size, node_size, extents);
  if (!volume.Write(extents_start * b, extents_node.data(), extents_node.size())) return EIO;

  TreeHeader catalog;
  catalog.depth = 1;
  catalog.root = 1;
  catalog.leaf_records = 2;
  catalog.first_leaf = 1;
  catalog.last_leaf = 1;
  catalog.max_key_length = 516;
  catalog.total_nodes = catalog_nodes;
  catalog.used_nodes = 2;
  catalog.compare = format.case_sensitive ? 0xBC : 0xCF;
  catalog.attributes = 2 | 4;  // big keys, variable index keys
  auto catalog_header = HeaderNode(node_size, node_size, catalog);
  auto leaf = CatalogLeaf(node_size, *name, date);
  if (!volume.Write(catalog_start * b, catalog_header.data(), node_size) ||
      !volume.Write(catalog_start * b + node_size, leaf.data(), node_size)) {
    return EIO;
  }

  uint8_t header[512] = {};
  PutBe16(header, format.case_sensitive ? 0x4858 : 0x482B);
  PutBe16(header + 2, format.case_sensitive ? 5 : 4);
  PutBe32(header + 4, (1u << 8) | (format.journaled ? 1u << 13 : 0));
  PutBe32(header + 8, format.journaled ? 0x4846534A : 0x31302E30);  // "HFSJ" / "10.0"
  PutBe32(header + 12, format.journaled ? static_cast<uint32_t>(journal_start) : 0);
  PutBe32(header + 16, date);
  PutBe32(header + 20, date);
  PutBe32(header + 28, date);
  PutBe32(header + 40, b);
  PutBe32(header + 44, static_cast<uint32_t>(total));
  PutBe32(header + 48, static_cast<uint32_t>(total - used_front - tail));
  PutBe32(header + 52, static_cast<uint32_t>(used_front));
  PutBe32(header + 56, 65536);
  PutBe32(header + 60, 65536);
  PutBe32(header + 64, 16);
  PutBe32(header + 68, 1);
  PutBe64(header + 72, 1);
  PutFork(header + 112, alloc_blocks * b, b, static_cast<uint32_t>(alloc_start),
          static_cast<uint32_t>(alloc_blocks));
  PutFork(header + 192, extents_blocks * b, node_size, static_cast<uint32_t>(extents_start),
          static_cast<uint32_t>(extents_blocks));
  PutFork(header + 272, catalog_blocks * b, node_size, static_cast<uint32_t>(catalog_start),
          static_cast<uint32_t>(catalog_blocks));
  if (!volume.Write(1024, header, sizeof header) ||
      !volume.Write(volume.Size() / 512 * 512 - 1024, header, sizeof header)) {
    return EIO;
  }
  return 0;
}

int FormatUfs(BlockStore& volume, std::string_view name, uint64_t fs_id) {
  if (name.empty() || name.size() > 255) return EINVAL;
  if (volume.Size() < 64 * 1024) return ENOSPC;
  if (!WriteZeros(volume, 0, 16 * 1024)) return EIO;
  uint8_t super[2048] = {};
  PutBe64(super + 144, fs_id);
  PutBe32(super + 1372, 0x00011954);
  if (!volume.Write(8192, super, sizeof super)) return EIO;
  return RenameVolume(volume, name);
}

int SetHfsPlusJournaled(BlockStore& volume, bool journaled) {
  uint8_t header[512];
  if (!volume.Read(1024, header, sizeof header)) return EIO;
  uint16_t signature = GetBe16(header);
  if (signature != 0x482B && signature != 0x4858) return EINVAL;
  uint32_t attributes = GetBe32(header + 4);
  attributes = journaled ? attributes | (1u << 13) : attributes & ~(1u << 13);
  PutBe32(header + 4, attributes);
  return volume.Write(1024, header, sizeof header) ? 0 : EIO;
}

}  // namespace sim
