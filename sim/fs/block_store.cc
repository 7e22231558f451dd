#include "sim/fs/block_store.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

bool Inside(uint64_t offset, size_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

bool FileRegion::Read(uint64_t offset, void* buffer, size_t length) {
  if (!Inside(offset, length, size_)) return false;
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(base_ + offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // beyond the end of a sparse image: zeros
      std::memset(out + done, 0, length - done);
      return true;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FileRegion::Write(uint64_t offset, const void* buffer, size_t length) {
  if (!Inside(offset, length, size_)) return false;
  const auto* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd_, in + done, length - done, static_cast<off_t>(base_ + offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool MemoryStore::Read(uint64_t offset, void* buffer, size_t length) {
  if (!Inside(offset, length, bytes_.size())) return false;
  std::memcpy(buffer, bytes_.data() + offset, length);
  return true;
}

bool MemoryStore::Write(uint64_t offset, const void* buffer, size_t length) {
  if (!Inside(offset, length, bytes_.size())) return false;
  std::memcpy(bytes_.data() + offset, buffer, length);
  return true;
}

bool SubStore::Read(uint64_t offset, void* buffer, size_t length) {
  return Inside(offset, length, size_) && parent_.Read(base_ + offset, buffer, length);
}

bool SubStore::Write(uint64_t offset, const void* buffer, size_t length) {
  return Inside(offset, length, size_) && parent_.Write(base_ + offset, buffer, length);
}

}  // namespace sim
