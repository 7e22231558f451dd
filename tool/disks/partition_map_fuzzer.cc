// Feeds arbitrary disk images to the map reader (with volume scanning), and edits
// and writes back whatever it accepts: nothing may read or write outside the
// buffers or the image, whatever the image claims.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "platform/testing/image_raw_devices.h"
#include "tool/disks/map_journal.h"
#include "tool/disks/partition_map.h"
#include "tool/disks/testing/map_fixture.h"

namespace {

struct Machine {
  platform::testing::FakeHost host;
  platform::testing::ImageRawDevices devices;
  mv_test::SteppingClock clock{10.0};
  std::string image;
  Machine() {
    host.SetRawDevices(&devices);
    host.SetClock(&clock);
    image = host.Resolve("/tmp/fuzz.img");
    devices.AddDevice(mv_test::kDevice, image);
  }
};

constexpr uint32_t kTemplateBlocks = 160;

Partition* EntryAt(std::string& image, uint32_t index) {
  return reinterpret_cast<Partition*>(image.data() + 512 * (1 + index));
}

// A small valid map to mutate, so that inputs reach beyond the signatures: either
// a disk of this system (map, status, volume, free) or a plain Apple disk (map,
// HFS volume, driver partition, free).
std::string Template(bool mirovane) {
  std::string image(512 * kTemplateBlocks, '\0');
  InitializeBlock0Rec(image.data(), image.size(), 512);
  struct E {
    uint32_t first, blocks;
    const char* type;
  };
  const std::vector<E> entries =
      mirovane ? std::vector<E>{{1, 64, kTypePartitionMap}, {65, 54, kTypeStatus},
                                {119, 8, kTypeVolume}, {127, kTemplateBlocks - 127, kTypeFree}}
               : std::vector<E>{{1, 63, kTypePartitionMap}, {64, 20, kTypeHFS},
                                {84, 10, kTypeDriver43}, {94, kTemplateBlocks - 94, kTypeFree}};
  for (uint32_t i = 0; i < entries.size(); ++i) {
    InitializePartitionMapEntry(EntryAt(image, i), static_cast<uint32_t>(entries.size()),
                                entries[i].first, uint64_t{entries[i].blocks} * 512, 512, "",
                                entries[i].type);
  }
  if (mirovane) {
    for (uint32_t copy = 0; copy < 2; ++copy) {
      auto* area = reinterpret_cast<StatusArea*>(image.data() + 65 * 512 +
                                                 (copy ? kStatusCopyBOffset : kStatusCopyAOffset));
      area->header.version.set(kStatusRecordVersion2);
      area->header.sequence.set(copy);
      area->header.diskID.set(77);
      area->header.entryCount.set(4);
      area->records[2].volumeID.set(99);
      area->records[2].partitionSize.set(8 * 512);
    }
  }
  return image;
}

// The disk of this system above, interrupted while deleting its volume: the live
// entry and status copy B are changed already, and the undo record (map blocks 59
// to 63) restores the template. Reading it read-write repairs the disk.
std::string InterruptedTemplate() {
  std::string image = Template(true);
  constexpr uint32_t kEntries = 4, kCapacity = 64, kFirst = kCapacity - 1 - kEntries;
  uint64_t entriesHash = 0xcbf29ce484222325ull;
  for (uint32_t i = 0; i < kEntries; ++i) {
    Partition* copy = EntryAt(image, kFirst + i);
    std::memcpy(copy, EntryAt(image, i), sizeof(Partition));
    copy->pmSig.set(kMapJournalEntrySignature);
    entriesHash = Fnv1a64(copy, sizeof(Partition), entriesHash);
  }
  auto* a = reinterpret_cast<StatusArea*>(image.data() + 65 * 512 + kStatusCopyAOffset);
  auto* b = reinterpret_cast<StatusArea*>(image.data() + 65 * 512 + kStatusCopyBOffset);
  MapJournalHeader header;
  std::memset(&header, 0, sizeof(header));
  std::memcpy(header.magic, kMapJournalMagic, sizeof(header.magic));
  header.version.set(kMapJournalVersion);
  header.entryCount.set(kEntries);
  header.blockSize.set(512);
  header.capacity.set(kCapacity);
  header.statusOffset.set(65 * 512);
  header.statusHash.set(Fnv1a64(a, sizeof(StatusArea)));
  header.entriesHash.set(entriesHash);
  header.headerHash.set(Fnv1a64(&header, offsetof(MapJournalHeader, headerHash)));
  std::memcpy(EntryAt(image, kCapacity - 1), &header, sizeof(header));
  SetPartitionType(EntryAt(image, 2), kTypeFree);
  std::memset(&b->records[2], 0, sizeof(b->records[2]));
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Machine* machine = new Machine();
  const int fd = ::open(machine->image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  // First byte 1, 2 or 3: the rest is XORed over a valid template; else it is the
  // image.
  std::string bytes;
  if (size > 0 && data[0] >= 1 && data[0] <= 3) {
    bytes = data[0] == 3 ? InterruptedTemplate() : Template(data[0] == 1);
    for (size_t i = 1; i < size && i - 1 < bytes.size(); ++i) bytes[i - 1] ^= static_cast<char>(data[i]);
  } else {
    bytes.assign(reinterpret_cast<const char*>(data), size);
  }
  size = bytes.size();
  const bool written = ::write(fd, bytes.data(), size) == static_cast<ssize_t>(size);
  ::close(fd);
  if (!written) return 0;

  mv_test::FakeDisk disk(mv_test::kDevice, size);
  mv_test::FakeVolumes volumes;
  TPartitionMap map(&disk, &volumes);
  if (map.Open(false) != 0 || map.Read(true) != 0) return 0;
  disk.driver_type = map.ReturnDriverType();
  if (map.ReturnDriverType() == kDriverTypeMirovane) {
    VolumePartitionStatusRec record;
    std::memset(&record, 0, sizeof(record));
    record.volumeID.set(0x1234);
    record.partitionSize.set(2048);
    (void)map.AddVolumePartition(&record, false);  // may well find no room
    if (!volumes.added.empty()) (void)map.DeleteVolumePartition(volumes.added.front());
    (void)map.Update();
  } else if (map.ReturnDriverType() != kDriverTypeNone) {
    if (map.Convert() != 0) return 0;  // a failed conversion is never written
  }
  PartitionInfoRec info[4];
  map.FillInPartitionInfoArray(info, 4);
  (void)map.Write(nullptr, nullptr, 0);
  // Whatever was written must read back without harm.
  TPartitionMap again(&disk, nullptr);
  if (again.Open(true) == 0) (void)again.Read(false);
  return 0;
}
