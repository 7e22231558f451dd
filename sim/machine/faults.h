#pragma once
// Faults armed on the machine by its control: I/O errors on a byte range of a disk,
// a failing or torn write at the Nth write to a device, volumes that refuse to
// unmount, and registry first-match notifications of media held back (while Disk
// Arbitration goes on). Each fault counts how often it fired. Used from the daemon's
// thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/property.h"

namespace sim {

enum class FaultKind { kIoError, kFailWrite, kTearWrite, kRefuseUnmount, kHoldRegistryNotifications };

struct Fault {
  FaultKind kind = FaultKind::kIoError;
  std::string device;  // BSD name as armed ("disk2s3"); a hold on "" holds every medium
  int disk = -1;       // the disk's number (the device faults only)
  int64_t start = 0;   // image byte range the fault covers
  int64_t end = 0;
  bool reads = true;   // kIoError: which transfers fail
  bool writes = true;
  int64_t nth = 0;      // kFailWrite, kTearWrite: the write that fails (1 = the first)
  int64_t sectors = 0;  // kTearWrite: 512-byte sectors that land
  double seconds = 0;   // kHoldRegistryNotifications: how long each is held; 0 until released
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
  // The id of the hold that keeps back first-match notifications of the medium
  // `bsd`, or 0. A hold armed on a whole disk ("disk2") covers its partitions
  // ("disk2s3") too. Not counted: the caller counts with Fired() once it held
  // something back.
  int64_t HoldOf(const std::string& bsd) const;
  // Ids of the holds armed on exactly `device` (every hold when none is given; ""
  // is the hold on every medium), in order.
  std::vector<int64_t> HoldsOn(const std::optional<std::string>& device) const;
  const Fault* Find(int64_t id) const;
  void Fired(int64_t id);

  platform::Property List() const;

  // Whether `kind` acts on transfers of a disk's image.
  static bool OnDevice(FaultKind kind) {
    return kind == FaultKind::kIoError || kind == FaultKind::kFailWrite || kind == FaultKind::kTearWrite;
  }

 private:
  std::map<int64_t, Fault> faults_;
  int64_t next_id_ = 1;
};

const char* FaultKindName(FaultKind kind);
// "disk2" or "disk2s3".
bool IsBsdMediumName(const std::string& name);

}  // namespace sim
