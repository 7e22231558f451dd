#pragma once
// Faults armed on the machine's devices by its control: I/O errors on a byte range of
// a disk, a failing or torn write at the Nth write to a device, and volumes that
// refuse to unmount. Each fault counts how often it fired. Used from the daemon's
// thread.

#include <cstdint>
#include <map>
#include <string>

#include "platform/property.h"

namespace sim {

enum class FaultKind { kIoError, kFailWrite, kTearWrite, kRefuseUnmount };

struct Fault {
  FaultKind kind = FaultKind::kIoError;
  std::string device;  // BSD name as armed ("disk2s3")
  int disk = -1;       // the disk's number (all but kRefuseUnmount)
  int64_t start = 0;   // image byte range the fault covers
  int64_t end = 0;
  bool reads = true;   // kIoError: which transfers fail
  bool writes = true;
  int64_t nth = 0;      // kFailWrite, kTearWrite: the write that fails (1 = the first)
  int64_t sectors = 0;  // kTearWrite: 512-byte sectors that land
  int64_t writes_seen = 0;
  int64_t fired = 0;
};

// What happens to one transfer.
struct FaultOutcome {
  bool fail = false;
  int64_t land_bytes = -1;  // for a torn write: how much of it lands first; -1 all
};

class Faults {
 public:
  int64_t Add(Fault fault);
  bool Clear(int64_t id);
  void ClearAll() { faults_.clear(); }
  bool empty() const { return faults_.empty(); }

  // Whether a fault covers any byte of [start, end) of the disk's image.
  bool Covers(int disk, int64_t start, int64_t end) const;
  // Applies the faults to a transfer of [start, start + length) of the image.
  FaultOutcome OnRead(int disk, int64_t start, int64_t length);
  FaultOutcome OnWrite(int disk, int64_t start, int64_t length);
  // Whether `bsd` refuses to unmount (counting the refusal).
  bool RefusesUnmount(const std::string& bsd);

  platform::Property List() const;

 private:
  std::map<int64_t, Fault> faults_;
  int64_t next_id_ = 1;
};

const char* FaultKindName(FaultKind kind);

}  // namespace sim
