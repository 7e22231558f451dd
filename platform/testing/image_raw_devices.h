#pragma once
// Raw devices backed by image files, with switches that inject the failures real
// disks show: a write that fails, a crash that loses every write after a point, a
// torn write of which only a prefix of whole 512-byte sectors lands, reads that
// fail or return corrupted data. Each switch counts how often it fired, so a test
// can check that the fault it meant really happened.
//
// Writes and reads are numbered from 1 across every device opened through one
// ImageRawDevices. Open maps the BSD open flags as the platform's device layer
// does (read/write mode kept, BSD O_APPEND and the other BSD-only bits dropped).
//
// Thread-safe: the counters and switches are guarded by one mutex, so devices
// opened from different threads share them safely.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/raw_device.h"

namespace platform::testing {

class ImageRawDevices : public RawDevices {
 public:
  static constexpr size_t kSectorBytes = 512;

  struct WriteRecord {
    int64_t offset;
    size_t length;
  };

  // Makes `machine_path` ("/dev/rdisk2") open the image file `image_path`.
  void AddDevice(const std::string& machine_path, const std::string& image_path);

  std::unique_ptr<RawDevice> Open(std::string_view device_path, int bsd_flags) override;

  // The next `count` opens fail with EBUSY.
  void FailOpens(int count);
  // Write number n returns -1 with EIO; nothing of it lands.
  void FailWriteAt(int n);
  // Writes after number n are lost: they report success but nothing lands (the
  // machine lost power after write n).
  void CrashAfterWrite(int n);
  // Write number n lands only its first `sectors` whole sectors and reports
  // success; every later write is lost as in CrashAfterWrite(n).
  void TearWriteAt(int n, size_t sectors);
  // Read number n returns -1 with EIO.
  void FailReadAt(int n);
  // Read number n returns its data with one byte changed (as a disk whose
  // read-back differs from what was written).
  void CorruptReadBackAt(int n);
  // Clears every switch (counters and logs stay).
  void ClearFaults();

  int writes() const;
  int reads() const;
  int opens() const;
  int open_failures_fired() const;
  int write_failures_fired() const;
  int writes_lost() const;  // writes dropped after a crash or tear
  int tears_fired() const;
  int read_failures_fired() const;
  int corruptions_fired() const;
  // The flags (Linux numbering) of the last successful open.
  int last_linux_flags() const;
  std::vector<WriteRecord> write_log() const;

 private:
  friend class ImageRawDevice;
  enum class WriteFate { kLand, kFail, kLose, kTear };
  // Decides what happens to the next write; for a tear, `sectors` gets the prefix.
  WriteFate NextWrite(int64_t offset, size_t length, size_t* sectors);
  enum class ReadFate { kRead, kFail, kCorrupt };
  ReadFate NextRead();

  mutable std::mutex mutex_;
  std::map<std::string, std::string> images_;
  int writes_ = 0, reads_ = 0, opens_ = 0;
  int fail_opens_ = 0, fail_write_at_ = 0, crash_after_ = 0, tear_at_ = 0;
  size_t tear_sectors_ = 0;
  int fail_read_at_ = 0, corrupt_read_at_ = 0;
  bool crashed_ = false;
  int open_failures_fired_ = 0, write_failures_fired_ = 0, writes_lost_ = 0, tears_fired_ = 0;
  int read_failures_fired_ = 0, corruptions_fired_ = 0;
  int last_linux_flags_ = -1;
  std::vector<WriteRecord> write_log_;
};

// Maps BSD open flags to Linux ones: the access mode, O_NONBLOCK, O_CREAT, O_TRUNC
// and O_EXCL are kept; O_APPEND and the BSD lock bits are dropped.
int BsdToLinuxOpenFlags(int bsd_flags);

}  // namespace platform::testing
