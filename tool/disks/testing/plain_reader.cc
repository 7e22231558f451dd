#include "tool/disks/testing/plain_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "tool/disks/disk_layout.h"

namespace mv_test {
namespace {

class Image {
 public:
  explicit Image(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Image() {
    if (fd_ >= 0) ::close(fd_);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  bool Read(uint64_t offset, void* buffer, size_t length) const {
    return fd_ >= 0 && ::pread(fd_, buffer, length, static_cast<off_t>(offset)) ==
                           static_cast<ssize_t>(length);
  }

 private:
  int fd_;
};

std::string Text(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

void AddRecords(const StatusArea& area, PlainLayout* layout) {
  static const VolumePartitionStatusRec kZero{};
  layout->statusVersion = area.header.version.get();
  layout->diskID = area.header.diskID.get();
  for (uint32_t i = 0; i < kStatusRecordsPerArea; ++i) {
    const VolumePartitionStatusRec& r = area.records[i];
    if (std::memcmp(&r, &kZero, sizeof(r)) == 0) continue;
    layout->records.push_back({i, r.volumeID.get(), r.partitionSize.get(),
                               Text(r.volumeName, sizeof(r.volumeName))});
  }
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const PlainLayout& v) {
  os << "{v" << v.statusVersion << " disk " << v.diskID << " entries:";
  for (const EntryView& e : v.entries) os << " " << e;
  os << " records:";
  for (const RecordView& r : v.records) {
    os << " [" << r.index << " id " << r.volumeID << " " << r.size << "]";
  }
  return os << "}";
}

PlainView ReadAsPlainReader(const std::string& path) {
  PlainView view;
  const Image image(path);
  Block0 block0;
  if (!image.Read(0, &block0, sizeof(block0)) || block0.sbSig.get() != kBlock0Signature) {
    return view;
  }
  const uint32_t blockSize = block0.sbBlkSize.get();
  if (blockSize == 0 || blockSize % 512 != 0) return view;
  Partition entry;
  uint32_t count = 1;
  bool haveStatus = false;
  for (uint32_t i = 0; i < count && i < 512; ++i) {
    if (!image.Read(uint64_t{blockSize} * (1 + i), &entry, sizeof(entry)) ||
        entry.pmSig.get() != kPartitionSignature) {
      break;
    }
    if (i == 0) count = entry.pmMapBlkCnt.get();
    view.layout.entries.push_back({entry.pmPyPartStart.get(), entry.pmPartBlkCnt.get(),
                                   Text(entry.pmParType, sizeof(entry.pmParType)),
                                   Text(entry.pmPartName, sizeof(entry.pmPartName)),
                                   entry.pmDataCnt.get(), entry.pmPartStatus.get()});
    if (!haveStatus &&
        (PartitionTypeIs(entry, kTypeStatus) || PartitionTypeIs(entry, kTypeStatusV1))) {
      view.statusOffset = uint64_t{entry.pmPyPartStart.get()} * blockSize;
      haveStatus = true;
    }
  }
  StatusArea a, b;
  if (!haveStatus || !image.Read(view.statusOffset + kStatusCopyAOffset, &a, sizeof(a)) ||
      !image.Read(view.statusOffset + kStatusCopyBOffset, &b, sizeof(b))) {
    return view;
  }
  const bool aNewer = StatusCopyAIsNewer(a.header.sequence.get(), b.header.sequence.get());
  view.statusCopy = aNewer ? 0 : 1;
  const StatusArea& current = aNewer ? a : b;
  view.sequence = current.header.sequence.get();
  AddRecords(current, &view.layout);
  return view;
}

PlainLayout AsPlain(const LayoutView& v) {
  return {v.entries, v.records, v.statusVersion, v.diskID};
}

}  // namespace mv_test
