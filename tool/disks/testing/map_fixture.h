#pragma once
// Test support for the partition map engine: a disk object and a volume list that
// record what the engine tells them, a clock that moves forward whenever it is
// read, and a fixture with a sparse disk image behind "/dev/rdisk2" on
// fault-injecting raw devices.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "tool/disks/partition_map.h"

namespace mv_test {

class FakeDisk : public PartitionMapDisk {
 public:
  FakeDisk(std::string path, uint64_t bytes, uint32_t sector = 512)
      : path_(std::move(path)), bytes_(bytes), sector_(sector) {}
  const char* ReturnBSDPathname() override { return path_.c_str(); }
  uint32_t ReturnSectorSize() override { return sector_; }
  uint64_t ReturnTotalBytes() override { return bytes_; }
  int32_t ReturnDriverType() override { return driver_type; }
  void SetStatusRecVersion(uint32_t v) override { status_version = v; }

  int32_t driver_type = kDriverTypeNone;
  uint32_t status_version = 0;

 private:
  std::string path_;
  uint64_t bytes_;
  uint32_t sector_;
};

class FakeVolumes : public PartitionMapVolumes {
 public:
  void AddMirovaneVolumePartition(const VolumePartitionStatusRec& record, PartitionMapDisk*,
                                  Boolean creating) override {
    added.push_back(record.volumeID.get());
    added_creating.push_back(creating);
  }
  void DeleteVolumePartition(MVUID id, PartitionMapDisk*) override { deleted.push_back(id); }
  void AddAppleRAIDVolumePartition(const char*, MVUID id, int32_t, uint64_t, uint32_t, uint32_t,
                                   PartitionMapDisk*) override {
    apple_raid.push_back(id);
  }
  std::vector<MVUID> added, deleted, apple_raid;
  std::vector<Boolean> added_creating;
};

// Moves `step` seconds forward on every reading, so that paced loops end.
class SteppingClock : public platform::Clock {
 public:
  explicit SteppingClock(double step) : step_(step) {}
  double AbsoluteTime() override { return now_ += step_; }
  void Sleep(double seconds) override {
    now_ += seconds;
    ++sleeps;
  }
  double ToRealSeconds(double) override { return 0; }
  int32_t SecondsFromGMT(double) override { return 0; }
  int sleeps = 0;

 private:
  double step_;
  double now_ = 600000000.0;
};

// One entry as seen by a reader; comparable.
struct EntryView {
  uint32_t first, length;
  std::string type, name;
  uint32_t dataLength, status;
  bool operator==(const EntryView&) const = default;
};

// A status record reduced to what identifies it.
struct RecordView {
  uint32_t index;
  uint64_t volumeID, size;
  std::string name;
  bool operator==(const RecordView&) const = default;
};

// What a fresh Read finds on a disk.
struct LayoutView {
  MapResult result = 0;
  int32_t driverType = 0;
  uint32_t blockSize = 0;
  std::vector<EntryView> entries;
  std::vector<RecordView> records;  // non-zero status records
  uint32_t statusVersion = 0;
  uint64_t diskID = 0;
  bool operator==(const LayoutView&) const = default;
};
std::ostream& operator<<(std::ostream& os, const LayoutView& v);
std::ostream& operator<<(std::ostream& os, const EntryView& e);

inline constexpr uint64_t kMiB = 1024 * 1024;
inline constexpr const char kDevice[] = "/dev/rdisk2";

class MapFixture : public ::testing::Test {
 public:
  MapFixture();

  // Makes a sparse image of `bytes` behind kDevice (replacing any earlier one).
  void MakeImage(uint64_t bytes);
  const std::string& image() const { return image_; }
  uint64_t image_bytes() const { return bytes_; }

  // Create + Write on the image; asserts success.
  void Initialize();
  // Opens read-write, reads (with volume scan) and returns the map; asserts success.
  std::unique_ptr<TPartitionMap> OpenAndRead(bool readOnly = false);
  // A volume record of `size` bytes with identifier `id`.
  static VolumePartitionStatusRec Record(MVUID id, uint64_t size, const char* name = "Vol");
  // Read + AddVolumePartition + Write; returns the first error.
  MapResult CarveVolume(MVUID id, uint64_t size);
  // Read + DeleteVolumePartition + Write; returns the first error.
  MapResult DeleteVolume(MVUID id);
  // What a fresh reader finds (no faults are injected during the read).
  LayoutView Snapshot();
  // Whether the last Snapshot rolled an unfinished change back.
  bool last_snapshot_rolled_back = false;

  // Raw access to the image.
  std::string ReadBytes(uint64_t offset, size_t length);
  void WriteBytes(uint64_t offset, const std::string& bytes);
  void Truncate(uint64_t bytes);

  platform::testing::FakeHost host_;
  platform::testing::ImageRawDevices devices_;
  SteppingClock clock_{10.0};
  std::unique_ptr<FakeDisk> disk_;
  FakeVolumes volumes_;

 private:
  std::string image_;
  uint64_t bytes_ = 0;
};

}  // namespace mv_test
