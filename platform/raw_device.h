#pragma once
// Raw disk devices ("/dev/rdisk2", "/dev/rdisk2s3"): open, position, read, write and
// the cache-synchronise request, with the same results a BSD device gives (byte
// counts, -1 with errno on failure). Opened with BSD open flags; the device layer
// maps them (BSD O_APPEND has no meaning on a device and is dropped).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace platform {

// BSD numbering of open(2) flags, as the Mac system passes them.
inline constexpr int kBsdOpenReadOnly = 0x0000;
inline constexpr int kBsdOpenWriteOnly = 0x0001;
inline constexpr int kBsdOpenReadWrite = 0x0002;
inline constexpr int kBsdOpenNonBlock = 0x0004;
inline constexpr int kBsdOpenAppend = 0x0008;
inline constexpr int kBsdOpenSharedLock = 0x0010;
inline constexpr int kBsdOpenExclusiveLock = 0x0020;
inline constexpr int kBsdOpenCreate = 0x0200;
inline constexpr int kBsdOpenTruncate = 0x0400;
inline constexpr int kBsdOpenExclusive = 0x0800;

// The ioctl request code of the disk-cache synchronise request.
inline constexpr unsigned long kDiskSynchronizeCacheRequest = 0x20006416;

// One open device. Owned by whoever opened it; used by one thread at a time.
class RawDevice {
 public:
  virtual ~RawDevice() = default;
  // lseek(SEEK_SET): the new offset, or -1 with errno set.
  virtual int64_t Seek(int64_t offset) = 0;
  // Read or write at the current offset, advancing it: the byte count (short at
  // the end of the device), or -1 with errno set.
  virtual ssize_t Read(void* buffer, size_t length) = 0;
  virtual ssize_t Write(const void* buffer, size_t length) = 0;
  // The cache-synchronise request: 0, or -1 with errno set.
  virtual int SynchronizeCache() = 0;
  // Size of the device in bytes.
  virtual int64_t Size() = 0;
};

class RawDevices {
 public:
  virtual ~RawDevices() = default;
  // Opens the machine path `device_path` ("/dev/rdisk2s3") with BSD `bsd_flags`.
  // Returns nullptr with errno set when the device does not exist or cannot be
  // opened that way.
  virtual std::unique_ptr<RawDevice> Open(std::string_view device_path, int bsd_flags) = 0;
};

}  // namespace platform
