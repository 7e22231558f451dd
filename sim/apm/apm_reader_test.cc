#include "sim/apm/apm_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/testing/temp_dir.h"

namespace sim {
namespace {

void Put16(std::string& d, size_t at, uint16_t v) {
  d[at] = static_cast<char>(v >> 8);
  d[at + 1] = static_cast<char>(v);
}
void Put32(std::string& d, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// A disk image in memory with a map of `entries` (type, start, count) at block size
// `bs`.
struct Image {
  std::string bytes;
  Image(size_t size, uint16_t bs, std::vector<std::tuple<std::string, uint32_t, uint32_t>> entries)
      : bytes(size, '\0') {
    Put16(bytes, 0, 0x4552);
    Put16(bytes, 2, bs);
    for (size_t i = 0; i < entries.size(); ++i) {
      size_t at = (i + 1) * bs;
      Put16(bytes, at, 0x504D);
      Put32(bytes, at + 4, static_cast<uint32_t>(entries.size()));
      Put32(bytes, at + 8, std::get<1>(entries[i]));
      Put32(bytes, at + 12, std::get<2>(entries[i]));
      std::memcpy(&bytes[at + 16], "part", 4);
      const std::string& type = std::get<0>(entries[i]);
      std::memcpy(&bytes[at + 48], type.data(), std::min<size_t>(type.size(), 32));
    }
  }
  DiskReader Reader() const {
    return [this](uint64_t offset, void* buffer, size_t length) {
      if (offset > bytes.size() || length > bytes.size() - offset) return false;
      std::memcpy(buffer, bytes.data() + offset, length);
      return true;
    };
  }
};

TEST(ApmReaderTest, ListsEntriesWithTheirExtentsAndTypes) {
  Image image(1 << 20, 512, {{"Apple_partition_map", 1, 63}, {"Apple_HFS", 64, 1000},
                             {"Apple_Free", 1064, 984}});
  ApmMap map = ReadApplePartitionMap(image.Reader(), image.bytes.size());
  ASSERT_TRUE(map.present);
  EXPECT_EQ(map.block_size, 512u);
  ASSERT_EQ(map.entries.size(), 3u);
  EXPECT_EQ(map.entries[1].index, 2);
  EXPECT_EQ(map.entries[1].type, "Apple_HFS");
  EXPECT_EQ(map.entries[1].name, "part");
  EXPECT_EQ(map.entries[1].start_block, 64u);
  EXPECT_EQ(map.entries[1].block_count, 1000u);
  EXPECT_TRUE(map.entries[2].fits);
}

TEST(ApmReaderTest, DamagedMapsGiveNoMapOrStopEarly) {
  Image good(1 << 20, 512, {{"Apple_partition_map", 1, 63}, {"Apple_HFS", 64, 100}});
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
    bool present;
    size_t entries;
  } cases[] = {
      {"no ER signature", [](std::string& d) { d[0] = 0; }, false, 0},
      {"block size zero", [](std::string& d) { Put16(d, 2, 0); }, false, 0},
      {"block size not a multiple of 512", [](std::string& d) { Put16(d, 2, 700); }, false, 0},
      {"first entry without PM", [](std::string& d) { d[512] = 0; }, false, 0},
      {"second entry without PM", [](std::string& d) { d[1024] = 0; }, true, 1},
      {"huge entry count", [](std::string& d) { Put32(d, 512 + 4, 0xffffffff); }, true, 2},
  };
  for (const Case& c : cases) {
    Image image = good;
    c.damage(image.bytes);
    ApmMap map = ReadApplePartitionMap(image.Reader(), image.bytes.size());
    EXPECT_EQ(map.present, c.present) << c.what;
    EXPECT_EQ(map.entries.size(), c.entries) << c.what;
  }
}

TEST(ApmReaderTest, EntryBeyondTheDiskDoesNotFit) {
  Image image(1 << 20, 512, {{"Apple_partition_map", 1, 63}, {"Apple_HFS", 2000, 100},
                             {"Apple_HFS", 0xffffff00, 0x1000}});
  ApmMap map = ReadApplePartitionMap(image.Reader(), image.bytes.size());
  ASSERT_EQ(map.entries.size(), 3u);
  EXPECT_FALSE(map.entries[1].fits);
  EXPECT_FALSE(map.entries[2].fits);
}

TEST(ApmReaderTest, ReadsTheMapGnuPartedWrites) {
  platform::testing::TempDir dir;
  std::string path = dir.Sub("parted.img");
  { std::ofstream(path).close(); }
  ASSERT_EQ(truncate(path.c_str(), 64 << 20), 0);
  std::string command = "parted -s " + path +
                        " mklabel mac mkpart primary hfs+ 1MiB 20MiB mkpart primary hfs+ 20MiB 40MiB"
                        " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  std::string bytes = s.str();
  DiskReader reader = [&](uint64_t offset, void* buffer, size_t length) {
    if (offset + length > bytes.size()) return false;
    std::memcpy(buffer, bytes.data() + offset, length);
    return true;
  };
  ApmMap map = ReadApplePartitionMap(reader, bytes.size());
  ASSERT_TRUE(map.present);
  int hfs = 0;
  for (const ApmEntry& e : map.entries) {
    EXPECT_TRUE(e.fits);
    if (e.type == "Apple_HFS") {
      ++hfs;
      EXPECT_EQ(e.start_block * map.block_size % (1 << 20), 0u);
    }
  }
  EXPECT_EQ(hfs, 2);
  EXPECT_EQ(map.entries[0].type, "Apple_partition_map");
}

}  // namespace
}  // namespace sim
