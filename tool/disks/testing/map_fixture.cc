#include "tool/disks/testing/map_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

namespace mv_test {

std::ostream& operator<<(std::ostream& os, const LayoutView& v) {
  os << "{result " << v.result << " type " << v.driverType << " bs " << v.blockSize << " v"
     << v.statusVersion << " disk " << v.diskID << " entries:";
  for (const EntryView& e : v.entries) os << " [" << e.first << "+" << e.length << " " << e.type << "]";
  os << " records:";
  for (const RecordView& r : v.records) os << " [" << r.index << " id " << r.volumeID << " " << r.size << "]";
  return os << "}";
}

std::ostream& operator<<(std::ostream& os, const EntryView& e) {
  return os << "[" << e.first << "+" << e.length << " " << e.type << " '" << e.name << "' data "
            << e.dataLength << " status " << e.status << "]";
}

MapFixture::MapFixture() {
  host_.SetRawDevices(&devices_);
  host_.SetClock(&clock_);
  MakeImage(64 * kMiB);
}

void MapFixture::MakeImage(uint64_t bytes) {
  image_ = host_.Resolve("/disks/disk2.img");
  ::mkdir(host_.Resolve("/disks").c_str(), 0755);
  const int fd = ::open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
  ::close(fd);
  bytes_ = bytes;
  devices_.AddDevice(kDevice, image_);
  disk_ = std::make_unique<FakeDisk>(kDevice, bytes);
}

void MapFixture::Initialize() {
  TPartitionMap map(disk_.get(), &volumes_);
  ASSERT_EQ(map.Open(false), 0);
  ASSERT_EQ(map.Create(), 0);
  ASSERT_EQ(map.Write(nullptr, nullptr, 0), 0);
  disk_->driver_type = kDriverTypeMirovane;
}

std::unique_ptr<TPartitionMap> MapFixture::OpenAndRead(bool readOnly) {
  auto map = std::make_unique<TPartitionMap>(disk_.get(), &volumes_);
  EXPECT_EQ(map->Open(readOnly), 0);
  EXPECT_EQ(map->Read(true), 0);
  return map;
}

VolumePartitionStatusRec MapFixture::Record(MVUID id, uint64_t size, const char* name) {
  VolumePartitionStatusRec r;
  std::memset(&r, 0, sizeof(r));
  r.volumeID.set(id);
  r.raidLevel.set(static_cast<uint32_t>(-1));
  r.partitionSize.set(size);
  CopyTextField(r.volumeName, sizeof(r.volumeName), name);
  r.memberCount = 1;
  r.chunkSize.set(kDefaultChunkSize);
  return r;
}

MapResult MapFixture::CarveVolume(MVUID id, uint64_t size) {
  TPartitionMap map(disk_.get(), &volumes_);
  MapResult r = map.Open(false);
  if (r == 0) r = map.Read(true);
  const VolumePartitionStatusRec record = Record(id, size);
  if (r == 0) r = map.AddVolumePartition(&record, true);
  if (r == 0) r = map.Write(nullptr, nullptr, 0);
  return r;
}

MapResult MapFixture::DeleteVolume(MVUID id) {
  TPartitionMap map(disk_.get(), &volumes_);
  MapResult r = map.Open(false);
  if (r == 0) r = map.Read(true);
  if (r == 0) r = map.DeleteVolumePartition(id);
  if (r == 0) r = map.Write(nullptr, nullptr, 0);
  return r;
}

LayoutView MapFixture::Snapshot() {
  LayoutView v;
  TPartitionMap map(disk_.get(), nullptr);
  v.result = map.Open(true);
  if (v.result == 0) v.result = map.Read(false);
  v.driverType = map.ReturnDriverType();
  last_snapshot_rolled_back = map.ReturnRolledBack();
  v.blockSize = map.ReturnDiskBlockSize();
  for (uint32_t i = 0; i < map.ReturnEntryCount(); ++i) {
    const Partition& e = *map.GetPartitionMapEntryAtIndex(i);
    v.entries.push_back({e.pmPyPartStart.get(), e.pmPartBlkCnt.get(),
                         std::string(e.pmParType, strnlen(e.pmParType, 32)),
                         std::string(e.pmPartName, strnlen(e.pmPartName, 32)), e.pmDataCnt.get(),
                         e.pmPartStatus.get()});
  }
  if (const StatusArea* s = map.ReturnWorkingStatus()) {
    v.statusVersion = s->header.version.get();
    v.diskID = s->header.diskID.get();
    static const VolumePartitionStatusRec kZero{};
    for (uint32_t i = 0; i < kStatusRecordsPerArea; ++i) {
      const VolumePartitionStatusRec& r = s->records[i];
      if (std::memcmp(&r, &kZero, sizeof(r)) == 0) continue;
      v.records.push_back({i, r.volumeID.get(), r.partitionSize.get(),
                           std::string(r.volumeName, strnlen(r.volumeName, 64))});
    }
  }
  return v;
}

std::string MapFixture::ReadBytes(uint64_t offset, size_t length) {
  std::string out(length, '\0');
  const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  const ssize_t n = ::pread(fd, out.data(), length, static_cast<off_t>(offset));
  ::close(fd);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

void MapFixture::WriteBytes(uint64_t offset, const std::string& bytes) {
  const int fd = ::open(image_.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

void MapFixture::Truncate(uint64_t bytes) {
  ASSERT_EQ(::truncate(image_.c_str(), static_cast<off_t>(bytes)), 0);
}

}  // namespace mv_test
