#pragma once
// A reader of disk images that knows nothing of undo records, as the kernel
// driver and other partition tools read a disk: the live map entries (as many as
// the first entry counts), and of the two status copies the one with the newer
// sequence number. Tests use it to check that such readers see the same layout as
// the engine does.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tool/disks/testing/map_fixture.h"

namespace mv_test {

// The part of a layout both kinds of reader can see.
struct PlainLayout {
  std::vector<EntryView> entries;
  std::vector<RecordView> records;  // non-zero records of the current status copy
  uint32_t statusVersion = 0;
  uint64_t diskID = 0;
  bool operator==(const PlainLayout&) const = default;
};
std::ostream& operator<<(std::ostream& os, const PlainLayout& v);

struct PlainView {
  PlainLayout layout;
  int statusCopy = -1;  // 0 for copy A, 1 for copy B, -1 without a status partition
  uint32_t sequence = 0;
  uint64_t statusOffset = 0;  // bytes
};

// Reads the image file at `path` directly, without the engine or the device layer.
PlainView ReadAsPlainReader(const std::string& path);

// What a plain reader should find on a disk that the engine reads as `v`.
PlainLayout AsPlain(const LayoutView& v);

}  // namespace mv_test
