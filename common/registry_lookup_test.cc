#include "common/registry_lookup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testing/tree_registry.h"
#include "platform/testing/fake_host.h"

namespace {

using common_testing::ListIterator;
using common_testing::TreeRegistry;
using platform::Property;
using platform::RegistryEntry;

// A disk with two partitions under an ATA bus.
class RegistryLookupTest : public ::testing::Test {
 protected:
  RegistryLookupTest() {
    host_.SetRegistry(&registry_);
    bus_ = registry_.Add({}, "ATADeviceNub", "ata-6", {}, "/pci@f2000000/ata-6@d");
    disk_ = registry_.Add(bus_, "IOMedia", "disk2",
                          {{"BSD Name", Property::String("disk2")},
                           {"Size", Property::Integer(80026361856)}},
                          "/pci@f2000000/ata-6@d/disk@0");
    part_ = registry_.Add(disk_, "IOMedia", "disk2s3",
                          {{"BSD Name", Property::String("disk2s3")},
                           {"Size", Property::Integer(1048576)}},
                          "/pci@f2000000/ata-6@d/disk@0:3");
  }

  platform::testing::FakeHost host_;
  TreeRegistry registry_;
  RegistryEntry bus_, disk_, part_;
};

TEST_F(RegistryLookupTest, BSDNamesFindTheirOwnEntryOnly) {
  EXPECT_EQ(GetIOKitObjectWithBSDName("disk2"), disk_);
  EXPECT_EQ(GetIOKitObjectWithBSDName("disk2s3"), part_);
  EXPECT_FALSE(GetIOKitObjectWithBSDName("disk2s"));
  EXPECT_FALSE(GetIOKitObjectWithBSDName("disk9"));
  const int before = registry_.lookups();
  EXPECT_FALSE(GetIOKitObjectWithBSDName(""));
  EXPECT_FALSE(GetIOKitObjectWithBSDName(nullptr));
  EXPECT_EQ(registry_.lookups(), before) << "an empty name would match every entry";
}

TEST_F(RegistryLookupTest, OpenFirmwarePathsFindTheirEntry) {
  EXPECT_EQ(GetIOKitObjectWithOpenFirmwarePath("/pci@f2000000/ata-6@d/disk@0:3"), part_);
  EXPECT_EQ(GetIOKitObjectWithOpenFirmwarePath("/pci@f2000000/ata-6@d"), bus_);
  EXPECT_FALSE(GetIOKitObjectWithOpenFirmwarePath("/pci@f2000000/ata-6@d/disk@1:3"));
  EXPECT_FALSE(GetIOKitObjectWithOpenFirmwarePath(""));
  EXPECT_FALSE(GetIOKitObjectWithOpenFirmwarePath(nullptr));
}

TEST_F(RegistryLookupTest, DiskSizeComesFromTheSizeProperty) {
  const RegistryEntry no_size = registry_.Add(disk_, "IOMedia", "disk2s4",
                                              {{"BSD Name", Property::String("disk2s4")}});
  const RegistryEntry text_size = registry_.Add(
      disk_, "IOMedia", "disk2s5",
      {{"BSD Name", Property::String("disk2s5")}, {"Size", Property::String("1024")}});
  const RegistryEntry negative = registry_.Add(
      disk_, "IOMedia", "disk2s6",
      {{"BSD Name", Property::String("disk2s6")}, {"Size", Property::Integer(-512)}});
  (void)no_size;
  (void)text_size;
  (void)negative;

  struct Case {
    const char* bsd_name;
    uint64_t bytes;
  };
  const Case cases[] = {
      {"disk2", 80026361856ULL}, {"disk2s3", 1048576}, {"disk7", 0},
      {"disk2s4", 0},            {"disk2s5", 0},       {"disk2s6", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(NumberBytesOnDisk(c.bsd_name), c.bytes) << c.bsd_name;
  EXPECT_EQ(NumberBytesOnDisk(nullptr), 0u);
}

TEST(IterateThroughParentLevelsTest, ReturnsTheEntryAfterThatManySteps) {
  struct Case {
    uint32_t steps;
    uint64_t expected;
    int next_calls;
  };
  const Case cases[] = {
      {0, 0, 0},  // no step: nothing, and the iterator is not touched
      {1, 11, 1},
      {3, 13, 3},
      {4, 0, 4},   // one past the end
      {10, 0, 4},  // stops at the end
  };
  for (const Case& c : cases) {
    ListIterator it({RegistryEntry(11), RegistryEntry(12), RegistryEntry(13)});
    EXPECT_EQ(IterateThroughParentLevels(&it, c.steps).id(), c.expected) << c.steps;
    EXPECT_EQ(it.calls(), c.next_calls) << c.steps;
  }
  EXPECT_FALSE(IterateThroughParentLevels(nullptr, 2));
}

TEST(ExtractBSDNameFromPathnameTest, NamesFromDevicePaths) {
  struct Case {
    const char* path;
    size_t out_size;
    const char* name;  // nullptr: false
  };
  const Case cases[] = {
      {"/dev/rdisk1s2", 64, "disk1s2"},
      {"/dev/disk1", 64, "disk1"},
      {"/dev/disk12s10", 64, "disk12s10"},
      {"disk0", 64, "disk0"},
      {"/dev/ddisk3", 64, "disk3"},
      {"/dev/disk", 64, nullptr},     // nothing after "disk"
      {"/dev/disk2x", 64, nullptr},   // a character that is neither digit nor 's'
      {"/dev/disk2/", 64, nullptr},
      {"/dev/sda1", 64, nullptr},
      {"disk", 64, nullptr},          // four characters or fewer
      {"isk1", 64, nullptr},
      {"", 64, nullptr},
      {"/dev/disk1s2", 7, nullptr},   // exactly the name's length: no room for the NUL
      {"/dev/disk1s2", 8, "disk1s2"},
      {"/dev/disk1s2", 0, nullptr},
  };
  for (const Case& c : cases) {
    char out[64];
    std::memset(out, 'X', sizeof out);
    const Boolean ok = ExtractBSDNameFromPathname(c.path, out, c.out_size);
    EXPECT_EQ(ok != 0, c.name != nullptr) << c.path << " size " << c.out_size;
    if (c.name != nullptr) {
      EXPECT_STREQ(out, c.name);
    } else {
      EXPECT_EQ(out[0], 'X') << c.path << ": nothing written on failure";
    }
  }
  char out[8];
  EXPECT_EQ(ExtractBSDNameFromPathname(nullptr, out, sizeof out), 0);
  EXPECT_EQ(ExtractBSDNameFromPathname("/dev/disk1", nullptr, 8), 0);
}

TEST(CompareCFTypeRefToStringTest, StringAndDataValues) {
  const Property ata = Property::String("ATAPI");
  const Property scsi_data = Property::Data("SCSI\0junk", 9);
  const Property unterminated = Property::Data("usb", 3);
  const Property empty_string = Property::String("");
  const Property long_string = Property::String(std::string(256, 'A'));
  const Property longest_string = Property::String(std::string(255, 'A'));
  const Property non_ascii = Property::String("ATA\xC3\xA9");
  const Property number = Property::Integer(7);
  const Property boolean = Property::Boolean(true);

  struct Case {
    const Property* value;
    const char* text;
    bool prefix;
    bool expected;
  };
  const Case cases[] = {
      {&ata, "ATA", true, true},
      {&ata, "ATA", false, false},
      {&ata, "ATAPI", false, true},
      {&ata, "ATAPIX", true, false},     // the text is longer than the value
      {&ata, "ata", true, false},        // case counts
      {&ata, "", true, true},
      {&scsi_data, "SCSI", false, true}, // data ends at its first NUL
      {&scsi_data, "SCSI\x01", true, false},
      {&scsi_data, "", true, true},
      {&unterminated, "usb", false, true},
      {&unterminated, "usbx", true, false},
      {&empty_string, "", false, true},
      {&empty_string, "", true, true},
      {&longest_string, "AAA", true, true},
      {&long_string, "AAA", true, false},  // does not convert into 256 bytes
      {&long_string, "", true, false},
      {&non_ascii, "ATA", true, false},    // not ASCII
      {&number, "", true, false},
      {&number, "7", false, false},
      {&boolean, "", true, false},
      {nullptr, "", true, false},
      {&ata, nullptr, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareCFTypeRefToString(c.value, c.text, c.prefix) != 0, c.expected)
        << (c.text ? c.text : "(null)") << " prefix " << c.prefix;
  }
  EXPECT_EQ(CompareCFTypeRefToString(std::optional<Property>(), "", 1), 0);
  EXPECT_EQ(CompareCFTypeRefToString(std::optional<Property>(ata), "ATA", 1), 1);
}

}  // namespace
