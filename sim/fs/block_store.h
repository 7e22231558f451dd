#pragma once
// Byte access to a volume: a region of a disk image file, or bytes in memory. The
// file-system code reads and writes volumes only through this.

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class BlockStore {
 public:
  virtual ~BlockStore() = default;
  // Reads or writes exactly `length` bytes at `offset`; false when any of it lies
  // outside the store or the transfer fails.
  virtual bool Read(uint64_t offset, void* buffer, size_t length) = 0;
  virtual bool Write(uint64_t offset, const void* buffer, size_t length) = 0;
  virtual uint64_t Size() const = 0;
};

// [base, base + size) of an open file (the descriptor is not owned).
class FileRegion : public BlockStore {
 public:
  FileRegion(int fd, uint64_t base, uint64_t size) : fd_(fd), base_(base), size_(size) {}
  bool Read(uint64_t offset, void* buffer, size_t length) override;
  bool Write(uint64_t offset, const void* buffer, size_t length) override;
  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t base_;
  uint64_t size_;
};

// A string used as a volume (not owned).
class MemoryStore : public BlockStore {
 public:
  explicit MemoryStore(std::string& bytes) : bytes_(bytes) {}
  bool Read(uint64_t offset, void* buffer, size_t length) override;
  bool Write(uint64_t offset, const void* buffer, size_t length) override;
  uint64_t Size() const override { return bytes_.size(); }

 private:
  std::string& bytes_;
};

// A window [base, base + size) of another store.
class SubStore : public BlockStore {
 public:
  SubStore(BlockStore& parent, uint64_t base, uint64_t size)
      : parent_(parent), base_(base), size_(size) {}
  bool Read(uint64_t offset, void* buffer, size_t length) override;
  bool Write(uint64_t offset, const void* buffer, size_t length) override;
  uint64_t Size() const override { return size_; }

 private:
  BlockStore& parent_;
  uint64_t base_;
  uint64_t size_;
};

// Big-endian access to byte buffers.
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t GetBe64(const uint8_t* p) { return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4); }
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void PutBe64(uint8_t* p, uint64_t v) {
  PutBe32(p, static_cast<uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace sim
