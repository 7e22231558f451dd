#pragma once
// Raw disk devices of the simulated machine. Opening asks the daemon, which names the
// bytes of the disk image behind the device and hands over a descriptor of the image;
// reads and writes then go straight to that file at the given offset. While a fault
// is armed on the device every transfer goes through the daemon instead, which
// applies it.
//
// Open devices watch the machine's change counter (a shared page the daemon bumps
// when faults change or media go away) and ask the daemon again when it moved: a
// device whose medium went away fails with ENXIO from then on.
//
// Like a BSD raw device, transfers must start on a 512-byte boundary and be a
// multiple of 512 bytes long (EINVAL otherwise). Closing a device that was written,
// and the cache-synchronise request, make the daemon look at the disk again (its
// partition map and file systems), so the machine shows what was written by the
// time the call returns.
//
// MachineRawDevices may be used from any thread; each device by one thread at a time.

#include <memory>
#include <mutex>
#include <string>

#include "platform/raw_device.h"
#include "platform/sim/machine_connection.h"

namespace platform {

// The daemon's change counter, mapped read-only. Thread-safe.
class ChangeCounter {
 public:
  static std::shared_ptr<ChangeCounter> Map(const std::string& path);
  ~ChangeCounter();
  uint64_t Load() const;
  bool SameFileAs(const std::string& path) const;

 private:
  ChangeCounter() = default;
  void* page_ = nullptr;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

class MachineRawDevices : public RawDevices {
 public:
  explicit MachineRawDevices(MachineConnection& connection) : connection_(connection) {}
  std::unique_ptr<RawDevice> Open(std::string_view device_path, int bsd_flags) override;

 private:
  std::shared_ptr<ChangeCounter> Counter();

  MachineConnection& connection_;
  std::mutex mutex_;
  std::shared_ptr<ChangeCounter> counter_;  // guarded by mutex_
};

}  // namespace platform
