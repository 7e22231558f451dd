#pragma once
// A volume on a raw device, as the file-system writers of sim/fs want it: reads and
// writes of any offset and length, turned into whole 512-byte sector transfers (a
// raw device takes nothing else). A partial sector is read, patched and written
// back. The device is not owned and must outlive the store; one thread at a time.

#include <cstdint>

#include "platform/raw_device.h"
#include "sim/fs/block_store.h"

namespace sim::tools {

class RawDeviceStore : public BlockStore {
 public:
  static constexpr uint64_t kSectorBytes = 512;

  // `size` in bytes; a device's own size when negative.
  explicit RawDeviceStore(platform::RawDevice& device, int64_t size = -1);

  bool Read(uint64_t offset, void* buffer, size_t length) override;
  bool Write(uint64_t offset, const void* buffer, size_t length) override;
  uint64_t Size() const override { return size_; }

  // errno of the last failed transfer (EIO for a short one, ERANGE outside the
  // device); 0 while none failed.
  int last_error() const { return last_error_; }

 private:
  bool Fail(int error);
  bool InRange(uint64_t offset, size_t length) const;
  bool ReadAligned(uint64_t offset, void* buffer, size_t length);
  bool WriteAligned(uint64_t offset, const void* buffer, size_t length);

  platform::RawDevice& device_;
  uint64_t size_;
  int last_error_ = 0;
};

}  // namespace sim::tools
