#include "sim/fs/volume_probe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/testing/temp_dir.h"
#include "sim/fs/hfs_catalog.h"
#include "sim/fs/volume_format.h"

namespace sim {
namespace {

std::string Blank(size_t size) { return std::string(size, '\0'); }

// A FAT16 boot sector with `label`.
std::string FatVolume(const char* label) {
  std::string v = Blank(1 << 20);
  auto* b = reinterpret_cast<uint8_t*>(v.data());
  b[0] = 0xEB;
  b[11] = 0x00;  // 512 bytes per sector
  b[12] = 0x02;
  b[13] = 4;
  b[14] = 1;
  b[16] = 2;
  b[22] = 8;  // sectors per FAT: not FAT32
  b[39] = 0x12;
  std::memcpy(b + 43, label, 11);
  b[510] = 0x55;
  b[511] = 0xAA;
  return v;
}

TEST(VolumeProbeTest, FormattedVolumesAreRecognisedWithTheirNames) {
  struct Case {
    const char* what;
    HfsPlusFormat format;
    VolumeKind kind;
  } cases[] = {
      {"hfs plus", {"Macintosh HD", false, false, 4096, 0}, VolumeKind::kHfsPlus},
      {"hfsx journaled", {"Case Sensitive", true, true, 4096, 0}, VolumeKind::kHfsx},
      {"small blocks", {"Tiny", false, false, 512, 0}, VolumeKind::kHfsPlus},
      {"non-ascii name", {"Données", false, false, 8192, 0}, VolumeKind::kHfsPlus},
  };
  for (const Case& c : cases) {
    std::string bytes = Blank(8 << 20);
    MemoryStore store(bytes);
    ASSERT_EQ(FormatHfsPlus(store, c.format), 0) << c.what;
    VolumeInfo info = ProbeVolume(store);
    EXPECT_EQ(info.kind, c.kind) << c.what;
    EXPECT_EQ(info.name, c.format.name) << c.what;
    EXPECT_EQ(info.journaled, c.format.journaled) << c.what;
    EXPECT_STREQ(FileSystemType(info.kind), "hfs");
  }
}

TEST(VolumeProbeTest, RenameChangesTheNameInTheCatalog) {
  std::string bytes = Blank(8 << 20);
  MemoryStore store(bytes);
  ASSERT_EQ(FormatHfsPlus(store, {"Old", false, false, 4096, 0}), 0);
  uint32_t created = ProbeVolume(store).fingerprint;
  ASSERT_EQ(RenameVolume(store, "A Much Longer Volume Name"), 0);
  EXPECT_EQ(ProbeVolume(store).name, "A Much Longer Volume Name");
  ASSERT_EQ(RenameVolume(store, "X"), 0);
  VolumeInfo info = ProbeVolume(store);
  EXPECT_EQ(info.name, "X");
  EXPECT_EQ(info.fingerprint, created);  // renaming is not reformatting
}

TEST(VolumeProbeTest, PlainHfsMadeByHformatIsReadAndRenamed) {
  platform::testing::TempDir dir;
  std::string image = dir.Sub("hfs.img");
  { std::ofstream(image).close(); }
  ASSERT_EQ(truncate(image.c_str(), 4 << 20), 0);
  ASSERT_EQ(std::system(("hformat -l Classic " + image + " >/dev/null 2>&1").c_str()), 0);
  std::string bytes = platform::testing::ReadFile(image);
  MemoryStore store(bytes);
  VolumeInfo info = ProbeVolume(store);
  EXPECT_EQ(info.kind, VolumeKind::kHfs);
  EXPECT_EQ(info.name, "Classic");
  EXPECT_FALSE(info.journaled);
  ASSERT_EQ(RenameVolume(store, "Renamed"), 0);
  ASSERT_TRUE(platform::testing::WriteFile(image, bytes));
  // hfsutils reads the name back from the volume we changed.
  std::string command = "cd " + dir.path() + " && HOME=" + dir.path() + " hmount " + image +
                        " 2>&1 | grep -c 'Volume name is \"Renamed\"'";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[16] = {};
  ASSERT_NE(fgets(line, sizeof line, p), nullptr);
  pclose(p);
  EXPECT_STREQ(line, "1\n");
}

TEST(VolumeProbeTest, UfsAndMsdosVolumesAreRecognised) {
  std::string ufs = Blank(1 << 20);
  MemoryStore ufs_store(ufs);
  ASSERT_EQ(FormatUfs(ufs_store, "Unix", 77), 0);
  VolumeInfo u = ProbeVolume(ufs_store);
  EXPECT_EQ(u.kind, VolumeKind::kUfs);
  EXPECT_EQ(u.name, "Unix");
  EXPECT_STREQ(FileSystemType(u.kind), "ufs");

  std::string fat = FatVolume("CAMERA     ");
  MemoryStore fat_store(fat);
  VolumeInfo f = ProbeVolume(fat_store);
  EXPECT_EQ(f.kind, VolumeKind::kMsdos);
  EXPECT_EQ(f.name, "CAMERA");
  ASSERT_EQ(RenameVolume(fat_store, "card"), 0);
  EXPECT_EQ(ProbeVolume(fat_store).name, "CARD");
}

TEST(VolumeProbeTest, RenameRefusesWhatTheFileSystemCannotHold) {
  std::string hfs_plus = Blank(8 << 20);
  MemoryStore plus(hfs_plus);
  ASSERT_EQ(FormatHfsPlus(plus, {"Vol", false, false, 4096, 0}), 0);
  std::string fat = FatVolume("NO NAME    ");
  MemoryStore fat_store(fat);
  std::string blank = Blank(1 << 20);
  MemoryStore nothing(blank);
  struct Case {
    const char* what;
    BlockStore* store;
    std::string name;
    int error;
  } cases[] = {
      {"empty name", &plus, "", EINVAL},
      {"256 characters", &plus, std::string(256, 'a'), EINVAL},
      {"broken utf-8", &plus, "\xC3", EINVAL},
      {"twelve characters on fat", &fat_store, "ABCDEFGHIJKL", EINVAL},
      {"no file system", &nothing, "Name", ENOTSUP},
  };
  for (const Case& c : cases) EXPECT_EQ(RenameVolume(*c.store, c.name), c.error) << c.what;
  EXPECT_EQ(ProbeVolume(plus).name, "Vol");
  EXPECT_EQ(ProbeVolume(fat_store).name, "");  // "NO NAME" is no name
}

TEST(VolumeProbeTest, DamagedCatalogGivesARecognisedVolumeWithoutAName) {
  std::string bytes = Blank(8 << 20);
  MemoryStore store(bytes);
  ASSERT_EQ(FormatHfsPlus(store, {"Vol", false, false, 4096, 0}), 0);
  // Point the catalog's first extent far beyond the volume.
  auto* header = reinterpret_cast<uint8_t*>(bytes.data()) + 1024;
  PutBe32(header + 272 + 16, 0x7fffffff);
  VolumeInfo info = ProbeVolume(store);
  EXPECT_EQ(info.kind, VolumeKind::kHfsPlus);
  EXPECT_EQ(info.name, "");
  EXPECT_EQ(RenameVolume(store, "New"), EIO);
}

TEST(VolumeProbeTest, Utf16ConversionKeepsSupplementaryCharacters) {
  auto wide = Utf8ToUtf16("a\xF0\x9F\x98\x80z");
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->size(), 4u);
  EXPECT_EQ(Utf16ToUtf8(*wide), "a\xF0\x9F\x98\x80z");
  EXPECT_FALSE(Utf8ToUtf16("\xED\xA0\x80").has_value());  // an encoded surrogate
}

}  // namespace
}  // namespace sim
