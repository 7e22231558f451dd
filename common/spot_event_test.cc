#include "common/spot_event.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Bytes = std::array<uint8_t, 252>;

// An expected record image built from the published offsets, independent of the
// struct declarations.
class Image {
 public:
  Image() { bytes_.fill(0); }
  Image& U32(size_t offset, uint32_t v) { return Put(offset, &v, 4); }
  Image& U64(size_t offset, uint64_t v) { return Put(offset, &v, 8); }
  Image& U8(size_t offset, uint8_t v) { return Put(offset, &v, 1); }
  Image& Text(size_t offset, const std::string& s) { return Put(offset, s.data(), s.size()); }
  const Bytes& bytes() const { return bytes_; }

 private:
  Image& Put(size_t offset, const void* p, size_t n) {
    std::memcpy(bytes_.data() + offset, p, n);
    return *this;
  }
  Bytes bytes_;
};

Bytes BytesOf(const SpotEventRec& rec) {
  Bytes b;
  std::memcpy(b.data(), &rec, b.size());
  return b;
}

TEST(SpotEventBuildTest, RecordsCarryExactlyTheirFieldsAtThePublishedOffsets) {
  struct Case {
    const char* name;
    SpotEventRec rec;
    Image expected;
  };
  const Case cases[] = {
      {"disk disappeared carries name, partition flag and size only",
       MakeDiskDisappearedEvent("disk2s3", true, 0x0102030405060708ULL),
       Image().U32(0, 3).Text(4, "disk2s3").U8(20, 1).U64(24, 0x0102030405060708ULL)},
      {"ordinary volume appeared has identity 0",
       MakeVolumeAppearedEvent("disk1s10", 0, "Macintosh HD", "/", kVolumeFormatHFSX, true,
                               true, 80000000000ULL),
       Image()
           .U32(0, 0)
           .Text(4, "disk1s10")
           .Text(28, "Macintosh HD")
           .Text(92, "/")
           .U32(172, 1)
           .U8(176, 1)
           .U8(177, 1)
           .U64(188, 80000000000ULL)},
      {"RAID volume appeared carries its identity",
       MakeVolumeAppearedEvent("disk5", 0xA1B2C3D4E5F60718ULL, "Mirror", "/Volumes/Mirror/",
                               kVolumeFormatUFS, false, false, 512),
       Image()
           .Text(4, "disk5")
           .U64(20, 0xA1B2C3D4E5F60718ULL)
           .Text(28, "Mirror")
           .Text(92, "/Volumes/Mirror/")
           .U32(172, 2)
           .U64(188, 512)},
      {"volume changed after an unmount has an empty mount point",
       MakeVolumeChangedEvent("disk3s2", "Data", "", kVolumeFormatMSDOS, false, true, 4096),
       Image()
           .U32(0, 1)
           .Text(4, "disk3s2")
           .Text(20, "Data")
           .U32(164, 3)
           .U8(169, 1)
           .U64(172, 4096)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BytesOf(c.rec), c.expected.bytes()) << c.name;
  }
}

TEST(SpotEventBuildTest, DiskAppearedFieldsLandAtThePublishedOffsets) {
  SpotEventRec rec = MakeSpotEvent(kSpotDiskAppeared, "disk4");
  DiskAppearedRec& d = rec.payload.diskAppeared;
  d.isPartition = 0;
  d.size = 1000204886016ULL;
  d.ident = DiskIdent{kBusTypeSCSI, 7, 3, 1};
  d.blockSize = 512;
  const uint8_t location[3] = {0xAA, 0x00, 0xBB};
  SetFieldBytes(d.deviceLocation, sizeof d.deviceLocation, location, sizeof location);
  SetFieldText(d.vendorText, "ACME Disk v.1.0");
  SetFieldText(d.identityText, "00 11 22 33 44 55 66 77");
  d.isWWN = 1;

  Image expected;
  expected.U32(0, 2)
      .Text(4, "disk4")
      .U64(24, 1000204886016ULL)
      .U32(32, 2)
      .U32(36, 7)
      .U32(40, 3)
      .U32(44, 1)
      .U32(48, 512)
      .U8(52, 0xAA)
      .U8(54, 0xBB)
      .Text(116, "ACME Disk v.1.0")
      .Text(180, "00 11 22 33 44 55 66 77")
      .U8(244, 1);
  EXPECT_EQ(BytesOf(rec), expected.bytes());
}

TEST(SpotEventTextTest, TextsAreCutToTheirFieldAndFullFieldsHaveNoTerminator) {
  struct Case {
    std::string text;
    std::string stored;  // what FieldText reads back
  };
  const Case cases[] = {
      {"", ""},
      {"disk2", "disk2"},
      {std::string(15, 'a'), std::string(15, 'a')},
      {std::string(16, 'b'), std::string(16, 'b')},  // fills the field, no NUL
      {std::string(40, 'c'), std::string(16, 'c')},  // cut to the width
  };
  for (const Case& c : cases) {
    SpotEventRec rec = MakeSpotEvent(kSpotDiskAppeared, c.text);
    EXPECT_EQ(std::string(FieldText(rec.bsdName)), c.stored) << c.text;
    // The neighbouring payload stays zero whatever the text's length.
    EXPECT_EQ(rec.payload.bytes[0], 0) << c.text;
  }
}

TEST(SpotEventTextTest, VendorTextOfSixtyFourCharactersFillsTheField) {
  SpotEventRec rec = MakeSpotEvent(kSpotDiskAppeared, "disk2");
  const std::string vendor(64, 'V');
  SetFieldText(rec.payload.diskAppeared.vendorText, vendor);
  EXPECT_EQ(std::memcmp(rec.payload.diskAppeared.vendorText, vendor.data(), 64), 0);
  EXPECT_EQ(FieldText(rec.payload.diskAppeared.vendorText), vendor);
  EXPECT_EQ(rec.payload.diskAppeared.identityText[0], '\0');
}

TEST(SpotEventTextTest, ReadingAFullFieldStaysInsideIt) {
  // The field is the whole allocation, so a read past it is caught by the address
  // sanitizer.
  auto field = std::make_unique<char[]>(16);
  std::memset(field.get(), 'x', 16);
  EXPECT_EQ(FieldText(field.get(), 16), std::string(16, 'x'));

  char copy[64];
  CopyFieldText(copy, sizeof copy, field.get(), 16);
  EXPECT_STREQ(copy, std::string(16, 'x').c_str());

  char small[5];
  CopyFieldText(small, sizeof small, field.get(), 16);
  EXPECT_STREQ(small, "xxxx");
}

TEST(SpotEventTextTest, FieldTextStopsAtTheFirstNul) {
  const char field[8] = {'a', 'b', '\0', 'c', 'd', '\0', '\0', '\0'};
  EXPECT_EQ(FieldText(field), "ab");
}

TEST(SpotEventTextTest, DeviceLocationIsCutAtSixtyFourBytes) {
  DiskAppearedRec d{};
  uint8_t data[80];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i + 1);
  std::memset(d.vendorText, 0, sizeof d.vendorText);
  SetFieldBytes(d.deviceLocation, sizeof d.deviceLocation, data, sizeof data);
  EXPECT_EQ(std::memcmp(d.deviceLocation, data, 64), 0);
  EXPECT_EQ(d.vendorText[0], '\0');
}

TEST(SpotEventParseTest, AcceptsEveryKnownTypeAndKeepsTheBytes) {
  const SpotEventRec records[] = {
      MakeVolumeAppearedEvent("disk1s3", 42, "A", "/Volumes/A/", kVolumeFormatHFSPlus, true,
                              false, 1 << 20),
      MakeVolumeChangedEvent("disk1s3", "B", "/Volumes/B/", kVolumeFormatHFSPlus, true, false,
                             1 << 20),
      MakeSpotEvent(kSpotDiskAppeared, "disk1"),
      MakeDiskDisappearedEvent("disk1", false, 1 << 30),
  };
  for (const SpotEventRec& rec : records) {
    SpotEventRec parsed;
    ASSERT_TRUE(ParseSpotEventRec(&rec, sizeof rec, &parsed)) << rec.eventType;
    EXPECT_EQ(BytesOf(parsed), BytesOf(rec)) << rec.eventType;
  }
}

TEST(SpotEventParseTest, RejectsWrongSizesAndUnknownTypes) {
  SpotEventRec good = MakeDiskDisappearedEvent("disk1", false, 1);
  uint8_t buffer[253] = {};
  std::memcpy(buffer, &good, sizeof good);

  struct Case {
    const char* name;
    uint32_t type;
    size_t size;
  };
  const Case cases[] = {
      {"short", 3, 251},
      {"long", 3, 253},
      {"empty", 3, 0},
      {"type 4", 4, 252},
      {"type all ones", 0xFFFFFFFFu, 252},
      {"type in the high byte", 0x03000000u, 252},
  };
  for (const Case& c : cases) {
    std::memcpy(buffer, &c.type, 4);
    SpotEventRec parsed;
    std::memset(&parsed, 0x5A, sizeof parsed);
    EXPECT_FALSE(ParseSpotEventRec(buffer, c.size, &parsed)) << c.name;
    EXPECT_EQ(BytesOf(parsed), Bytes{}) << c.name << ": the output is zeroed";
  }
  SpotEventRec parsed;
  EXPECT_FALSE(ParseSpotEventRec(nullptr, 252, &parsed));
  EXPECT_FALSE(ParseSpotEventRec(buffer, 252, nullptr));
}

TEST(SpotEventParseTest, UnknownEnumerationValuesReadAsUnknown) {
  SpotEventRec volume = MakeVolumeAppearedEvent("disk2", 0, "V", "/", kVolumeFormatHFSPlus,
                                                false, false, 1);
  const uint32_t bad_format = 77;
  std::memcpy(reinterpret_cast<uint8_t*>(&volume) + 172, &bad_format, 4);
  SpotEventRec changed = MakeVolumeChangedEvent("disk2", "V", "/", kVolumeFormatHFSPlus, false,
                                                false, 1);
  std::memcpy(reinterpret_cast<uint8_t*>(&changed) + 164, &bad_format, 4);
  SpotEventRec disk = MakeSpotEvent(kSpotDiskAppeared, "disk2");
  const uint32_t bad_bus = 0x80000000u;
  std::memcpy(reinterpret_cast<uint8_t*>(&disk) + 32, &bad_bus, 4);

  SpotEventRec parsed;
  ASSERT_TRUE(ParseSpotEventRec(&volume, 252, &parsed));
  EXPECT_EQ(parsed.payload.volumeAppeared.format, kVolumeFormatUnknown);
  ASSERT_TRUE(ParseSpotEventRec(&changed, 252, &parsed));
  EXPECT_EQ(parsed.payload.volumeChanged.format, kVolumeFormatUnknown);
  ASSERT_TRUE(ParseSpotEventRec(&disk, 252, &parsed));
  EXPECT_EQ(parsed.payload.diskAppeared.ident.busType, kBusTypeUnknown);
}

}  // namespace
