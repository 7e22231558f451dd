#include "sim/tools/raw_device_store.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace sim::tools {

RawDeviceStore::RawDeviceStore(platform::RawDevice& device, int64_t size)
    : device_(device), size_(0) {
  int64_t bytes = size >= 0 ? size : device.Size();
  size_ = bytes > 0 ? static_cast<uint64_t>(bytes) / kSectorBytes * kSectorBytes : 0;
}

bool RawDeviceStore::Fail(int error) {
  last_error_ = error != 0 ? error : EIO;
  return false;
}

bool RawDeviceStore::InRange(uint64_t offset, size_t length) const {
  return offset <= size_ && length <= size_ - offset;
}

bool RawDeviceStore::ReadAligned(uint64_t offset, void* buffer, size_t length) {
  if (device_.Seek(static_cast<int64_t>(offset)) != static_cast<int64_t>(offset)) return Fail(errno);
  auto* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t got = device_.Read(p + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(errno);
    if (got == 0) return Fail(EIO);
    done += static_cast<size_t>(got);
  }
  return true;
}

bool RawDeviceStore::WriteAligned(uint64_t offset, const void* buffer, size_t length) {
  if (device_.Seek(static_cast<int64_t>(offset)) != static_cast<int64_t>(offset)) return Fail(errno);
  const auto* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t put = device_.Write(p + done, length - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Fail(errno);
    if (put == 0) return Fail(EIO);
    done += static_cast<size_t>(put);
  }
  return true;
}

bool RawDeviceStore::Read(uint64_t offset, void* buffer, size_t length) {
  if (!InRange(offset, length)) return Fail(ERANGE);
  if (length == 0) return true;
  if (offset % kSectorBytes == 0 && length % kSectorBytes == 0) {
    return ReadAligned(offset, buffer, length);
  }
  uint64_t first = offset / kSectorBytes * kSectorBytes;
  uint64_t end = (offset + length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  std::vector<char> window(static_cast<size_t>(end - first));
  if (!ReadAligned(first, window.data(), window.size())) return false;
  std::memcpy(buffer, window.data() + (offset - first), length);
  return true;
}

bool RawDeviceStore::Write(uint64_t offset, const void* buffer, size_t length) {
  if (!InRange(offset, length)) return Fail(ERANGE);
  if (length == 0) return true;
  if (offset % kSectorBytes == 0 && length % kSectorBytes == 0) {
    return WriteAligned(offset, buffer, length);
  }
  // Only the partial first and last sectors need their old bytes.
  uint64_t first = offset / kSectorBytes * kSectorBytes;
  uint64_t end = (offset + length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  std::vector<char> window(static_cast<size_t>(end - first));
  if (!ReadAligned(first, window.data(), kSectorBytes)) return false;
  if (end - first > kSectorBytes &&
      !ReadAligned(end - kSectorBytes, window.data() + window.size() - kSectorBytes, kSectorBytes)) {
    return false;
  }
  std::memcpy(window.data() + (offset - first), buffer, length);
  return WriteAligned(first, window.data(), window.size());
}

}  // namespace sim::tools
