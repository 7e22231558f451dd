#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/testing/fake_host.h"
#include "spot/event_handler.h"
#include "spot/testing/notifying_registry.h"

namespace {

// Fields of the packed records are compared as copies (unary +): the test macros take
// references, and a reference to a packed field may be misaligned.

using platform::Property;
using platform::PropertyDictionary;
using platform::RegistryEntry;

Property Dict(PropertyDictionary d) { return Property::Dictionary(std::move(d)); }
Property Str(const std::string& s) { return Property::String(s); }
Property Int(int64_t v) { return Property::Integer(v); }

// A machine with a bus of each kind; each test hangs its disks below them.
class IdentificationTest : public ::testing::Test {
 protected:
  IdentificationTest() {
    host_.SetRegistry(&registry_);
    const RegistryEntry root = registry_.Add({}, "IOPlatformExpertDevice", "PowerMac3,6");
    ata_ = registry_.Add(root, "IOService", "ata-6@d", {{"device_type", Str("ata")}});
    scsi_ = registry_.Add(root, "IOService", "scsi@4", {{"device_type", Str("scsi")}});
    firewire_ = registry_.Add(root, "IOService", "firewire@e", {{"device_type", Str("ieee1394")}});
    usb_ = registry_.Add(root, "IOService", "usb@18", {{"device_type", Str("usb")}});
    registry_.Add(root, "IOService", "firewire@f", {{"device_type", Str("ieee1394")}});
    firewire1_ = registry_.Add(root, "IOService", "firewire@f2", {{"device_type", Str("ieee1394")}});
    EXPECT_EQ(handler_.InitializeTrackerAndCache(), 0);
  }
  ~IdentificationTest() override { handler_.ReturnTrackerPtr()->DiscardTables(); }

  // A device below `bus` with `device` properties, and its whole-disk medium.
  RegistryEntry DiskMedium(RegistryEntry bus, PropertyDictionary device,
                           const std::string& bsd = "disk2") {
    const RegistryEntry nub = registry_.Add(bus, "IOBlockStorageDevice", "device", std::move(device));
    return registry_.Add(nub, "IOMedia", bsd,
                         {{"BSD Name", Str(bsd)}, {"Size", Int(80026361856)},
                          {"Preferred Block Size", Int(512)}});
  }
  DiskAppearedRec Fill(void (TEventHandler::*fill)(RegistryEntry, DiskAppearedRec*),
                       RegistryEntry medium) {
    DiskAppearedRec record{};
    (handler_.*fill)(medium, &record);
    return record;
  }

  platform::testing::FakeHost host_;
  spot_testing::NotifyingRegistry registry_;
  RegistryEntry ata_, scsi_, firewire_, usb_, firewire1_;
  TEventHandler handler_{-1};
};

TEST_F(IdentificationTest, SupportedBusesAreKnownByTheirInterconnectPrefix) {
  struct Case {
    const char* name;
    Property interconnect;
    bool supported;
    BusType type;
  };
  const Case cases[] = {
      {"ATA", Str("ATA"), true, kBusTypeATA},
      {"ATAPI", Str("ATAPI"), true, kBusTypeATA},
      {"Serial ATA", Str("Serial ATA"), false, kBusTypeUnknown},
      {"SCSI", Str("SCSI"), true, kBusTypeSCSI},
      {"SCSI Parallel Interface", Str("SCSI Parallel Interface"), true, kBusTypeSCSI},
      {"Fibre Channel Interface", Str("Fibre Channel Interface"), true, kBusTypeSCSI},
      {"Fibre Channel (short)", Str("Fibre Channel"), false, kBusTypeUnknown},
      {"FireWire", Str("FireWire"), true, kBusTypeFireWire},
      {"USB", Str("USB"), true, kBusTypeUSB},
      {"usb (case counts)", Str("usb"), false, kBusTypeUnknown},
      {"Virtual Interface", Str("Virtual Interface"), false, kBusTypeUnknown},
      {"ATA as data", Property::Data("ATA\0", 4), true, kBusTypeATA},
      {"a number", Int(1), false, kBusTypeUnknown},
  };
  for (const Case& c : cases) {
    // The characteristics sit on the device; the medium below finds them.
    const RegistryEntry medium = DiskMedium(
        ata_, {{"Protocol Characteristics", Dict({{"Physical Interconnect", c.interconnect}})}});
    BusType type = kBusTypeUnknown;
    EXPECT_EQ(handler_.TestForDiskOnSupportedBus(medium, &type) != 0, c.supported) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(handler_.TestForDiskOnSupportedBus(medium, nullptr) != 0, c.supported) << c.name;
  }
  EXPECT_FALSE(handler_.TestForDiskOnSupportedBus(DiskMedium(ata_, {}), nullptr))
      << "no characteristics";
  EXPECT_FALSE(handler_.TestForDiskOnSupportedBus(
      DiskMedium(ata_, {{"Protocol Characteristics", Dict({{"Physical Interconnect Location",
                                                             Str("Internal")}})}}),
      nullptr))
      << "no interconnect";
}

TEST_F(IdentificationTest, PartitionNamesHaveAnSAfterTheLastK) {
  const std::pair<const char*, bool> cases[] = {
      {"disk0s3", true}, {"disk0", false}, {"disk12", false},
      {"disk1s10", true}, {"", false},
  };
  for (const auto& [name, partition] : cases) {
    EXPECT_EQ(TEventHandler::IsDiskAPartition(name) != 0, partition) << name;
  }
}

TEST_F(IdentificationTest, NamesAndSizesComeFromTheMediumItself) {
  const RegistryEntry nub =
      registry_.Add(ata_, "IOBlockStorageDevice", "device", {{"Size", Int(999)}});
  const RegistryEntry partition = registry_.Add(
      nub, "IOMedia", "disk2s3",
      {{"BSD Name", Str("disk2s3")}, {"Size", Int(1048576)}, {"Preferred Block Size", Int(2048)}});
  Boolean isPartition = 0;
  char name[kBSDNameSize];
  uint64_t size = 1;
  uint32_t blockSize = 1;
  handler_.GetBSDNameAndSizes(partition, &isPartition, name, &size, &blockSize);
  EXPECT_STREQ(name, "disk2s3");
  EXPECT_EQ(isPartition, 1);
  EXPECT_EQ(size, 1048576u);
  EXPECT_EQ(blockSize, 2048u);

  // Missing properties leave zeros; own properties only (the parent's size is not taken).
  const RegistryEntry bare = registry_.Add(nub, "IOMedia", "bare");
  isPartition = 0;
  handler_.GetBSDNameAndSizes(bare, &isPartition, name, &size, &blockSize);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(blockSize, 0u);

  // A name too long for its field is not cut into another medium's name.
  const RegistryEntry long_name =
      registry_.Add(nub, "IOMedia", "x", {{"BSD Name", Str("disk1234567890s12")}});
  handler_.GetBSDNameAndSizes(long_name, &isPartition, name, &size, nullptr);
  EXPECT_STREQ(name, "");
}

TEST_F(IdentificationTest, RAIDVolumesAreRecognisedAndIdentified) {
  const RegistryEntry raid = registry_.Add(
      {}, "IOMedia", "disk5",
      {{"BSD Name", Str("disk5")}, {"Mirovane Volume ID", Int(0x0123456789ABCDEF)}});
  const RegistryEntry raid_partition =
      registry_.Add(raid, "IOMedia", "disk5s1", {{"BSD Name", Str("disk5s1")}});
  EXPECT_TRUE(handler_.IsDiskMirovane(raid));
  EXPECT_TRUE(handler_.IsDiskMirovane(raid_partition)) << "found above the partition";
  EXPECT_EQ(handler_.GetMirovaneVolumeIDWithObjectPtr(raid), 0x0123456789ABCDEFu);
  EXPECT_EQ(handler_.GetMirovaneVolumeIDWithObjectPtr(raid_partition), 0u) << "own only";
  EXPECT_FALSE(handler_.IsDiskMirovane(DiskMedium(ata_, {})));

  struct Case {
    const char* name;
    PropertyDictionary properties;
    bool apple_raid;
    MVUID id;
  };
  constexpr MVUID kSetID = 0x88AACCEF11335576;  // 0011223344556677 + 8899AABBCCDDEEFF
  const Case cases[] = {
      {"set with unique name",
       {{"IOClass", Str("AppleRAID")},
        {"AppleRAID-SetUniqueName", Str("Set 00112233-4455-6677-8899-AABBCCDDEEFF")},
        {"AppleRAID-SetUUID", Str("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF")}},
       true, kSetID},
      {"member with UUID only",
       {{"IOClass", Str("AppleRAIDMember")},
        {"AppleRAID-SetUUID", Str("00112233-4455-6677-8899-AABBCCDDEEFF")}},
       true, kSetID},
      {"unique name that is no string",
       {{"IOClass", Str("AppleRAID")},
        {"AppleRAID-SetUniqueName", Int(5)},
        {"AppleRAID-SetUUID", Str("00112233-4455-6677-8899-AABBCCDDEEFF")}},
       true, 0},
      {"empty UUID", {{"IOClass", Str("AppleRAID")}, {"AppleRAID-SetUUID", Str("")}}, true, 0},
      {"malformed UUID",
       {{"IOClass", Str("AppleRAID")}, {"AppleRAID-SetUUID", Str("not a uuid")}}, true, 0},
      {"other class", {{"IOClass", Str("AppleRAIDMemberX")}}, false, 0},
  };
  for (const Case& c : cases) {
    const RegistryEntry set = registry_.Add({}, "IOService", "set", c.properties);
    const RegistryEntry medium = registry_.Add(set, "IOMedia", "disk6");
    EXPECT_EQ(handler_.IsDiskAppleRAID(medium) != 0, c.apple_raid) << c.name;
    EXPECT_EQ(handler_.GetAppleRAIDVolumeIDWithObjectPtr(medium), c.id) << c.name;
  }
}

// What a fill routine should leave in the record.
struct Expected {
  uint32_t busNumber, id, lun;
  const char* identity;
  uint8_t isWWN;
};

void ExpectIdentity(const DiskAppearedRec& record, const Expected& e, const char* what) {
  EXPECT_EQ(+record.ident.busNumber, e.busNumber) << what;
  EXPECT_EQ(+record.ident.id, e.id) << what;
  EXPECT_EQ(+record.ident.lun, e.lun) << what;
  EXPECT_EQ(FieldText(record.identityText), e.identity) << what;
  EXPECT_EQ(+record.isWWN, e.isWWN) << what;
  EXPECT_EQ(+record.ident.busType, 0u) << what << ": the caller sets the bus type";
}

TEST_F(IdentificationTest, EachBusFillsItsOwnIdentity) {
  const PropertyDictionary vendor = {
      {"Device Characteristics", Dict({{"Vendor Name", Str("ACME")}})}};
  auto with = [&](PropertyDictionary d) {
    d.insert(vendor.begin(), vendor.end());
    return d;
  };
  const RegistryEntry ata = DiskMedium(
      ata_, with({{"unit number", Int(1)}, {"device serial", Str("   WD-WMA8E1234567  ")}}));
  const RegistryEntry scsi_wwn = DiskMedium(
      scsi_, with({{"SCSI Target", Int(3)}, {"SCSI Lun", Int(2)},
                   {"SCSI Logical Unit Number", Int(7)},
                   {"World Wide Node Name", Int(0x20000004CF8A1B2C)}}));
  const RegistryEntry scsi_plain = DiskMedium(
      scsi_, with({{"SCSI Logical Unit Number", Int(4)},
                   {"Protocol Characteristics", Dict({{"SCSI Target Identifier", Int(5)}})}}));
  const RegistryEntry firewire = DiskMedium(
      firewire_, with({{"IOUnit", Int(1)}, {"GUID", Int(0x0030650000AB12CD)}}));
  const RegistryEntry firewire_no_guid = DiskMedium(firewire1_, with({{"IOUnit", Int(0)}}));
  const RegistryEntry usb = DiskMedium(
      usb_, with({{"USBBusNumber", Int(0x1A)}, {"USB Address", Int(3)},
                  {"USB Serial Number", Str(" 0001A2B3 ")}}));

  ExpectIdentity(Fill(&TEventHandler::FillInATADiskInfo, ata),
                 {0, 1, 0, "WD-WMA8E1234567", 0}, "ATA");
  ExpectIdentity(Fill(&TEventHandler::FillInSCSIDiskInfo, scsi_wwn),
                 {0, 3, 2, "20 00 00 04 CF 8A 1B 2C", 1}, "SCSI with a node name");
  ExpectIdentity(Fill(&TEventHandler::FillInSCSIDiskInfo, scsi_plain),
                 {0, 5, 4, "", 0}, "SCSI without a node name");
  ExpectIdentity(Fill(&TEventHandler::FillInFireWireDiskInfo, firewire),
                 {0, 0, 1, "00 30 65 00 00 AB 12 CD", 0}, "FireWire");
  ExpectIdentity(Fill(&TEventHandler::FillInFireWireDiskInfo, firewire_no_guid),
                 {2, 0, 0, "", 0}, "FireWire without GUID, on the third FireWire bus");
  ExpectIdentity(Fill(&TEventHandler::FillInUSBDiskInfo, usb), {0x1A, 3, 0, "0001A2B3", 0},
                 "USB");
  for (RegistryEntry medium : {ata, scsi_wwn, firewire, usb}) {
    DiskAppearedRec record{};
    handler_.FillInATADiskInfo(medium, &record);
    EXPECT_EQ(FieldText(record.vendorText), "ACME ") << "every bus fills the vendor text";
  }
  // The tracker gave the GUID-less disk a number on its bus; a second disk follows it.
  EXPECT_EQ(handler_.ReturnTrackerPtr()->ReturnFireWireDiskID(0x99, 2), 1u);
}

TEST_F(IdentificationTest, BusNumbersComeFromTheTrackerExceptForUSB) {
  const RegistryEntry second_firewire_disk = DiskMedium(
      firewire1_, {{"GUID", Int(0x0030650000AB12CD)}});
  const DiskAppearedRec record =
      Fill(&TEventHandler::FillInFireWireDiskInfo, second_firewire_disk);
  EXPECT_EQ(+record.ident.busNumber, 2u);
  EXPECT_EQ(+record.ident.id, 0u) << "first disk on that bus";

  const RegistryEntry usb = DiskMedium(usb_, {{"USB Address", Int(2)}});
  EXPECT_EQ(Fill(&TEventHandler::FillInUSBDiskInfo, usb).ident.busNumber, 0u)
      << "no USBBusNumber: 0, not the tracker's number";
}

TEST_F(IdentificationTest, VendorTextJoinsVendorProductAndRevision) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, Property>> parts;
    std::string expected;
  };
  const std::string vendor30(30, 'V');
  const std::string product30(30, 'P');
  const std::string long70(70, 'L');
  const Case cases[] = {
      {"all three with spaces around",
       {{"Vendor Name", Str("  Maxtor  ")}, {"Product Name", Str("6Y080P0")},
        {"Product Revision Level", Str(" YAR41BW0 ")}},
       "Maxtor 6Y080P0 v.YAR41BW0"},
      {"no revision", {{"Vendor Name", Str("ACME")}, {"Product Name", Str("Disk")}},
       "ACME Disk "},
      {"revision of spaces only",
       {{"Vendor Name", Str("ACME")}, {"Product Revision Level", Str("   ")}}, "ACME "},
      {"revision only", {{"Product Revision Level", Str("1.0")}}, "v.1.0"},
      {"vendor and product fill 62: no v., one revision character",
       {{"Vendor Name", Str(vendor30)}, {"Product Name", Str(product30)},
        {"Product Revision Level", Str("XYZ")}},
       vendor30 + " " + product30 + " X"},
      {"vendor and product fill 61: v. and nothing more",
       {{"Vendor Name", Str(vendor30)}, {"Product Name", Str(std::string(29, 'P'))},
        {"Product Revision Level", Str("XYZ")}},
       vendor30 + " " + std::string(29, 'P') + " v."},
      {"a long vendor is cut to 63", {{"Vendor Name", Str(long70)}}, std::string(63, 'L')},
      {"a product that is no text", {{"Vendor Name", Str("ACME")}, {"Product Name", Int(4)}},
       "ACME "},
      {"a vendor that is not ASCII", {{"Vendor Name", Str("Caf\xC3\xA9")}}, ""},
  };
  for (const Case& c : cases) {
    PropertyDictionary characteristics;
    for (const auto& [key, value] : c.parts) characteristics[key] = value;
    const RegistryEntry medium =
        DiskMedium(ata_, {{"Device Characteristics", Dict(characteristics)}});
    const DiskAppearedRec record = Fill(&TEventHandler::FillInVendorAndProductInfo, medium);
    EXPECT_EQ(FieldText(record.vendorText), c.expected) << c.name;
    EXPECT_EQ(+record.vendorText[63], '\0') << c.name << ": at least one NUL always follows";
  }
  EXPECT_EQ(FieldText(Fill(&TEventHandler::FillInVendorAndProductInfo, DiskMedium(ata_, {}))
                          .vendorText),
            "");
}

TEST_F(IdentificationTest, AppendingKeepsOneByteForTheTerminator) {
  char buffer[8] = {};
  size_t position = 0;
  TEventHandler::CatVendorAndProductString(buffer, " ab \0", sizeof buffer, &position, 1);
  EXPECT_EQ(position, 2u);
  TEventHandler::CatVendorAndProductString(buffer, " cdefgh", sizeof buffer, &position, 0);
  EXPECT_EQ(position, 7u) << "cut to the room";
  EXPECT_EQ(std::string(buffer, 8), std::string("ab cdef\0", 8));
  TEventHandler::CatVendorAndProductString(buffer, "x", sizeof buffer, &position, 0);
  EXPECT_EQ(position, 7u) << "a full buffer takes nothing";
}

TEST_F(IdentificationTest, HexFormIsEightUppercaseBytesMostSignificantFirst) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0x0011223344556677, "00 11 22 33 44 55 66 77"},
      {0, "00 00 00 00 00 00 00 00"},
      {0xFFFFFFFFFFFFFFFF, "FF FF FF FF FF FF FF FF"},
      {0xA1B2C3D4E5F60718, "A1 B2 C3 D4 E5 F6 07 18"},
  };
  for (const auto& [value, text] : cases) {
    char out[kHexStringSize];
    std::memset(out, 'x', sizeof out);
    TEventHandler::ConvertUInt64ToHexString(value, out);
    EXPECT_STREQ(out, text);
  }
}

TEST_F(IdentificationTest, StripSpacesRemovesThemAtBothEndsOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"  a b  ", "a b"}, {"    ", ""}, {"", ""}, {"x", "x"}, {" x", "x"}, {"x ", "x"},
  };
  for (const auto& [in, out] : cases) {
    std::string text(in);
    EXPECT_STREQ(TEventHandler::StripSpaces(text.data()), out) << '"' << in << '"';
  }
}

TEST_F(IdentificationTest, RootDirectoryFormAddsASlashAndRefusesLongPaths) {
  constexpr size_t kSize = 16;
  const std::pair<std::string, std::string> cases[] = {
      {"/", "/"},
      {"", ""},
      {"/Volumes/A", "/Volumes/A/"},
      {"/Volumes/A/", "/Volumes/A/"},
      {std::string(13, 'a'), std::string(13, 'a') + "/"},  // kSize - 3: still fits
      {std::string(14, 'a'), ""},                           // kSize - 2: empty
  };
  for (const auto& [in, out] : cases) {
    char buffer[kSize];
    std::memset(buffer, 'x', sizeof buffer);
    TEventHandler::ConvertToVolumeRootDirectory(in.c_str(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), out) << in;
  }
}

TEST_F(IdentificationTest, DeviceLocationIsTheFirst64BytesOfTheSearchedData) {
  std::vector<uint8_t> long_data(70);
  for (size_t i = 0; i < long_data.size(); ++i) long_data[i] = static_cast<uint8_t>(i + 1);
  struct Case {
    const char* name;
    Property location;
    size_t filled;
  };
  const Case cases[] = {
      {"short", Property::Data("U2\0", 3), 3},
      {"64 bytes", Property::Data(std::vector<uint8_t>(long_data.begin(), long_data.begin() + 64)), 64},
      {"70 bytes", Property::Data(long_data), 64},
      {"a string is no location", Str("U2"), 0},
  };
  for (const Case& c : cases) {
    const RegistryEntry medium = DiskMedium(ata_, {{"io-device-location", c.location}});
    DiskAppearedRec record{};
    std::memset(record.deviceLocation, 0xEE, sizeof record.deviceLocation);
    handler_.FillInDeviceLocation(medium, &record);
    for (size_t i = 0; i < 64; ++i) {
      const uint8_t expected = i >= c.filled ? 0 : c.location.AsData()->at(i);
      ASSERT_EQ(record.deviceLocation[i], expected) << c.name << " byte " << i;
    }
  }
}

TEST_F(IdentificationTest, RemovableIsTheSearchedFlagOfTheNamedMedium) {
  const RegistryEntry card = registry_.Add(usb_, "IOService", "reader", {{"Removable", Property::Boolean(true)}});
  registry_.Add(card, "IOMedia", "disk3", {{"BSD Name", Str("disk3")}});
  registry_.Add(ata_, "IOMedia", "disk4",
                {{"BSD Name", Str("disk4")}, {"Removable", Property::Boolean(false)}});
  registry_.Add(ata_, "IOMedia", "disk7", {{"BSD Name", Str("disk7")}});
  EXPECT_TRUE(handler_.IsDiskRemovable("disk3"));
  EXPECT_FALSE(handler_.IsDiskRemovable("disk4"));
  EXPECT_FALSE(handler_.IsDiskRemovable("disk7")) << "no property";
  EXPECT_FALSE(handler_.IsDiskRemovable("disk9")) << "no medium";
}

}  // namespace
