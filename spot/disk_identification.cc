// What the watcher reads from the registry about one medium: its name and sizes, the
// kind of volume or disk it is, and for a disk its bus-level identity, vendor text,
// identity text and physical location. Nothing here writes; a property that is
// missing or cannot be read leaves its field 0 or empty.

#include <cstring>
#include <string>
#include <utility>

#include "common/apple_raid_uuid.h"
#include "common/registry_lookup.h"
#include "spot/event_handler.h"
#include "spot/registry_values.h"

using platform::RegistryEntry;
using spot::OwnProperty;
using spot::ReadASCII;
using spot::ReadSInt32;
using spot::ReadSInt64;
using spot::SearchedProperty;

namespace {

constexpr size_t kMaxBSDNameChars = kBSDNameSize - 1;
constexpr size_t kMaxSerialChars = 62;
constexpr size_t kMaxVendorPartChars = 63;

// A 32-bit property as a value, 0 when it cannot be read. (Record fields are packed:
// they are assigned values, never written through pointers.)
uint32_t SInt32Or0(const platform::Property* value) {
  uint32_t number = 0;
  return ReadSInt32(value, &number) ? number : 0;
}
uint32_t SInt32Or0(const std::optional<platform::Property>& value) {
  return SInt32Or0(value ? &*value : nullptr);
}

// Identity text: the serial with spaces stripped at both ends.
void SetStrippedText(char (&field)[64], std::string text) {
  text.push_back('\0');
  SetFieldText(field, TEventHandler::StripSpaces(text.data()));
}

}  // namespace

void TEventHandler::GetBSDNameAndSizes(RegistryEntry object, Boolean* partitionFlag,
                                       char bsdName[kBSDNameSize], uint64_t* size,
                                       uint32_t* blockSize) {
  std::memset(bsdName, 0, kBSDNameSize);
  std::string name;
  // A name that does not fit is not taken: a cut name would name another medium.
  if (ReadASCII(OwnProperty(object, "BSD Name"), kMaxBSDNameChars, false, &name)) {
    std::memcpy(bsdName, name.data(), name.size());
    *partitionFlag = IsDiskAPartition(bsdName);
  }
  if (!ReadSInt64(OwnProperty(object, "Size"), size)) *size = 0;
  if (blockSize != nullptr && !ReadSInt32(OwnProperty(object, "Preferred Block Size"), blockSize)) {
    *blockSize = 0;
  }
}

Boolean TEventHandler::IsDiskAPartition(const char* bsdName) {
  if (bsdName == nullptr) return 0;
  for (size_t i = std::strlen(bsdName); i-- > 0;) {
    if (bsdName[i] == 'k') return 0;
    if (bsdName[i] == 's') return 1;
  }
  return 0;
}

Boolean TEventHandler::TestForDiskOnSupportedBus(RegistryEntry object, BusType* busType) {
  const std::optional<platform::Property> protocol =
      SearchedProperty(object, "Protocol Characteristics");
  if (!protocol) return 0;
  const platform::Property* interconnect = protocol->Find("Physical Interconnect");
  if (interconnect == nullptr) return 0;
  // By prefix, first match wins: "ATAPI" is ATA, "Serial ATA" is not supported.
  static constexpr std::pair<const char*, BusType> kInterconnects[] = {
      {"SCSI", kBusTypeSCSI},
      {"Fibre Channel Interface", kBusTypeSCSI},
      {"ATA", kBusTypeATA},
      {"FireWire", kBusTypeFireWire},
      {"USB", kBusTypeUSB},
  };
  for (const auto& [name, type] : kInterconnects) {
    if (CompareCFTypeRefToString(interconnect, name, 1)) {
      if (busType != nullptr) *busType = type;
      return 1;
    }
  }
  return 0;
}

Boolean TEventHandler::IsDiskMirovane(RegistryEntry object) {
  return SearchedProperty(object, "Mirovane Volume ID").has_value() ? 1 : 0;
}

MVUID TEventHandler::GetMirovaneVolumeIDWithObjectPtr(RegistryEntry object) {
  uint64_t volumeID = 0;
  if (!ReadSInt64(OwnProperty(object, "Mirovane Volume ID"), &volumeID)) return 0;
  return volumeID;
}

Boolean TEventHandler::IsDiskAppleRAID(RegistryEntry object) {
  const std::optional<platform::Property> ioClass = SearchedProperty(object, "IOClass");
  return CompareCFTypeRefToString(ioClass, "AppleRAID", 0) ||
                 CompareCFTypeRefToString(ioClass, "AppleRAIDMember", 0)
             ? 1
             : 0;
}

MVUID TEventHandler::GetAppleRAIDVolumeIDWithObjectPtr(RegistryEntry object) {
  std::optional<platform::Property> name = SearchedProperty(object, "AppleRAID-SetUniqueName");
  if (!name) name = SearchedProperty(object, "AppleRAID-SetUUID");
  if (!name || name->AsString() == nullptr || name->AsString()->empty()) return 0;
  std::string text;
  if (!ReadASCII(name, name->AsString()->size(), false, &text)) return 0;
  uint8_t uuid[16] = {};
  if (!ConvertAppleRAIDUUIDStringToUUID(text.c_str(), uuid)) return 0;
  return ConvertAppleRAIDUUID_To_MVUID(uuid);
}

uint32_t TEventHandler::TrackedBusNumber(BusType busType, RegistryEntry object) {
  uint32_t busNumber = 0;
  if (fTracker != nullptr) (void)fTracker->FindBusID(busType, object, &busNumber);
  return busNumber;
}

void TEventHandler::FillInATADiskInfo(RegistryEntry object, DiskAppearedRec* record) {
  record->ident.id = SInt32Or0(SearchedProperty(object, "unit number"));
  FillInVendorAndProductInfo(object, record);
  std::string serial;
  if (ReadASCII(SearchedProperty(object, "device serial"), kMaxSerialChars, true, &serial)) {
    SetStrippedText(record->identityText, std::move(serial));
  }
  record->ident.busNumber = TrackedBusNumber(kBusTypeATA, object);
}

void TEventHandler::FillInSCSIDiskInfo(RegistryEntry object, DiskAppearedRec* record) {
  std::optional<platform::Property> lun = SearchedProperty(object, "SCSI Lun");
  if (!lun) lun = SearchedProperty(object, "SCSI Logical Unit Number");
  record->ident.lun = SInt32Or0(lun);

  std::optional<platform::Property> target = SearchedProperty(object, "SCSI Target");
  if (target) {
    record->ident.id = SInt32Or0(target);
  } else if (const std::optional<platform::Property> protocol =
                 SearchedProperty(object, "Protocol Characteristics")) {
    record->ident.id = SInt32Or0(protocol->Find("SCSI Target Identifier"));
  }

  FillInVendorAndProductInfo(object, record);

  uint64_t nodeName = 0;
  if (ReadSInt64(SearchedProperty(object, "World Wide Node Name"), &nodeName)) {
    char hex[kHexStringSize];
    ConvertUInt64ToHexString(nodeName, hex);
    SetFieldText(record->identityText, hex);
    record->isWWN = 1;
  }
  record->ident.busNumber = TrackedBusNumber(kBusTypeSCSI, object);
}

void TEventHandler::FillInFireWireDiskInfo(RegistryEntry object, DiskAppearedRec* record) {
  record->ident.lun = SInt32Or0(SearchedProperty(object, "IOUnit"));
  uint64_t guid = 0;
  if (ReadSInt64(SearchedProperty(object, "GUID"), &guid)) {
    char hex[kHexStringSize];
    ConvertUInt64ToHexString(guid, hex);
    SetFieldText(record->identityText, hex);
  }
  FillInVendorAndProductInfo(object, record);
  const uint32_t busNumber = TrackedBusNumber(kBusTypeFireWire, object);
  record->ident.busNumber = busNumber;
  if (fTracker != nullptr) record->ident.id = fTracker->ReturnFireWireDiskID(guid, busNumber);
}

void TEventHandler::FillInUSBDiskInfo(RegistryEntry object, DiskAppearedRec* record) {
  // USB disks carry their bus number and address themselves; the tracker is not asked.
  record->ident.busNumber = SInt32Or0(SearchedProperty(object, "USBBusNumber"));
  record->ident.id = SInt32Or0(SearchedProperty(object, "USB Address"));
  std::string serial;
  if (ReadASCII(SearchedProperty(object, "USB Serial Number"), kMaxSerialChars, true,
                &serial)) {
    SetStrippedText(record->identityText, std::move(serial));
  }
  FillInVendorAndProductInfo(object, record);
}

void TEventHandler::FillInVendorAndProductInfo(RegistryEntry object, DiskAppearedRec* record) {
  const std::optional<platform::Property> characteristics =
      SearchedProperty(object, "Device Characteristics");
  if (!characteristics) return;
  char* buffer = record->vendorText;
  const size_t size = sizeof record->vendorText;
  size_t position = 0;
  std::string text;

  if (ReadASCII(characteristics->Find("Vendor Name"), kMaxVendorPartChars, true, &text)) {
    CatVendorAndProductString(buffer, text.c_str(), size, &position, 1);
    CatVendorAndProductString(buffer, " ", size, &position, 0);
  }
  if (ReadASCII(characteristics->Find("Product Name"), kMaxVendorPartChars, true, &text)) {
    CatVendorAndProductString(buffer, text.c_str(), size, &position, 1);
    CatVendorAndProductString(buffer, " ", size, &position, 0);
  }
  if (ReadASCII(characteristics->Find("Product Revision Level"), kMaxVendorPartChars, true,
                &text)) {
    // Measure first: "v." is written only for a revision that adds something.
    char scratch[sizeof record->vendorText] = {};
    size_t measured = position;
    CatVendorAndProductString(scratch, text.c_str(), size, &measured, 1);
    if (measured > position) {
      if (position <= size - 3) CatVendorAndProductString(buffer, "v.", size, &position, 0);
      CatVendorAndProductString(buffer, text.c_str(), size, &position, 1);
    }
  }
}

void TEventHandler::FillInDeviceLocation(RegistryEntry object, DiskAppearedRec* record) {
  std::memset(record->deviceLocation, 0, sizeof record->deviceLocation);
  const std::optional<platform::Property> location =
      SearchedProperty(object, "io-device-location");
  if (!location || location->AsData() == nullptr) return;
  const platform::PropertyData& bytes = *location->AsData();
  SetFieldBytes(record->deviceLocation, sizeof record->deviceLocation, bytes.data(),
                bytes.size());
}

Boolean TEventHandler::IsDiskRemovable(const char* bsdName) {
  const RegistryEntry object = GetIOKitObjectWithBSDName(bsdName);
  if (!object) return 0;
  bool removable = false;
  return spot::ReadBoolean(SearchedProperty(object, "Removable"), &removable) && removable ? 1
                                                                                           : 0;
}
