#include "sim/fs/hfs_catalog.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr uint32_t kRootParent = 1;
constexpr uint32_t kRootFolder = 2;
constexpr int8_t kLeafNode = -1;
constexpr int8_t kIndexNode = 0;
constexpr uint16_t kFolderThreadRecord = 3;
constexpr uint32_t kVariableIndexKeys = 4;

struct Extent {
  uint64_t start;  // bytes
  uint64_t length;
};

using Node = std::vector<uint8_t>;

struct Record {
  size_t offset;
  size_t length;
};

// The catalog file of a volume, read and written by node.
class Catalog {
 public:
  explicit Catalog(BlockStore& volume) : volume_(volume) {}

  bool Open() {
    uint8_t header[512];
    if (!volume_.Read(1024, header, sizeof header)) return false;
    uint16_t signature = GetBe16(header);
    if (signature != 0x482B && signature != 0x4858) return false;
    uint32_t block_size = GetBe32(header + 40);
    if (block_size < 512 || (block_size & (block_size - 1)) != 0) return false;
    const uint8_t* fork = header + 272;
    logical_size_ = GetBe64(fork);
    uint64_t covered = 0;
    for (int i = 0; i < 8; ++i) {
      uint64_t start = GetBe32(fork + 16 + 8 * i);
      uint64_t count = GetBe32(fork + 20 + 8 * i);
      if (count == 0) break;
      extents_.push_back({start * block_size, count * block_size});
      covered += count * block_size;
    }
    // Only the extents in the header are followed; a catalog that needs the
    // overflow file is beyond this reader.
    if (logical_size_ > covered) logical_size_ = covered;
    uint8_t first[512];
    if (!ReadBytes(0, first, sizeof first)) return false;
    const uint8_t* h = first + 14;
    node_size_ = GetBe16(h + 18);
    if (node_size_ < 512 || node_size_ > 32768 || (node_size_ & (node_size_ - 1)) != 0) {
      return false;
    }
    depth_ = GetBe16(h);
    root_ = GetBe32(h + 2);
    first_leaf_ = GetBe32(h + 10);
    total_nodes_ = GetBe32(h + 22);
    attributes_ = GetBe32(h + 38);
    uint64_t fits = logical_size_ / node_size_;
    if (total_nodes_ > fits) total_nodes_ = static_cast<uint32_t>(fits);
    return true;
  }

  bool ReadNode(uint32_t n, Node* node) {
    if (n >= total_nodes_) return false;
    node->assign(node_size_, 0);
    return ReadBytes(uint64_t{n} * node_size_, node->data(), node_size_);
  }

  bool WriteNode(uint32_t n, const Node& node) {
    if (n >= total_nodes_ || node.size() != node_size_) return false;
    uint64_t offset = uint64_t{n} * node_size_;
    uint64_t disk = 0;
    if (!Map(offset, node_size_, &disk)) return false;
    return volume_.Write(disk, node.data(), node.size());
  }

  uint32_t node_size() const { return node_size_; }
  uint32_t total_nodes() const { return total_nodes_; }
  uint32_t first_leaf() const { return first_leaf_; }
  uint32_t root() const { return root_; }
  uint32_t depth() const { return depth_; }
  bool variable_index_keys() const { return (attributes_ & kVariableIndexKeys) != 0; }

 private:
  // The volume offset of [offset, offset + length) of the file, which must lie in
  // one extent.
  bool Map(uint64_t offset, uint64_t length, uint64_t* disk) const {
    if (offset > logical_size_ || length > logical_size_ - offset) return false;
    for (const Extent& e : extents_) {
      if (offset < e.length) {
        if (length > e.length - offset) return false;
        *disk = e.start + offset;
        return true;
      }
      offset -= e.length;
    }
    return false;
  }
  bool ReadBytes(uint64_t offset, uint8_t* buffer, size_t length) {
    uint64_t disk = 0;
    return Map(offset, length, &disk) && volume_.Read(disk, buffer, length);
  }

  BlockStore& volume_;
  std::vector<Extent> extents_;
  uint64_t logical_size_ = 0;
  uint32_t node_size_ = 0;
  uint32_t depth_ = 0;
  uint32_t root_ = 0;
  uint32_t first_leaf_ = 0;
  uint32_t total_nodes_ = 0;
  uint32_t attributes_ = 0;
};

int8_t Kind(const Node& node) { return static_cast<int8_t>(node[8]); }
uint32_t ForwardLink(const Node& node) { return GetBe32(node.data()); }

// The node's records, or nullopt when its offsets are inconsistent.
std::optional<std::vector<Record>> Records(const Node& node) {
  size_t size = node.size();
  uint16_t count = GetBe16(node.data() + 10);
  if (size < 14 || 2 * (size_t{count} + 1) > size - 14) return std::nullopt;
  std::vector<size_t> offsets;
  for (size_t i = 0; i <= count; ++i) offsets.push_back(GetBe16(node.data() + size - 2 * (i + 1)));
  std::vector<Record> out;
  for (size_t i = 0; i < count; ++i) {
    if (offsets[i] < 14 || offsets[i + 1] < offsets[i] ||
        offsets[i + 1] > size - 2 * (size_t{count} + 1)) {
      return std::nullopt;
    }
    out.push_back({offsets[i], offsets[i + 1] - offsets[i]});
  }
  return out;
}

struct Key {
  uint32_t parent = 0;
  std::u16string name;
  size_t total = 0;  // bytes of the key including its length field
};

std::optional<Key> ParseKey(const uint8_t* p, size_t length) {
  if (length < 8) return std::nullopt;
  size_t key_length = GetBe16(p);
  if (key_length < 6 || key_length + 2 > length) return std::nullopt;
  Key k;
  k.parent = GetBe32(p + 2);
  size_t chars = GetBe16(p + 6);
  if (6 + 2 * chars > key_length) return std::nullopt;
  for (size_t i = 0; i < chars; ++i) k.name.push_back(static_cast<char16_t>(GetBe16(p + 8 + 2 * i)));
  k.total = key_length + 2;
  return k;
}

std::vector<uint8_t> EncodeKey(uint32_t parent, const std::u16string& name) {
  std::vector<uint8_t> k(8 + 2 * name.size());
  PutBe16(k.data(), static_cast<uint16_t>(6 + 2 * name.size()));
  PutBe32(k.data() + 2, parent);
  PutBe16(k.data() + 6, static_cast<uint16_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) PutBe16(k.data() + 8 + 2 * i, name[i]);
  return k;
}

// Lays the node's records out again with record `index` replaced by `bytes`.
int ReplaceRecord(Node* node, size_t index, const std::vector<uint8_t>& bytes) {
  auto records = Records(*node);
  if (!records || index >= records->size()) return EIO;
  std::vector<std::vector<uint8_t>> all;
  size_t total = 14;
  for (size_t i = 0; i < records->size(); ++i) {
    const Record& r = (*records)[i];
    if (i == index) {
      all.push_back(bytes);
    } else {
      all.emplace_back(node->begin() + static_cast<long>(r.offset),
                       node->begin() + static_cast<long>(r.offset + r.length));
    }
    total += all.back().size();
  }
  size_t size = node->size();
  if (total + 2 * (all.size() + 1) > size) return ENOSPC;
  std::fill(node->begin() + 14, node->end(), 0);
  size_t at = 14;
  for (size_t i = 0; i < all.size(); ++i) {
    PutBe16(node->data() + size - 2 * (i + 1), static_cast<uint16_t>(at));
    std::memcpy(node->data() + at, all[i].data(), all[i].size());
    at += all[i].size();
  }
  PutBe16(node->data() + size - 2 * (all.size() + 1), static_cast<uint16_t>(at));
  return 0;
}

struct Found {
  uint32_t node = 0;
  size_t index = 0;
  std::u16string name;
};

// Walks the leaf chain for the root folder's thread record and its folder record.
bool FindRootRecords(Catalog& catalog, std::optional<Found>* thread, std::optional<Found>* folder) {
  Node node;
  uint32_t n = catalog.first_leaf();
  for (uint32_t steps = 0; n != 0 && steps < catalog.total_nodes(); ++steps) {
    if (!catalog.ReadNode(n, &node) || Kind(node) != kLeafNode) return false;
    auto records = Records(node);
    if (!records) return false;
    for (size_t i = 0; i < records->size(); ++i) {
      const uint8_t* p = node.data() + (*records)[i].offset;
      size_t length = (*records)[i].length;
      auto key = ParseKey(p, length);
      if (!key) continue;
      if (key->parent == kRootParent && !*folder) *folder = Found{n, i, key->name};
      if (key->parent == kRootFolder && key->name.empty() && length >= key->total + 10 &&
          GetBe16(p + key->total) == kFolderThreadRecord) {
        const uint8_t* data = p + key->total;
        size_t chars = GetBe16(data + 8);
        if (key->total + 10 + 2 * chars <= length) {
          std::u16string name;
          for (size_t c = 0; c < chars; ++c) name.push_back(static_cast<char16_t>(GetBe16(data + 10 + 2 * c)));
          *thread = Found{n, i, name};
        }
      }
      if (*thread && *folder) return true;
      // Keys are sorted by parent: past parent 2 there is nothing more to find.
      if (key->parent > kRootFolder) return true;
    }
    n = ForwardLink(node);
  }
  return true;
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<uint8_t>(text[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size() && extra > 0) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      auto c = static_cast<uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::optional<std::string> ReadHfsPlusVolumeName(BlockStore& volume) {
  Catalog catalog(volume);
  if (!catalog.Open()) return std::nullopt;
  std::optional<Found> thread, folder;
  if (!FindRootRecords(catalog, &thread, &folder)) return std::nullopt;
  if (thread) return Utf16ToUtf8(thread->name);
  if (folder) return Utf16ToUtf8(folder->name);
  return std::nullopt;
}

int RenameHfsPlusVolume(BlockStore& volume, std::string_view name) {
  auto wide = Utf8ToUtf16(name);
  if (!wide || wide->empty() || wide->size() > 255) return EINVAL;
  Catalog catalog(volume);
  if (!catalog.Open()) return EIO;
  std::optional<Found> thread, folder;
  if (!FindRootRecords(catalog, &thread, &folder) || !thread || !folder) return EIO;
  const std::u16string old_name = folder->name;

  // The folder record: the new key, then the record's data as it was.
  Node node;
  if (!catalog.ReadNode(folder->node, &node)) return EIO;
  {
    auto records = Records(node);
    if (!records) return EIO;
    const Record& r = (*records)[folder->index];
    auto key = ParseKey(node.data() + r.offset, r.length);
    if (!key) return EIO;
    std::vector<uint8_t> bytes = EncodeKey(kRootParent, *wide);
    bytes.insert(bytes.end(), node.begin() + static_cast<long>(r.offset + key->total),
                 node.begin() + static_cast<long>(r.offset + r.length));
    if (int e = ReplaceRecord(&node, folder->index, bytes); e != 0) return e;
  }
  if (thread->node != folder->node) {
    if (!catalog.WriteNode(folder->node, node)) return EIO;
    if (!catalog.ReadNode(thread->node, &node)) return EIO;
  }
  {
    // The thread record: its key stays, its data names the folder anew.
    auto records = Records(node);
    if (!records) return EIO;
    const Record& r = (*records)[thread->index];
    auto key = ParseKey(node.data() + r.offset, r.length);
    if (!key) return EIO;
    std::vector<uint8_t> bytes(node.begin() + static_cast<long>(r.offset),
                               node.begin() + static_cast<long>(r.offset + key->total + 8));
    std::vector<uint8_t> unistr(2 + 2 * wide->size());
    PutBe16(unistr.data(), static_cast<uint16_t>(wide->size()));
    for (size_t i = 0; i < wide->size(); ++i) PutBe16(unistr.data() + 2 + 2 * i, (*wide)[i]);
    bytes.insert(bytes.end(), unistr.begin(), unistr.end());
    if (int e = ReplaceRecord(&node, thread->index, bytes); e != 0) return e;
  }
  if (!catalog.WriteNode(thread->node, node)) return EIO;

  // The root folder's key is the smallest of the tree, so index nodes hold it only
  // as the first key along the leftmost path from the root.
  if (catalog.depth() > 1 && catalog.variable_index_keys()) {
    uint32_t n = catalog.root();
    for (uint32_t level = 0; level < catalog.depth() && level < 16; ++level) {
      if (!catalog.ReadNode(n, &node) || Kind(node) != kIndexNode) break;
      auto records = Records(node);
      if (!records || records->empty()) return EIO;
      const Record& r = (*records)[0];
      auto key = ParseKey(node.data() + r.offset, r.length);
      if (!key || r.length < key->total + 4) return EIO;
      uint32_t child = GetBe32(node.data() + r.offset + key->total);
      if (key->parent == kRootParent && key->name == old_name) {
        std::vector<uint8_t> bytes = EncodeKey(kRootParent, *wide);
        bytes.resize(bytes.size() + 4);
        PutBe32(bytes.data() + bytes.size() - 4, child);
        if (int e = ReplaceRecord(&node, 0, bytes); e != 0) return e;
        if (!catalog.WriteNode(n, node)) return EIO;
      }
      n = child;
    }
  }
  return 0;
}

}  // namespace sim
